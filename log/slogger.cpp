// The logger's queue, its writer thread and their life cycle.
#include "log/slogger.h"

#include <cstring>
#include <vector>

#include "log/sinks.h"
#include "log/log_line.h"
#include "base/thread_name.h"

namespace {
// Slots the writer keeps for reuse after a burst; more are given back.
constexpr size_t kKeptSlots = 1024;
// After a batch of fewer lines than this, the writer lets the next ones
// gather for a moment: while lines keep coming it wakes about once a
// millisecond, rather than being signalled for every line or two.
constexpr size_t kGatherLines = 2048;
constexpr DWORD kGatherMs = 1;
}  // namespace

slogger::slogger() : _wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

slogger::~slogger() {
    slog_stop();
    _log_file.reset();  // opened without a writer ever running
}

bool slogger::slog_start() {
    if (_thread || !_wake) {
        return false;
    }
    _queue.open();
    _stop = false;
    try {
        _events.reset(new event_log_sink(make_event_log_reporter(L"Talvern")));
        _thread.reset(new boost::thread(&slogger::slog_thread, this));
    } catch (const std::exception&) {
        _queue.close();  // no writer: a log call writes its line itself
        _events.reset();
        _stop = true;
        return false;
    }
    return true;
}

void slogger::slog_stop() {
    if (_stop) {
        return;
    }
    // A log call that finds the queue closed writes its line itself, so one
    // made as the writer ends (a DLL's DLL_THREAD_DETACH) never waits for this.
    _queue.close();
    _stop = true;
    SetEvent(_wake.get());
    if (_thread) {
        _thread->join();
        _thread.reset();
    }
    _events.reset();
    boost::lock_guard<boost::mutex> guard(_file_lock);
    _log_file.reset();
}

slogger::push_outcome slogger::push_line(uint32_t level, uint32_t log_to, const char* line, size_t length) {
    // Lines were dropped: the warning that says how many goes ahead of the
    // first line that finds room again.
    if (_dropped.load(std::memory_order_relaxed) != 0) {
        if (const uint64_t lost = _dropped.exchange(0)) {
            char note[kLogLineBytes];
            size_t note_length = 0;
            format_dropped_note(note, lost, &note_length);
            if (push({log_level_warn, log_to, note, note_length, true}, note_length + length) != queued) {
                _dropped.fetch_add(lost);  // told later, or by the drain
            }
        }
    }
    const push_outcome outcome = push({level, log_to, line, length, false}, length);
    if (outcome == dropped) {
        _dropped_to = log_to;
        _dropped.fetch_add(1);
    }
    return outcome;
}

slogger::push_outcome slogger::push(const log_line& line, size_t room) {
    const Queue<log_entry>::push_result pushed = _queue.push(line, line.length, room);
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
        if (!_queue.take_all(batch, count)) {  // nothing queued: asleep until a push, the stop, or a summary is due
            WaitForSingleObject(_wake.get(), _events->ms_until_summary(GetTickCount64()));
            _events->flush(GetTickCount64(), false);
            continue;
        }
        for (size_t i = 0; i < count; ++i) {
            write_entry(batch[i], false);
        }
        if (batch.size() > kKeptSlots) {
            batch.resize(kKeptSlots);
            batch.shrink_to_fit();
        }
        if (count < kGatherLines) {
            Sleep(kGatherMs);
        }
    }
    // The queue is closed: what it holds now is all there will be.
    _queue.take_all(batch, count);
    for (size_t left = 0; left < count; ++left) {
        write_entry(batch[left], true);
    }
    if (const uint64_t dropped = _dropped.exchange(0)) {
        char note[kLogLineBytes];
        if (format_dropped_note(note, dropped, nullptr)) {
            write_entry(log_entry({log_level_warn, _dropped_to, note, strlen(note), true}), true);
        }
    }
    _events->flush(GetTickCount64(), true);
    _writer_id = 0;
}

void slogger::write_entry(const log_entry& entry, bool draining) {
    // A sink that runs out of memory loses this line, not the writer.
    try {
        if (draining && (entry.log_to & log_to_file)) {
            write_file_line(entry.msg.c_str(), true);
        }
        if (entry.log_to & log_to_con) {
            console_write(entry.level, entry.msg.c_str());
        }
        if (entry.log_to & log_to_ods) {
            debug_write(entry.msg.c_str());
        }
        if (!draining && (entry.log_to & log_to_file)) {
            write_file_line(entry.msg.c_str(), false);
        }
        if (entry.log_to & log_to_evt) {
            _events->write(entry.level, entry.msg.c_str(), entry.dropped_note, GetTickCount64());
        }
    } catch (const std::exception&) {
    }
}
