// The running logger: the queue of formatted lines, the writer thread that
// drains it to the sinks, and the log file with its rotation.
//
// Each thread that logs queues its lines in blocks of its own, which it alone
// fills and the writer alone reads, so that log calls on different threads
// share nothing but the counter that numbers their lines. A queued line is a
// small header (number, level, sinks, length) and its bytes; the writer takes
// the lines of all threads by their numbers, so they leave in the order they
// came. Blocks the writer has emptied are kept for reuse, a few of them; a
// thread's blocks are freed once the thread has ended and its lines are
// written.
//
// The queue holds at most kQueueBytes of blocks: a line that finds no room is
// dropped and counted, so no log call ever waits for the sinks, the memory a
// slow sink lets pile up is bounded, and so is the drain at the stop.
//
// An idle writer sleeps on an event until a line comes or the logger stops.
// It says so in a flag before its last look at the queues; a log call looks
// at that flag after it has published its line, and only a call that finds
// the writer asleep signals it, so a steady stream of lines costs no signal.
#pragma once

#include <windows.h>

#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "log/log.h"
#include "base/handles.h"

class slogger {
public:
    // Lines a log file takes before it is rotated.
    static constexpr int64_t kRotationLines = 60000;
    // Bytes of blocks the queue holds at most, the threads' partly filled
    // blocks included. 4 MB: about 30,000 lines of an ordinary length, or
    // 2,000 of the longest, far more than the agent logs in a burst (a few
    // lines per device event and failure), yet written in about a second
    // even by a sink as slow as a debugger that echoes every line to a
    // terminal (about 3 MB a second), so that Exit is not held up longer.
    static constexpr size_t kQueueBytes = 4 * 1024 * 1024;

    slogger();
    ~slogger();
    slogger(const slogger&) = delete;
    slogger& operator=(const slogger&) = delete;

    // Starts the writer thread; false when it already runs or cannot start.
    bool slog_start();
    // Stops the writer after it has drained the queue, then closes the file.
    void slog_stop();

    // Queues a copy of the length bytes at line (cut to fit a block). Lines
    // leave the queue in the order they came. False when the queue is full:
    // the line is dropped and counted. Throws std::bad_alloc when the calling
    // thread's lines cannot be set up or a new block cannot be had.
    bool push_line(uint32_t level, uint32_t log_to, const char* line, size_t length);
    // The same without counting a dropped line.
    bool try_push_line(uint32_t level, uint32_t log_to, const char* line, size_t length);
    // Lines dropped and not yet reported; one read while none was.
    uint64_t dropped_lines() const;
    uint64_t take_dropped_lines();
    // Whether two lines of these lengths fit now (unless other threads take
    // the room first): those of the calling thread's block, or a free block.
    bool has_room_for_lines(size_t first_length, size_t second_length);
    // Gives back a count taken whose report could not be queued.
    void put_back_dropped_lines(uint64_t count);

    // Threads whose lines the logger keeps (for tests and diagnostics).
    size_t listed_threads();

    // Moves the file at path to its time-stamped name and opens a new, empty
    // file there. The only operation that opens the log file.
    bool rotate_log_file(const wchar_t* path);

    // Starts the file sink at path (closing a file already open): the first
    // file is opened through rotate_log_file(). Safe while the writer runs.
    bool open_log_file(const wchar_t* path);

    // Most verbose level that is queued.
    std::atomic<uint32_t> level{log_level_warn};

    // Whether the writer sleeps until a line comes (for tests and diagnostics).
    bool writer_asleep() const { return _asleep.load(); }

private:
    // One queued line inside a block: this header, the line's bytes, a NUL.
    struct line_header {
        uint64_t number;  // its place in the order of all threads' lines
        uint32_t level;
        uint32_t log_to;
        uint32_t length;
    };
    struct line_block {
        static constexpr size_t kCapacity = 16 * 1024 - 128;  // 16 KB in all
        // Bytes filled, published by the thread that fills the block.
        std::atomic<size_t> used{0};
        // The block that thread went on to when this one had no room left.
        // (Apart from used by a cache line: the writer asks for it while the
        // thread is still filling the block.)
        alignas(64) std::atomic<line_block*> next{nullptr};
        char bytes[kCapacity];
    };
    // The lines of one thread: blocks from head (oldest) to tail (filled now).
    struct thread_lines {
        thread_lines() = default;
        ~thread_lines();  // frees the blocks
        thread_lines(const thread_lines&) = delete;
        thread_lines& operator=(const thread_lines&) = delete;

