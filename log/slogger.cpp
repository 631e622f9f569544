// The logger's queue, its writer thread and their life cycle.
#include "log/slogger.h"

#include <vector>

#include "log/sinks.h"
#include "log/log_line.h"
#include "base/thread_name.h"

namespace {
constexpr size_t kKeptSlots = 1024;  // slots the writer keeps once a burst is over
// After a batch of fewer lines, the writer lets the next ones gather for a
// millisecond rather than being woken for every line or two.
constexpr size_t kGatherLines = 2048;
const char kDroppedNote[] = "%llu log lines were dropped: the log queue was full.";
}  // namespace

bool slogger::slog_start() {
    if (_thread.joinable() || !_wake) {
        return false;
    }
    _stop = false;
    try {
        _thread = boost::thread(&slogger::slog_thread, this);
    } catch (const std::exception&) {
        _stop = true;  // the queue stays closed: a log call writes its line itself
        return false;
    }
    _queue.set_open(true);
    return true;
}

void slogger::slog_stop() {
    // A log call that finds the queue closed writes its line itself, so one
    // made as the writer ends (a DLL's DLL_THREAD_DETACH) never waits for this.
    _queue.set_open(false);
    if (!_stop.exchange(true)) {
        SetEvent(_wake.get());
        _thread.join();
    }
    boost::lock_guard<boost::mutex> guard(_file_lock);
    _log_file.reset();
}

slogger::push_outcome slogger::push_line(uint32_t level, uint32_t log_to, const char* line, size_t length) {
    if (_dropped.load(std::memory_order_relaxed) != 0) {
        if (const uint64_t lost = _dropped.exchange(0)) {
            char note[kLogLineBytes];
            size_t note_length = 0;
            format_log_warning(note, &note_length, kDroppedNote, static_cast<unsigned long long>(lost));
            if (push(log_level_warn, log_to, note, note_length, true, note_length + length) != queued) {
                _dropped.fetch_add(lost);  // told later, or by the drain
            }
        }
    }
    const push_outcome outcome = push(level, log_to, line, length, false, length);
    if (outcome == dropped) {
        _dropped_to = log_to;
        _dropped.fetch_add(1);
    }
    return outcome;
}

slogger::push_outcome slogger::push(uint32_t level, uint32_t log_to, const char* text, size_t length,
                                    bool dropped_note, size_t room) {
    const auto pushed = _queue.push(length, room, [&](log_entry& entry) {
        entry.msg.assign(text, length);
        entry.level = level;
        entry.log_to = log_to;
        entry.dropped_note = dropped_note;
    });
    if (pushed == Queue<log_entry>::wake) {
        SetEvent(_wake.get());
    }
    return pushed == Queue<log_entry>::closed ? stopped : pushed == Queue<log_entry>::no_room ? dropped : queued;
}

void slogger::slog_thread() {
    _writer_id = GetCurrentThreadId();
    name_this_thread(L"TalvernLog");
    std::vector<log_entry> batch;
    size_t count = 0;
    while (!_stop) {
        if (!_queue.take_all(batch, count)) {  // asleep until a push, the stop, or a summary is due
            if (batch.size() > kKeptSlots) {
                batch.resize(kKeptSlots);
                batch.shrink_to_fit();
            }
            WaitForSingleObject(_wake.get(), _events.ms_until_summary(GetTickCount64()));
            _events.flush(GetTickCount64(), false);
            continue;
        }
        for (size_t i = 0; i < count; ++i) {
            write_line(batch[i].level, batch[i].log_to, batch[i].msg.c_str(), batch[i].dropped_note, false);
        }
        if (count < kGatherLines) {
            Sleep(1);
        }
    }
    // The queue is closed: what it holds now is all there will be.
    _queue.take_all(batch, count);
    for (size_t left = 0; left < count; ++left) {
        write_line(batch[left].level, batch[left].log_to, batch[left].msg.c_str(), batch[left].dropped_note, true);
    }
    if (const uint64_t dropped = _dropped.exchange(0)) {
        char note[kLogLineBytes];
        format_log_warning(note, nullptr, kDroppedNote, static_cast<unsigned long long>(dropped));
        write_line(log_level_warn, _dropped_to, note, true, true);
    }
    _events.flush(GetTickCount64(), true);
    _writer_id = 0;
}

void slogger::write_line(uint32_t level, uint32_t log_to, const char* text, bool dropped_note, bool draining) {
    try {  // a sink that runs out of memory loses this line, not the writer
        if (draining && (log_to & log_to_file)) {
            write_file_line(text, true);
        }
        if (log_to & log_to_con) {
            console_write(level, text);
        }
        if (log_to & log_to_ods) {
            debug_write(text);
        }
        if (!draining && (log_to & log_to_file)) {
            write_file_line(text, false);
        }
        if (log_to & log_to_evt) {
            _events.write(level, text, dropped_note, GetTickCount64());
        }
    } catch (const std::exception&) {
    }
}
