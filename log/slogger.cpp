// The logger's writer thread and its life cycle.
#include "log/slogger.h"

#include <boost/thread/lock_guard.hpp>

#include <cstring>
#include <new>

#include "log/console_sink.h"
#include "log/debug_sink.h"
#include "log/log.h"
#include "log/log_reentry.h"
#include "base/thread_name.h"

namespace {
constexpr size_t kGatherLines = 2048;
constexpr DWORD kGatherMs = 1;
// How long the writer waits for a numbered line while later ones are queued.
// Its thread copies it in right after taking the number, so a line still
// missing after this lost its thread in between (terminated, or suspended):
// the writer goes on without it, and writes it whenever it comes.
constexpr ULONGLONG kMissingLineMs = 1000;
// How often the writer looks whether threads with nothing to write still run.
constexpr ULONGLONG kSweepMs = 1000;

// Whether the thread has ended. An id that names no thread any more is of an
// ended one; one taken again by a new thread keeps its lines until that ends.
bool thread_gone(DWORD thread_id) {
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, thread_id);
    if (thread == nullptr) {
        return GetLastError() == ERROR_INVALID_PARAMETER;
    }
    const bool gone = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return gone;
}
}  // namespace

slogger::thread_lines::~thread_lines() {
    for (line_block* block = head; block != nullptr;) {
        line_block* next = block->next.load();
        owner->_blocks_in_use.fetch_sub(1);
        delete block;
        block = next;
    }
}

slogger::slogger()
    : _wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      _slot(FlsAlloc(&slogger::thread_ended)),
      _past_callback_slot(TlsAlloc()) {
    _spare.reserve(kSpareBlocks);  // keeping an emptied block never allocates
}

slogger::~slogger() {
    slog_stop();
    close_log_file();  // opened without a writer ever running
    if (_slot != FLS_OUT_OF_INDEXES) {
        FlsFree(_slot);  // no thread's exit looks at its lines after this
    }
    if (_past_callback_slot != TLS_OUT_OF_INDEXES) {
        TlsFree(_past_callback_slot);
    }
    for (line_block* block : _spare) {
        delete block;
    }
    // _threads frees the lines pushed after the writer ended (none in normal use).
}

bool slogger::slog_start() {
    if (_thread || _slot == FLS_OUT_OF_INDEXES || !_wake) {
        return false;
    }
    _stop = false;
    try {
        _thread.reset(new boost::thread(&slogger::slog_thread, this));
    } catch (const std::exception&) {
        _stop = true;
        return false;
    }
    return true;
}

void slogger::slog_stop() {
    if (_stop) {
        return;
    }
    _stop = true;
    SetEvent(_wake.get());
    if (_thread) {
        _thread->join();
        _thread.reset();
    }
    boost::lock_guard<boost::mutex> guard(_file_lock);
    close_log_file();
}

bool slogger::push_line(uint32_t level, uint32_t log_to, const char* line, size_t length) {
    if (try_push_line(level, log_to, line, length)) {
        return true;
    }
    _dropped_lines.fetch_add(1, std::memory_order_relaxed);
    return false;
}

uint64_t slogger::dropped_lines() const {
    return _dropped_lines.load(std::memory_order_relaxed);
}

uint64_t slogger::take_dropped_lines() {
    return _dropped_lines.exchange(0);
}

bool slogger::has_room_for_lines(size_t first_length, size_t second_length) {
    const size_t bytes = 2 * (sizeof(line_header) + 1) + first_length + second_length;
    if (_slot != FLS_OUT_OF_INDEXES) {
        // The calling thread alone fills its last block.
        if (const auto* mine = static_cast<const thread_lines*>(FlsGetValue(_slot))) {
            if (line_block::kCapacity - mine->tail->used.load(std::memory_order_relaxed) >= bytes) {
                return true;
            }
        }
    }
    return _blocks_in_use.load(std::memory_order_relaxed) < kQueueBlocks;
}