        slogger* owner = nullptr;
        DWORD thread_id = 0;
        line_block* tail = nullptr;  // the thread's own
        // The writer's own, apart from the thread's by a cache line.
        alignas(64) line_block* head = nullptr;
        size_t read = 0;     // bytes of head handed to the sinks
        size_t visible = 0;  // bytes of head the writer knows to be published
        std::atomic<bool> ended{false};  // the thread has exited: no more lines
        bool swept = false;  // ended by the writer's look, not by a callback (writer only)
    };
    // Emptied blocks kept for reuse; more are given back to the heap.
    static constexpr size_t kSpareBlocks = 8;
    static constexpr size_t kQueueBlocks = kQueueBytes / sizeof(line_block);

    // The calling thread's lines, set up at its first line; null when the
    // queue is full. past_callback: made for one line of a thread past its
    // fiber-local callback, to be ended once the line is in.
    thread_lines* this_thread_lines(bool& past_callback);
    static void WINAPI thread_ended(void* lines);
    // An emptied block, or a new one; null when the queue holds its bound.
    line_block* take_block();
    // Keeps block for reuse or frees it; never throws.
    void give_back_block(line_block* block);

    void slog_thread();
    // Signals the writer if it sleeps. Called after a line (or a thread's end)
    // has been published.
    void wake_writer();
    // The writer's sleep until wake_writer() or slog_stop(), after a last look
    // at the queues that finds nothing to write.
    void sleep_until_woken();
    // Hands queued lines to the sinks in order until none is left, the next
    // one is still being queued, or a stop comes; the number written.
    size_t write_queued();
    // Final drain: every line still queued, file first, no rotation.
    void drain_queue();
    // Brings the writer's list of threads up to date, looks at what each has
    // published since, and frees the lines of threads that have ended and
    // have nothing left to write.
    // Whether a thread has a line the writer has not written. At most once
    // a second (and only in rounds the writer makes anyway), also looks
    // whether the threads with nothing to write still run: a thread whose
    // first line came on its way out, after its fiber-local callbacks, has
    // lines that no callback ends.
    bool update_threads();
    // Looks at how far the thread has filled its oldest block: once a round,
    // since the thread writes that count with every line. Whether a line is
    // there to write.
    bool look(thread_lines& lines);
    // Whether the writer knows of a line of lines it has not written; its
    // header if so. Follows the thread into its next block when the oldest
    // is done, without looking at the block the thread is filling.
    bool peek(thread_lines& lines, line_header& header);
    // The writer's next line in order: the one numbered _next_number, or,
    // with skip_gaps, the lowest numbered one queued.
    thread_lines* next_line(line_header& header, bool skip_gaps);
    // Passes the line at the front of lines, which header describes; its text.
    const char* take_line(thread_lines& lines, const line_header& header);
    void write_entry(uint32_t level, uint32_t log_to, const char* line);
    void write_sinks(uint32_t level, uint32_t log_to, const char* line);
    // File sink of the normal loop: rotation check, count, append.
    void write_file_line(const char* line);
    // File sink of the final drain: append only.
    void append_file_line(const char* line);
    void close_log_file();

    std::atomic<bool> _stop{true};
    // Set by the writer before it sleeps on _wake; cleared by whoever wakes it.
    std::atomic<bool> _asleep{false};
    // Lines dropped because the queue was full, not yet reported.
    std::atomic<uint64_t> _dropped_lines{0};
    event_handle _wake;  // auto-reset
    // Numbers the lines of all threads. (On a cache line of its own: each log
    // call writes it, and reads level above.)
    alignas(64) std::atomic<uint64_t> _line_numbers{0};
    // The fiber-local slot that finds a thread's lines; FLS_OUT_OF_INDEXES
    // when none could be had (slog_start() then fails).
    alignas(64) DWORD _slot;
    // Set in a thread once its fiber-local callback has run (TLS outlives it).
    DWORD _past_callback_slot;
    // Blocks held by threads and the writer, not counting spare ones.
    std::atomic<size_t> _blocks_in_use{0};
    boost::mutex _threads_lock;  // guards _threads
    std::vector<std::unique_ptr<thread_lines>> _threads;
    // Lines of threads the sweep found ended, their blocks given back (see
    // update_threads()); kept until the fiber-local slot is freed.
    std::vector<std::unique_ptr<thread_lines>> _retired;
    boost::mutex _spare_lock;  // guards _spare
    std::vector<line_block*> _spare;
    std::unique_ptr<boost::thread> _thread;

    // The writer's own: the threads it reads, the number of the line it
    // writes next, and since when that line has been missing while later
    // ones were queued. (Apart from what the log call reads by a cache line.)
    alignas(64) std::vector<thread_lines*> _reading;
    uint64_t _next_number = 0;
    ULONGLONG _missing_since = 0;
    ULONGLONG _last_sweep = 0;

    // Owned by the writer thread while it runs; _file_lock lets another thread
    // switch the file on (open_log_file) without racing it.
    boost::mutex _file_lock;
    int64_t _line_count = 0;
    std::wstring _log_file_path;
    file_handle _log_file;
};
