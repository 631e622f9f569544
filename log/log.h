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
    log_to_evt = 8,  // the Windows Application log, source "Talvern" (errors and warnings)
};

// Sets the agent's settings (all categories, warnings and errors, debugger only)
// and starts the writer thread. A second call keeps the running logger.
bool initialize_log();

// Drains every queued line to the sinks, stops the writer and closes the log file.
void finalize_log();

// The log call. "%s" takes narrow text, "%ws" wide text; the logger adds "\n".
void log_write_fmt(uint32_t category, uint32_t level, const char* function, const char* format, ...);

// Settings beyond what the agent itself uses: tools, tests and benchmarks
// call these after initialize_log() to see more of the log, or to add sinks.
void log_set_level(uint32_t level);  // most verbose level formatted and queued
uint32_t log_get_level();
void log_set_targets(uint32_t log_to);  // sinks stamped on each new line
uint32_t log_get_targets();
void log_set_mask(uint32_t mask);            // enabled categories
void log_set_show_time(bool show);           // the local time in front of each line
void log_set_show_function_name(bool show);  // the caller's name in each line

// Receives every line exactly as it is handed to OutputDebugStringA, on the
// thread that writes it (the writer thread while the logger runs). Pass null to
// remove. Log calls made from inside the observer are dropped. Once this
// returns, the previous observer is no longer running.
using log_line_observer = void (*)(void* context, const char* line);
void log_set_debug_observer(log_line_observer observer, void* context);

// Switches the log file on while the logger runs: the first file is opened at
// path (an existing file there is rotated away first) and log_to_file is added
// to the sinks. The file is closed by finalize_log(). False when no logger runs
// or the file cannot be opened.
bool log_open_file(const wchar_t* path);