void slogger::put_back_dropped_lines(uint64_t count) {
    _dropped_lines.fetch_add(count, std::memory_order_relaxed);
}

size_t slogger::listed_threads() {
    boost::lock_guard<boost::mutex> guard(_threads_lock);
    return _threads.size();
}

bool slogger::try_push_line(uint32_t level, uint32_t log_to, const char* line, size_t length) {
    const size_t room = line_block::kCapacity - sizeof(line_header) - 1;
    if (length > room) {
        length = room;
    }
    const size_t bytes = sizeof(line_header) + length + 1;

    bool past_callback = false;
    thread_lines* mine = this_thread_lines(past_callback);
    if (mine == nullptr) {
        return false;  // the queue is full
    }
    line_block* block = mine->tail;
    size_t used = block->used.load(std::memory_order_relaxed);
    if (line_block::kCapacity - used < bytes) {
        line_block* fresh = take_block();
        if (fresh == nullptr) {
            return false;  // the queue is full
        }
        block->next.store(fresh, std::memory_order_release);  // block is complete
        mine->tail = fresh;
        block = fresh;
        used = 0;
    }
    line_header header{};
    header.level = level;
    header.log_to = log_to;
    header.length = static_cast<uint32_t>(length);
    // Numbered last, when nothing can fail any more: the writer waits for the
    // line with the next number until it is published.
    header.number = _line_numbers.fetch_add(1, std::memory_order_relaxed);
    char* at = block->bytes + used;
    memcpy(at, &header, sizeof(header));
    memcpy(at + sizeof(header), line, length);
    at[sizeof(header) + length] = '\0';
    block->used.store(used + bytes, std::memory_order_release);
    if (past_callback) {
        mine->ended.store(true, std::memory_order_release);  // its one line is in
    }
    wake_writer();
    return true;
}

void slogger::wake_writer() {
    // Orders the line's publication before the look at _asleep; the writer
    // orders its _asleep before its last look at the lines. One of the two
    // sees the other: the line is found, or the writer is signalled.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (_asleep.load(std::memory_order_relaxed) && _asleep.exchange(false)) {
        SetEvent(_wake.get());
    }
}

