// The process-wide log: its settings, the log call, and the start and stop of
// the one slogger.
#include "log/log.h"

#include <windows.h>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <atomic>
#include <cstdarg>

#include "log/sinks.h"
#include "log/log_line.h"
#include "log/slogger.h"
#include "base/module_file.h"
#include "base/text.h"

namespace {
// Settings read by every log call, without a lock.
std::atomic<uint32_t> _log_mask{0xFFFFFFFFu};
std::atomic<uint32_t> _log_level{log_level_info};
std::atomic<uint32_t> _log_to{log_to_ods};
std::atomic<bool> _show_time{false};
std::atomic<bool> _show_function_name{false};

// The one slogger, made at the first use and never freed, as a log call may
// still be pushing into it while the stop closes its queue. The log call takes
// no lock but the queue's, for the push only: a thread terminated inside that
// push leaves the lock held, and every later log call and the stop then wait
// for ever; terminated anywhere else, it leaves nothing.
slogger& the_logger() {
    static slogger* const logger = new slogger();
    return *logger;
}

boost::mutex _life_lock;  // serialises initialize_log(), finalize_log(), log_open_file()

// Set while the thread is in the log call, where a log call (an observer's,
// or a helper's failure) would recurse.
thread_local bool _inside_log_call = false;

bool format_line(char (&line)[kLogLineBytes], size_t* length, uint32_t level, const char* function,
                 const char* format, va_list args) {
    // The executable's file name, found once by a lookup that does not log,
    // and kept for lines logged while statics are destroyed.
    static const std::string* const module_file = [] {
        std::wstring file;
        std::string ansi;
        get_current_module_file_silent(file);
        wcs_to_ansi(file.c_str(), ansi);
        return new std::string(ansi);
    }();
    const log_line_options options{_show_time, _show_function_name, module_file->c_str()};
    return format_log_line(line, options, level, function, format, args, length);
}

// The log call past its filter, kept out of log_write_fmt() so that a filtered
// call does not pay for this one's frame.
void log_write_line(uint32_t level, const char* function, const char* format, va_list args) {
    slogger& logger = the_logger();
    if (_inside_log_call || logger.is_writer_thread()) {
        return;  // the writer's own line would queue behind the one it writes
    }
    _inside_log_call = true;
    try {  // nothing of the log call reaches its caller, not even a failed allocation
        char line[kLogLineBytes];
        size_t length = 0;
        const uint32_t log_to = _log_to;
        if (format_line(line, &length, level, function, format, args) &&
            logger.push_line(level, log_to, line, length) == slogger::stopped) {
            // No logger runs: the caller writes its line itself.
            if (log_to & log_to_con) {
                console_write(level, line);
            }
            if (log_to & log_to_ods) {
                debug_write(line);
            }
        }
    } catch (const std::exception&) {
    }
    _inside_log_call = false;
}
}  // namespace

void format_log_warning(char (&line)[kLogLineBytes], size_t* length, const char* format, ...) {
    va_list args;
    va_start(args, format);
    format_line(line, length, log_level_warn, "log_write_fmt", format, args);
    va_end(args);
}

void log_write_fmt(uint32_t category, uint32_t level, const char* function, const char* format, ...) {
    if (level > _log_level || (category & _log_mask) != category || format == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    log_write_line(level, function, format, args);
    va_end(args);
}

bool initialize_log() {
    _log_mask = 0xFFFFFFFFu;
    _log_level = log_level_warn;
    _log_to = log_to_ods;
    boost::lock_guard<boost::mutex> life(_life_lock);
    if (the_logger().is_running() || the_logger().slog_start()) {
        return true;
    }
    debug_write("[ERR ] initialize_log(), _logger->slog_start() failed.\n");
    return false;
}

void finalize_log() {
    boost::lock_guard<boost::mutex> life(_life_lock);
    the_logger().slog_stop();
}

bool log_open_file(const wchar_t* path) {
    boost::lock_guard<boost::mutex> life(_life_lock);
    if (!the_logger().is_running() || !the_logger().open_log_file(path)) {
        return false;
    }
    _log_to |= log_to_file;
    return true;
}

void log_set_level(uint32_t level) { _log_level = level; }
uint32_t log_get_level() { return _log_level; }
void log_set_targets(uint32_t log_to) { _log_to = log_to; }
uint32_t log_get_targets() { return _log_to; }
void log_set_mask(uint32_t mask) { _log_mask = mask; }
void log_set_show_time(bool show) { _show_time = show; }
void log_set_show_function_name(bool show) { _show_function_name = show; }
