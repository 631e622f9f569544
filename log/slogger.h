// The running logger: one queue of finished lines, the writer thread that
// hands them to the sinks, and the log file with its rotation.
//
// A log call holds the queue's lock only to push its line. The writer takes
// everything queued in one step and writes it outside the lock; it sleeps on
// an auto-reset event that a push sets when the writer sleeps, and the stop
// sets: an idle logger never wakes. A line that finds the queue full is
// dropped and counted, never waited on; one warning gives the count ahead of
// the first line that finds room again, or in the final drain.
#pragma once

#include <windows.h>

#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "base/handles.h"
#include "log/log.h"
#include "log/event_log_sink.h"
#include "log/log_queue.h"

class slogger {
public:
    // Lines a log file takes before it is rotated.
    static constexpr int64_t kRotationLines = 60000;
    // Bytes of line text queued at most: far more than the agent logs in a
    // burst, yet written in about a second by a slow debugger, so a stop is
    // not held up longer. (The writer's batch is one more such bound at most.)
    static constexpr size_t kQueueBytes = 4 * 1024 * 1024;

    // A line to queue, as the log call holds it.
    struct log_line {
        uint32_t level;
        uint32_t log_to;  // the sinks stamped on the line when it was made
        const char* text;
        size_t length;
        bool dropped_note;  // the logger's own count of dropped lines
    };
    // A queued line; its text's storage is kept for the next line queued in
    // its slot.
    struct log_entry {
        uint32_t level = 0;
        uint32_t log_to = 0;
        std::string msg;  // the whole line
        bool dropped_note = false;
        log_entry() = default;
        explicit log_entry(const log_line& line) { *this = line; }
        log_entry& operator=(const log_line& line) {
            level = line.level;
            log_to = line.log_to;
            msg.assign(line.text, line.length);
            dropped_note = line.dropped_note;
            return *this;
        }
    };
    enum push_outcome { queued, dropped, stopped };

    slogger();
    ~slogger();  // stops first
    slogger(const slogger&) = delete;
    slogger& operator=(const slogger&) = delete;
    // Opens the queue and starts the writer; false when it runs or cannot start.
    bool slog_start();
    // Closes the queue, lets the writer drain it (file first), joins it and
    // closes the file. Nothing when stopped.
    void slog_stop();
    bool is_running() const { return !_stop; }

    // Queues a copy of the length bytes at line, to be written in the order
    // queued. A full queue drops and counts it; a stopped logger leaves it to
    // the caller. Throws std::bad_alloc.
    push_outcome push_line(uint32_t level, uint32_t log_to, const char* line, size_t length);

    // Whether the calling thread is the writer, whose log calls are dropped:
    // they would queue behind the line being written.
    bool is_writer_thread() const { return GetCurrentThreadId() == _writer_id.load(); }

    // Moves the file at path to its time-stamped name and opens a new, empty
    // file there. The only operation that opens the log file.
    bool rotate_log_file(const wchar_t* path);
    // Starts the file sink at path (closing a file already open) through
    // rotate_log_file(). Safe while the writer runs.
    bool open_log_file(const wchar_t* path);

    // Most verbose level that is queued.
    std::atomic<uint32_t> level{log_level_warn};

private:
    // Queues line if room bytes of text fit (the next line's too, for a note).
    push_outcome push(const log_line& line, size_t room);
    void slog_thread();
    // The sinks of one line: console, debugger, then the file with its
    // rotation check; in the final drain the file first, without rotation.
    void write_entry(const log_entry& entry, bool draining);
    void write_file_line(const char* line, bool draining);

    Queue<log_entry> _queue{kQueueBytes};
    std::atomic<uint64_t> _dropped{0};     // lines dropped and not yet reported
    std::atomic<uint32_t> _dropped_to{0};  // the sinks of the last one
    std::atomic<bool> _stop{true};
    event_handle _wake;  // auto-reset
    std::unique_ptr<boost::thread> _thread;
    std::atomic<DWORD> _writer_id{0};
    std::unique_ptr<event_log_sink> _events;  // the writer's, from start to stop

    // The writer's while it runs; _file_lock lets open_log_file() switch the
    // file on meanwhile.
    boost::mutex _file_lock;
    int64_t _line_count = 0;
    std::wstring _log_file_path;
    file_handle _log_file;
};