void slogger::sleep_until_woken() {
    _asleep.store(true, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    bool unread = true;
    try {
        unread = update_threads();
    } catch (const std::exception&) {
        // look again rather than sleep
    }
    if (!unread && !_stop) {
        WaitForSingleObject(_wake.get(), INFINITE);
    }
    _asleep.store(false, std::memory_order_relaxed);
}

slogger::thread_lines* slogger::this_thread_lines(bool& past_callback) {
    if (_slot == FLS_OUT_OF_INDEXES) {
        throw std::bad_alloc();
    }
    if (void* known = FlsGetValue(_slot)) {
        return static_cast<thread_lines*>(known);
    }
    // A thread that logs on its exit path after its fiber-local callback ran
    // (from a DLL's DLL_THREAD_DETACH, or a thread_local's destructor) has no
    // lines any more, and no callback would end new ones: each such line gets
    // lines of its own, ended as soon as it is in.
    const DWORD last_error = GetLastError();  // TlsGetValue() clears it
    past_callback = _past_callback_slot != TLS_OUT_OF_INDEXES && TlsGetValue(_past_callback_slot) != nullptr;
    SetLastError(last_error);
    line_block* first = take_block();
    if (first == nullptr) {
        return nullptr;  // the queue is full
    }
    std::unique_ptr<thread_lines> made(new thread_lines);
    made->owner = this;
    made->thread_id = GetCurrentThreadId();
    made->head = made->tail = first;
    thread_lines* lines = made.get();
    {
        boost::lock_guard<boost::mutex> guard(_threads_lock);
        _threads.push_back(std::move(made));
    }
    if (past_callback) {
        return lines;
    }
    if (!FlsSetValue(_slot, lines)) {
        lines->ended = true;  // never found again: the writer frees it
        throw std::bad_alloc();
    }
    return lines;
}

void WINAPI slogger::thread_ended(void* lines) {
    if (lines != nullptr) {
        thread_lines* ended = static_cast<thread_lines*>(lines);
        slogger* owner = ended->owner;
        if (owner->_past_callback_slot != TLS_OUT_OF_INDEXES) {
            TlsSetValue(owner->_past_callback_slot, owner);  // later lines of this thread: see above
        }
        ended->ended.store(true, std::memory_order_release);
        ended->owner->wake_writer();  // so that an idle writer frees its lines
    }
}

slogger::line_block* slogger::take_block() {
    if (_blocks_in_use.fetch_add(1) >= kQueueBlocks) {
        _blocks_in_use.fetch_sub(1);
        return nullptr;
    }
    struct uncount {  // unless the block is had
        std::atomic<size_t>& count;
        bool had = false;
        ~uncount() {
            if (!had) count.fetch_sub(1);
        }
    } counted{_blocks_in_use};
    {
        boost::lock_guard<boost::mutex> guard(_spare_lock);
        if (!_spare.empty()) {
            line_block* block = _spare.back();
            _spare.pop_back();
            block->used.store(0, std::memory_order_relaxed);
            block->next.store(nullptr, std::memory_order_relaxed);
            counted.had = true;
            return block;
        }
    }
    line_block* block = new line_block;
    counted.had = true;
    return block;
}

void slogger::give_back_block(line_block* block) {
    _blocks_in_use.fetch_sub(1);
    try {
        boost::lock_guard<boost::mutex> guard(_spare_lock);
        if (_spare.size() < kSpareBlocks) {
            _spare.push_back(block);  // within the reserve: no allocation
            return;
        }
    } catch (const std::exception&) {
    }
    delete block;
}

void slogger::slog_thread() {
    log_reentry_guard writer_thread;  // nothing on this thread may log
    name_this_thread(L"TalvernLog");
    while (!_stop) {
        size_t written = 0;
        bool failed = false;
        try {
            written = write_queued();
        } catch (const std::exception&) {
            failed = true;  // the lines stay queued for the next round
        }
        if (!failed && written == 0 && _missing_since == 0) {
            sleep_until_woken();
        } else if (written < kGatherLines) {
            // A few lines at a time, or a line still being queued: while more
            // keep coming, let them gather for a moment rather than wake for
            // every line.
            Sleep(kGatherMs);
        }
    }
    drain_queue();
}

bool slogger::update_threads() {
    bool unread_anywhere = false;
    boost::lock_guard<boost::mutex> guard(_threads_lock);
    // Room for every thread, in the vector of earlier rounds as a rule: from
    // here on nothing throws, so _reading never keeps a thread freed below.
    _reading.reserve(_threads.size());
    _reading.clear();
    const ULONGLONG now = GetTickCount64();
    const bool sweep = now - _last_sweep >= kSweepMs;
    if (sweep) {
        _last_sweep = now;
    }
    for (size_t i = 0; i < _threads.size();) {
        thread_lines& lines = *_threads[i];
        // Its thread's last line was published before the thread ended.
        bool ended = lines.ended.load(std::memory_order_acquire);
        bool unread = look(lines);
        if (!ended && !unread && sweep && thread_gone(lines.thread_id)) {
            lines.ended.store(true, std::memory_order_relaxed);
            lines.swept = true;
            ended = true;
            unread = look(lines);  // what it published before it ended
        }
        if (ended && !unread && lines.swept) {
            // The dead thread's fiber-local data still points at its lines,
            // and freeing the slot calls back with them: the small record
            // stays until then, its block goes now.
            try {
                _retired.reserve(_retired.size() + 1);
            } catch (const std::exception&) {
                unread = true;  // kept listed; tried again next round
            }
        }
        if (ended && !unread) {
            give_back_block(lines.head);  // its last block: peek() gave back the others
            lines.head = nullptr;
            if (lines.swept) {
                _retired.push_back(std::move(_threads[i]));  // within the reserve
            }
            _threads[i] = std::move(_threads.back());
            _threads.pop_back();
        } else {
            unread_anywhere = unread_anywhere || unread;
            _reading.push_back(&lines);
            ++i;
        }
    }
    return unread_anywhere;
}

bool slogger::look(thread_lines& lines) {
    lines.visible = lines.head->used.load(std::memory_order_acquire);
    line_header header;
    return peek(lines, header);
}

bool slogger::peek(thread_lines& lines, line_header& header) {
    for (;;) {
        if (lines.read < lines.visible) {
            memcpy(&header, lines.head->bytes + lines.read, sizeof(header));
            return true;
        }
        line_block* next = lines.head->next.load(std::memory_order_acquire);
        if (next == nullptr) {
            return false;  // the block its thread fills: seen again next round
        }
        // Its thread went on to the next block: this one is complete, though
        // its last lines may have been published after the writer looked.
        lines.visible = lines.head->used.load(std::memory_order_acquire);
        if (lines.read < lines.visible) {
            continue;
        }
        give_back_block(lines.head);
        lines.head = next;
        lines.read = 0;
        lines.visible = next->used.load(std::memory_order_acquire);
    }
}

slogger::thread_lines* slogger::next_line(line_header& header, bool skip_gaps) {
    thread_lines* lowest = nullptr;
    line_header lowest_header{};
    for (thread_lines* lines : _reading) {
        line_header first;
        if (!peek(*lines, first)) {
            continue;
        }
        if (first.number <= _next_number) {  // its turn, or late after a wait given up
            header = first;
            return lines;
        }
        if (lowest == nullptr || first.number < lowest_header.number) {
            lowest = lines;
            lowest_header = first;
        }
    }
    if (lowest == nullptr) {
        return nullptr;
    }
    if (!skip_gaps) {
        const ULONGLONG now = GetTickCount64();
        if (_missing_since == 0) {
            _missing_since = now;
            return nullptr;
        }
        if (now - _missing_since < kMissingLineMs) {
            return nullptr;
        }
    }
    header = lowest_header;
    return lowest;
}

const char* slogger::take_line(thread_lines& lines, const line_header& header) {
    const char* line = lines.head->bytes + lines.read + sizeof(header);
    lines.read += sizeof(header) + header.length + 1;
    if (header.number >= _next_number) {
        _next_number = header.number + 1;
    }
    _missing_since = 0;
    return line;
}

size_t slogger::write_queued() {
    update_threads();
    // A line's bytes stay where they are until the writer has read past them.
    size_t written = 0;
    line_header header;
    while (!_stop) {
        thread_lines* lines = next_line(header, false);
        if (lines == nullptr) {
            break;
        }
        write_entry(header.level, header.log_to, take_line(*lines, header));
        ++written;
    }
    return written;
}

void slogger::drain_queue() {
    // Every line queued before the stop is written, file first.
    try {
        update_threads();
    } catch (const std::exception&) {
        for (thread_lines* lines : _reading) {  // the threads known so far are drained
            look(*lines);
        }
    }
    line_header header;
    while (thread_lines* lines = next_line(header, true)) {
        const char* line = take_line(*lines, header);
        try {
            if (header.log_to & log_to_file) {
                append_file_line(line);
            }
            if (header.log_to & log_to_con) {
                console_write(header.level, line);
            }
            if (header.log_to & log_to_ods) {
                debug_write(line);
            }
        } catch (const std::exception&) {
        }
    }
}

void slogger::write_entry(uint32_t level, uint32_t log_to, const char* line) {
    // A sink that runs out of memory loses this line, not the writer thread.
    try {
        write_sinks(level, log_to, line);
    } catch (const std::exception&) {
    }
}

void slogger::write_sinks(uint32_t level, uint32_t log_to, const char* line) {
    if (log_to & log_to_con) {
        console_write(level, line);
    }
    if (log_to & log_to_ods) {
        debug_write(line);
    }
    if (log_to & log_to_file) {
        write_file_line(line);
    }
}
