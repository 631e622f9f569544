// The running logger: the queue of formatted lines, the writer thread that
// drains it to the sinks, and the log file with its rotation.
#pragma once

#include <windows.h>

#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "log/log.h"
#include "log/log_queue.h"
#include "util/base/handles.h"

class slogger {
public:
    // One queued line.
    struct log_entry {
        uint32_t level;
        uint32_t log_to;  // the sinks stamped when the call was made
        std::string msg;  // the whole line, "\n" included
    };

    // Lines a log file takes before it is rotated.
    static constexpr int64_t kRotationLines = 60000;

    slogger();
    ~slogger();
    slogger(const slogger&) = delete;
    slogger& operator=(const slogger&) = delete;

    // Starts the writer thread; false when it already runs or cannot start.
    bool slog_start();
    // Stops the writer after it has drained the queue, then closes the file.
    void slog_stop();

    // Queues a line for the writer.
    void push(std::unique_ptr<log_entry> entry) { _queue.push(std::move(entry)); }

    // Moves the file at path to its time-stamped name and opens a new, empty
    // file there. The only operation that opens the log file.
    bool rotate_log_file(const wchar_t* path);

    // Starts the file sink at path (closing a file already open): the first
    // file is opened through rotate_log_file(). Safe while the writer runs.
    bool open_log_file(const wchar_t* path);

    // Most verbose level that is queued.
    std::atomic<uint32_t> level{log_level_warn};

private:
    void slog_thread();
    void write_entry(const log_entry& entry);
    void write_sinks(const log_entry& entry);
    // File sink of the normal loop: rotation check, count, append.
    void write_file_line(const std::string& line);
    // File sink of the final drain: append only.
    void append_file_line(const std::string& line);
    void close_log_file();

    std::atomic<bool> _stop{true};
    Queue<std::unique_ptr<log_entry>> _queue;
    std::unique_ptr<boost::thread> _thread;

    // Owned by the writer thread while it runs; _file_lock lets another thread
    // switch the file on (open_log_file) without racing it.
    boost::mutex _file_lock;
    int64_t _line_count = 0;
    std::wstring _log_file_path;
    file_handle _log_file;
};
