// The process-wide log: its settings, the log call, and the start and stop of
// the one slogger.
#include "log/log.h"

#include <windows.h>

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
#include "base/module_file.h"

namespace {
// Settings read by every log call, without a lock.
std::atomic<uint32_t> _log_mask{0xFFFFFFFFu};
std::atomic<uint32_t> _log_level{log_level_info};
std::atomic<uint32_t> _log_to{log_to_ods};
std::atomic<bool> _show_time{false};
std::atomic<bool> _show_function_name{false};

// Serialises the start and the stop of the logger. A log call never takes it.
boost::mutex _life_lock;
// Guards _logger and the direct writes to the sinks. Held only for moments:
// never while the stop waits for the writer, whose own exit, and any other
// thread's, may run code (a DLL's DLL_THREAD_DETACH) that logs.
boost::mutex _log_lock;
slogger* _logger = nullptr;

// The running logger as the log call sees it, without _log_lock: a call
// counts itself in _calls_in_flight before it reads _running, and
// finalize_log() clears _running and waits until no call is in flight before
// it stops the logger, so no call can still be queuing into it then. A thread
// terminated inside a call leaves the count raised for ever: the stop waits
// for it a bounded time, then stops the writer but leaves the logger
// allocated, since the dead call may have held on to it. (A termination can
// also leave the heap's or a lock's owner dead; nothing survives that.)
// (Apart by a cache line: every call writes the count, and reads _running.)
alignas(64) std::atomic<slogger*> _running{nullptr};
alignas(64) std::atomic<int> _calls_in_flight{0};
// How long the stop waits for calls in flight. A call queues its line in
// microseconds; one that takes longer has lost its thread.
constexpr ULONGLONG kInFlightWaitMs = 2000;

class in_flight {
public:
    in_flight() { _calls_in_flight.fetch_add(1); }
    ~in_flight() { _calls_in_flight.fetch_sub(1); }
    in_flight(const in_flight&) = delete;
    in_flight& operator=(const in_flight&) = delete;
};
}  // namespace

bool initialize_log() {
    _log_mask = 0xFFFFFFFFu;
    _log_level = log_level_warn;
    _log_to = log_to_ods;

    boost::lock_guard<boost::mutex> life(_life_lock);
    {
        boost::lock_guard<boost::mutex> guard(_log_lock);
        if (_logger != nullptr) {
            return true;
        }
    }
    std::unique_ptr<slogger> logger(new slogger());
    logger->level = log_level_warn;
    if (!logger->slog_start()) {
        boost::lock_guard<boost::mutex> guard(_log_lock);
        debug_write("[ERR ] initialize_log(), _logger->slog_start() failed.\n");
        return false;
    }
    boost::lock_guard<boost::mutex> guard(_log_lock);
    _logger = logger.release();
    _running = _logger;
    return true;
}

void finalize_log() {
    log_reentry_guard no_logging;  // nothing of the stop itself logs
    boost::lock_guard<boost::mutex> life(_life_lock);
    slogger* logger = nullptr;
    {
        // From here on a log call writes its line straight to the sinks (it
        // may come out before the last queued lines, which the writer drains).
        boost::lock_guard<boost::mutex> guard(_log_lock);
        logger = _logger;
        _logger = nullptr;
        _running = nullptr;
    }
    if (logger == nullptr) {
        return;
    }
    const ULONGLONG waited_from = GetTickCount64();
    while (_calls_in_flight.load() != 0) {
        if (GetTickCount64() - waited_from >= kInFlightWaitMs) {
            logger->slog_stop();  // its lines are written; its memory stays
            return;
        }
        SwitchToThread();  // a call that saw the logger finishes queuing its line
    }
    logger->slog_stop();
    delete logger;
}

namespace {
// The executable's file name for every line, looked up once: it cannot change
// while the process runs. The lookup does not log (that would come back here);
// when it fails the field stays empty. Kept for the process's life, so that
// a line logged while static objects are destroyed still has it.
const wchar_t* module_file_name() {
    static const std::wstring* const name = [] {
        std::wstring file;
        get_current_module_file_silent(file);
        return new std::wstring(file);
    }();
    return name->c_str();
}

log_line_options line_options() {
    log_line_options options;
    options.show_time = _show_time;
    options.show_function_name = _show_function_name;
    options.module_file = module_file_name();
    return options;
}

// The logger's own line, formatted as a log call's.
bool format_own_line(char (&line)[kLogLineBytes], size_t* length, uint32_t level, const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const bool made = format_log_line(line, line_options(), level, function, format, args, length);
    va_end(args);
    return made;
}

// Queues a line; first, once there is room again for the warning and the
// line after lines were dropped because the queue was full, one warning that
// says how many.
void queue_line(slogger& logger, uint32_t level, uint32_t log_to, const char* line, size_t length) {
    if (logger.dropped_lines() != 0 && logger.has_room_for_lines(kLogLineBytes, length)) {
        const uint64_t dropped = logger.take_dropped_lines();  // 0 when another call took them first
        char note[kLogLineBytes];
        size_t note_length = 0;
        const bool queued =
            dropped == 0 ||
            (format_own_line(note, &note_length, log_level_warn, "log_write_fmt",
                             "%llu log lines were dropped: the log queue was full.",
                             static_cast<unsigned long long>(dropped)) &&
             logger.try_push_line(log_level_warn, log_to, note, note_length));
        if (!queued) {
            logger.put_back_dropped_lines(dropped);
        }
    }
    logger.push_line(level, log_to, line, length);
}

// The log call past its filter: formats the line and queues or writes it.
// Apart from log_write_fmt(), so that a call the filter drops does not set
// up the line's stack frame.
#if defined(_MSC_VER)
__declspec(noinline)
#else
__attribute__((noinline))
#endif
void log_write_line(uint32_t level, const char* function, const char* format, va_list args) {
    log_reentry_guard in_call;
    if (in_call.was_inside()) {
        return;
    }

    // Nothing of the log call reaches its caller, not even a failed allocation.
    try {
        const log_line_options options = line_options();
        char line[kLogLineBytes];
        size_t length = 0;
        const bool made = format_log_line(line, options, level, function, format, args, &length);
        if (!made) {
            return;
        }

        {
            in_flight counted;
            slogger* running = _running.load();
            if (running != nullptr) {
                if (level <= running->level) {
                    queue_line(*running, level, _log_to, line, length);
                }
                return;
            }
        }

        boost::lock_guard<boost::mutex> guard(_log_lock);
        const uint32_t log_to = _log_to;
        if (_logger != nullptr) {  // started since the look above
            if (level > _logger->level) {
                return;
            }
            queue_line(*_logger, level, log_to, line, length);
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
}  // namespace

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
