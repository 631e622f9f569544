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

// The one slogger, made by the first initialize_log() and never freed: a log
// call may still be pushing into it while the stop closes its queue.
// finalize_log() stops it, initialize_log() starts it again. The log call
// takes no lock but the queue's, only for the push: a thread terminated inside
// that push leaves the lock held, and every later log call and the stop then
// wait for ever; a thread terminated anywhere else in the call leaves nothing.
std::atomic<slogger*> _logger{nullptr};
boost::mutex _life_lock;  // serialises initialize_log(), finalize_log(), log_open_file()

// Set while the thread is inside the log call: a log call made from there
// (a sink's observer, a helper's failure message) would recurse.
thread_local bool _inside_log_call = false;

// The executable's file name, looked up once by a lookup that does not log
// (empty when it fails), and kept for lines logged while statics are destroyed.
const char* module_file_name() {
    static const std::string* const name = [] {
        std::wstring file;
        std::string ansi;
        get_current_module_file_silent(file);
        wcs_to_ansi(file.c_str(), ansi);
        return new std::string(ansi);
    }();
    return name->c_str();
}

bool format_line(char (&line)[kLogLineBytes], size_t* length, uint32_t level, const char* function,
                 const char* format, va_list args) {
    log_line_options options;
    options.show_time = _show_time;
    options.show_function_name = _show_function_name;
    options.module_file = module_file_name();
    return format_log_line(line, options, level, function, format, args, length);
}

// The log call past its filter: formats the line and queues or writes it.
void log_write_line(uint32_t level, const char* function, const char* format, va_list args) {
    slogger* logger = _logger.load();
    if (_inside_log_call || (logger != nullptr && logger->is_writer_thread())) {
        return;  // the writer's own line would queue behind the one it writes
    }
    _inside_log_call = true;
    try {  // nothing of the log call reaches its caller, not even a failed allocation
        char line[kLogLineBytes];
        size_t length = 0;
        const uint32_t log_to = _log_to;
        if (format_line(line, &length, level, function, format, args) &&
            (logger == nullptr || level <= logger->level) &&
            (logger == nullptr || logger->push_line(level, log_to, line, length) == slogger::stopped)) {
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

bool format_warning(char (&line)[kLogLineBytes], size_t* length, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const bool made = format_line(line, length, log_level_warn, "log_write_fmt", format, args);
    va_end(args);
    return made;
}
}  // namespace

bool format_dropped_note(char (&line)[kLogLineBytes], uint64_t count, size_t* length) {
    return format_warning(line, length, "%llu log lines were dropped: the log queue was full.",
                          static_cast<unsigned long long>(count));
}

bool initialize_log() {
    _log_mask = 0xFFFFFFFFu;
    _log_level = log_level_warn;
    _log_to = log_to_ods;
    boost::lock_guard<boost::mutex> life(_life_lock);
    slogger* logger = _logger.load();
    if (logger != nullptr && logger->is_running()) {
        return true;
    }
    logger = logger != nullptr ? logger : new slogger();
    logger->level = log_level_warn;
    if (!logger->slog_start()) {
        debug_write("[ERR ] initialize_log(), _logger->slog_start() failed.\n");
        return false;
    }
    _logger = logger;
    return true;
}

void finalize_log() {
    boost::lock_guard<boost::mutex> life(_life_lock);
    if (slogger* logger = _logger.load()) {
        logger->slog_stop();
    }
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

void log_set_level(uint32_t level) {
    _log_level = level;
    if (slogger* logger = _logger.load()) {
        logger->level = level;
    }
}

uint32_t log_get_level() { return _log_level; }
void log_set_targets(uint32_t log_to) { _log_to = log_to; }
uint32_t log_get_targets() { return _log_to; }
void log_set_mask(uint32_t mask) { _log_mask = mask; }
void log_set_show_time(bool show) { _show_time = show; }
void log_set_show_function_name(bool show) { _show_function_name = show; }

bool log_open_file(const wchar_t* path) {
    boost::lock_guard<boost::mutex> life(_life_lock);
    slogger* logger = _logger.load();
    if (logger == nullptr || !logger->is_running() || !logger->open_log_file(path)) {
        return false;
    }
    _log_to |= log_to_file;
    return true;
}
