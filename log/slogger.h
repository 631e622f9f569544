// The running logger: the queue of formatted lines, the writer thread that
// drains it to the sinks, and the log file with its rotation.
//
// Queued lines are held one after another in blocks of 64 KB, each line as a
// small header (level, sinks, length) and its bytes: queuing a line copies it
// into the block being filled, with no heap block of its own. Blocks the
// writer has emptied are kept for reuse, a few of them.
#pragma once

#include <windows.h>

#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <deque>
#include <string>
#include <vector>

#include "log/log.h"
#include "util/base/handles.h"

class slogger {
public:
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

    // Queues a copy of the length bytes at line (cut to fit a block). Lines
    // leave the queue in the order they came.
    void push_line(uint32_t level, uint32_t log_to, const char* line, size_t length);

    // Moves the file at path to its time-stamped name and opens a new, empty
    // file there. The only operation that opens the log file.
    bool rotate_log_file(const wchar_t* path);

    // Starts the file sink at path (closing a file already open): the first
    // file is opened through rotate_log_file(). Safe while the writer runs.
    bool open_log_file(const wchar_t* path);

    // Most verbose level that is queued.
    std::atomic<uint32_t> level{log_level_warn};

private:
    // One queued line inside a block: this header, the line's bytes, a NUL.
    struct line_header {
        uint32_t level;
        uint32_t log_to;
        uint32_t length;
    };
    struct line_block {
        static constexpr size_t kCapacity = 64 * 1024;
        size_t used = 0;  // bytes filled (changed under _queue_lock)
        size_t read = 0;  // bytes handed to the sinks (the writer's own)
        char bytes[kCapacity];
    };
    // Emptied blocks kept for reuse; more are given back to the heap.
    static constexpr size_t kSpareBlocks = 8;

    void slog_thread();
    // Hands what is queued in the first block to the sinks, line by line until
    // a stop comes; the number of lines written.
    size_t write_queued();
    // Final drain: every line still queued, file first, no rotation.
    void drain_queue();
    void write_entry(uint32_t level, uint32_t log_to, const char* line);
    void write_sinks(uint32_t level, uint32_t log_to, const char* line);
    // File sink of the normal loop: rotation check, count, append.
    void write_file_line(const char* line);
    // File sink of the final drain: append only.
    void append_file_line(const char* line);
    void close_log_file();

    std::atomic<bool> _stop{true};
    // The queue: blocks in order, lines appended to the last one. (On a cache
    // line of its own: each log call writes it, and reads level above.)
    alignas(64) boost::mutex _queue_lock;
    std::deque<std::unique_ptr<line_block>> _blocks;
    std::vector<std::unique_ptr<line_block>> _spare;
    std::unique_ptr<boost::thread> _thread;

    // Owned by the writer thread while it runs; _file_lock lets another thread
    // switch the file on (open_log_file) without racing it.
    boost::mutex _file_lock;
    int64_t _line_count = 0;
    std::wstring _log_file_path;
    file_handle _log_file;
};
