// The agent's process-wide asynchronous log.
//
// Every module reports through log_write_fmt(). The line is formatted in the
// calling thread; while the logger runs it is queued and a writer thread hands it
// to the sinks (debugger, console, log file), before initialize_log() and after
// finalize_log() it is written straight to the sinks by the caller.
#pragma once

#include <cstdint>

enum : uint32_t { log_category_general = 1 };

enum : uint32_t {
    log_level_error = 0,
    log_level_warn = 1,
    log_level_info = 2,
    log_level_debug = 3,
};

// Sink bits of a line.
enum : uint32_t {
    log_to_file = 1,
    log_to_ods = 2,  // OutputDebugStringA
    log_to_con = 4,  // the process console, coloured by level
};

// Sets the agent's settings (all categories, warnings and errors, debugger only)
// and starts the writer thread. A second call keeps the running logger.
bool initialize_log();

// Drains every queued line to the sinks, stops the writer and destroys the logger.
void finalize_log();

// The log call. "%s" takes narrow text, "%ws" wide text; the logger adds "\n".
void log_write_fmt(uint32_t category, uint32_t level, const char* function, const char* format, ...);
