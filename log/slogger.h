// The running logger: one queue of finished lines, the writer thread that
// hands them to the sinks, and the log file with its rotation. The writer
// sleeps on an auto-reset event set by the stop and by a push that finds it
// asleep, so an idle logger never wakes.
#pragma once

#include <windows.h>

#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <cstdint>
#include <string>

#include "base/handles.h"
#include "log/event_log_sink.h"
#include "log/log.h"
#include "log/log_queue.h"

class slogger {
public:
    static constexpr int64_t kRotationLines = 60000;  // lines a log file takes
    // Bytes of text queued at most: far more than the agent logs in a burst,
    // yet written by a slow debugger in about a second, not holding up a stop.
    static constexpr size_t kQueueBytes = 4 * 1024 * 1024;
    enum push_outcome { queued, dropped, stopped };

    slogger() : _wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~slogger() { slog_stop(); }
    slogger(const slogger&) = delete;
    slogger& operator=(const slogger&) = delete;
    // Starts the writer and opens the queue; false when it runs or cannot start.
    bool slog_start();
    // Closes the queue, lets the writer drain it (file first), joins it and
    // closes the file.
    void slog_stop();
    bool is_running() const { return !_stop; }

    // Queues a copy of the length bytes at line. A full queue drops it, never
    // waits, and one warning later gives the count; a closed queue leaves the
    // line to the caller. Throws std::bad_alloc.
    push_outcome push_line(uint32_t level, uint32_t log_to, const char* line, size_t length);
    // The writer's own log calls are dropped: they would queue behind the line
    // it writes.
    bool is_writer_thread() const { return GetCurrentThreadId() == _writer_id.load(); }

    // Moves the file at path to its time-stamped name and opens a new, empty
    // file there: the only operation that opens the log file.
    bool rotate_log_file(const wchar_t* path);
    // Switches the file sink to path, also while the writer runs.
    bool open_log_file(const wchar_t* path);

private:
    struct log_entry {  // its slot keeps the text's storage for the next line
        uint32_t level = 0;
        uint32_t log_to = 0;        // the sinks stamped on the line when it was made
        bool dropped_note = false;  // the logger's own count of dropped lines
        std::string msg;
    };

    // Queues the line if room bytes fit (a note's: its own and the next line's).
    push_outcome push(uint32_t level, uint32_t log_to, const char* text, size_t length, bool dropped_note,
                      size_t room);
    void slog_thread();
    // Console, debugger, then the file with its rotation check; in the final
    // drain the file first, without rotation.
    void write_line(uint32_t level, uint32_t log_to, const char* text, bool dropped_note, bool draining);
    void write_file_line(const char* line, bool draining);

    Queue<log_entry> _queue{kQueueBytes};
    std::atomic<uint64_t> _dropped{0};     // lines dropped and not yet reported
    std::atomic<uint32_t> _dropped_to{0};  // the sinks of the last one
    std::atomic<bool> _stop{true};
    event_handle _wake;
    boost::thread _thread;
    std::atomic<DWORD> _writer_id{0};
    event_log_sink _events;  // the writer's

    boost::mutex _file_lock;  // lets open_log_file() switch the file while the writer runs
    int64_t _line_count = 0;
    std::wstring _log_file_path;
    file_handle _log_file;
};
