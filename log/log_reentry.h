// Marks a thread as being inside the logger (the log call, or the writer
// thread). A log call made from there (a helper's failure message, a sink, an
// observer) is dropped: it would recurse, or, on the writer thread, queue a
// line behind the one being written.
#pragma once

bool log_thread_in_logger();

class log_reentry_guard {
public:
    log_reentry_guard();
    ~log_reentry_guard();
    log_reentry_guard(const log_reentry_guard&) = delete;
    log_reentry_guard& operator=(const log_reentry_guard&) = delete;

    // Whether the thread was inside the logger already when the guard was made.
    bool was_inside() const { return _was_inside; }

private:
    bool* _inside;  // the thread's mark, looked up once (thread-local lookups are not free)
    bool _was_inside;
};
