// The logger's writer thread and its life cycle.
#include "log/slogger.h"

#include <boost/thread/exceptions.hpp>
#include <boost/thread/lock_guard.hpp>

#include "log/console_sink.h"
#include "log/debug_sink.h"
#include "log/log.h"
#include "log/log_reentry.h"

namespace {
constexpr DWORD kIdlePollMs = 100;
}  // namespace

slogger::slogger() = default;

slogger::~slogger() {
    slog_stop();
    close_log_file();  // opened without a writer ever running
    // Lines pushed after the writer ended (none in normal use) are freed with the queue.
}

bool slogger::slog_start() {
    if (_thread) {
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
    if (_thread) {
        _thread->join();
        _thread.reset();
    }
    boost::lock_guard<boost::mutex> guard(_file_lock);
    close_log_file();
}

void slogger::slog_thread() {
    log_reentry_guard writer_thread;  // nothing on this thread may log
    while (!_stop) {
        if (_queue.count() == 0) {
            Sleep(kIdlePollMs);
            continue;
        }
        std::unique_ptr<log_entry> entry;
        try {
            entry = _queue.pop();
        } catch (const Queue<std::unique_ptr<log_entry>>::ReadEmptyQueue&) {
            continue;
        } catch (const boost::lock_error&) {
            continue;  // the line stays queued for the next round
        }
        write_entry(*entry);
    }

    // Final drain: every line queued before the stop is written, file first.
    boost::lock_guard<boost::mutex> guard(_queue.lock());
    while (!_queue.empty_locked()) {
        std::unique_ptr<log_entry> entry = _queue.pop_locked();
        try {
            if (entry->log_to & log_to_file) {
                append_file_line(entry->msg);
            }
            if (entry->log_to & log_to_con) {
                console_write(entry->level, entry->msg.c_str());
            }
            if (entry->log_to & log_to_ods) {
                debug_write(entry->msg.c_str());
            }
        } catch (const std::exception&) {
        }
    }
}

void slogger::write_entry(const log_entry& entry) {
    // A sink that runs out of memory loses this line, not the writer thread.
    try {
        write_sinks(entry);
    } catch (const std::exception&) {
    }
}

void slogger::write_sinks(const log_entry& entry) {
    if (entry.log_to & log_to_con) {
        console_write(entry.level, entry.msg.c_str());
    }
    if (entry.log_to & log_to_ods) {
        debug_write(entry.msg.c_str());
    }
    if (entry.log_to & log_to_file) {
        write_file_line(entry.msg);
    }
}
