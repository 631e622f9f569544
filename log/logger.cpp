// The process-wide log: its settings, the log call, and the start and stop of
// the one slogger.
#include "log/log.h"

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <atomic>
#include <cstdarg>
#include <memory>

#include "log/console_sink.h"
#include "log/debug_sink.h"
#include "log/log_line.h"
#include "log/log_reentry.h"
#include "log/log_settings.h"
#include "log/slogger.h"

namespace {
// Settings read by every log call, without a lock.
std::atomic<uint32_t> _log_mask{0xFFFFFFFFu};
std::atomic<uint32_t> _log_level{log_level_info};
std::atomic<uint32_t> _log_to{log_to_ods};
std::atomic<bool> _show_time{false};
std::atomic<bool> _show_function_name{false};

// Guards _logger, the direct writes to the sinks, and start and stop.
boost::mutex _log_lock;
slogger* _logger = nullptr;
}  // namespace

bool initialize_log() {
    _log_mask = 0xFFFFFFFFu;
    _log_level = log_level_warn;
    _log_to = log_to_ods;

    boost::lock_guard<boost::mutex> guard(_log_lock);
    if (_logger != nullptr) {
        return true;
    }
    std::unique_ptr<slogger> logger(new slogger());
    logger->level = log_level_warn;
    if (!logger->slog_start()) {
        debug_write("[ERR ] initialize_log(), _logger->slog_start() failed.\n");
        return false;
    }
    _logger = logger.release();
    return true;
}

void finalize_log() {
    log_reentry_guard no_logging;  // a log call here would wait on _log_lock
    boost::lock_guard<boost::mutex> guard(_log_lock);
    if (_logger != nullptr) {
        _logger->slog_stop();
        delete _logger;
        _logger = nullptr;
    }
}

void log_write_fmt(uint32_t category, uint32_t level, const char* function, const char* format, ...) {
    if ((category & _log_mask) != category || level > _log_level || format == nullptr) {
        return;
    }
    if (log_thread_in_logger()) {
        return;
    }
    log_reentry_guard in_call;

    // Nothing of the log call reaches its caller, not even a failed allocation.
    try {
        log_line_options options;
        options.show_time = _show_time;
        options.show_function_name = _show_function_name;
        char line[kLogLineBytes];
        va_list args;
        va_start(args, format);
        const bool made = format_log_line(line, options, level, function, format, args);
        va_end(args);
        if (!made) {
            return;
        }

        boost::lock_guard<boost::mutex> guard(_log_lock);
        const uint32_t log_to = _log_to;
        if (_logger != nullptr) {
            if (level > _logger->level) {
                return;
            }
            std::unique_ptr<slogger::log_entry> entry(new slogger::log_entry{level, log_to, line});
            _logger->push(std::move(entry));
            return;
        }
        if (log_to & log_to_con) {
            console_write(level, line);
        }
        if (log_to & log_to_ods) {
            debug_write(line);
        }
    } catch (const std::exception&) {
        // The line is lost; the caller goes on.
    }
}

void log_set_level(uint32_t level) {
    _log_level = level;
    boost::lock_guard<boost::mutex> guard(_log_lock);
    if (_logger != nullptr) {
        _logger->level = level;
    }
}

uint32_t log_get_level() { return _log_level; }

void log_set_targets(uint32_t log_to) { _log_to = log_to; }

uint32_t log_get_targets() { return _log_to; }

void log_set_mask(uint32_t mask) { _log_mask = mask; }

void log_set_show_time(bool show) { _show_time = show; }

void log_set_show_function_name(bool show) { _show_function_name = show; }

bool log_open_file(const wchar_t* path) {
    log_reentry_guard no_logging;  // a log call here would wait on _log_lock
    boost::lock_guard<boost::mutex> guard(_log_lock);
    if (_logger == nullptr || !_logger->open_log_file(path)) {
        return false;
    }
    _log_to |= log_to_file;
    return true;
}
