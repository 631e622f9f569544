// The agent's process-wide asynchronous log. log_write_fmt() formats the line
// in the calling thread; while the logger runs, a writer thread hands it to
// the sinks, and before initialize_log() and after finalize_log() the caller
// writes it itself.
#pragma once

#include <cstdint>

enum : uint32_t { log_category_general = 1 };
enum : uint32_t { log_level_error = 0, log_level_warn = 1, log_level_info = 2, log_level_debug = 3 };
// Sink bits of a line.
enum : uint32_t {
    log_to_file = 1,
    log_to_ods = 2,  // OutputDebugStringA
    log_to_con = 4,  // the process console, coloured by level
    log_to_evt = 8,  // the Application event log, source "Talvern" (errors and warnings)
};

// Sets the agent's settings (all categories, warnings and errors, debugger
// only) and starts the writer. A second call keeps the running logger.
bool initialize_log();
// Writes every queued line, stops the writer and closes the log file.
void finalize_log();
// The log call. "%s" takes narrow text, "%ws" wide text; the logger adds "\n".
void log_write_fmt(uint32_t category, uint32_t level, const char* function, const char* format, ...);

// Settings for policy, tools, tests and benchmarks, after initialize_log().
void log_set_level(uint32_t level);  // most verbose level formatted and queued
uint32_t log_get_level();
void log_set_targets(uint32_t log_to);  // sinks stamped on each new line
uint32_t log_get_targets();
void log_set_mask(uint32_t mask);  // enabled categories
void log_set_show_time(bool show);
void log_set_show_function_name(bool show);
// Sees every line as OutputDebugStringA gets it, on the thread that writes it;
// null removes it. Log calls made from inside it are dropped. Once this
// returns, the previous observer no longer runs.
using log_line_observer = void (*)(void* context, const char* line);
void log_set_debug_observer(log_line_observer observer, void* context);
// Opens the log file at path (a file already there is rotated away) and adds
// log_to_file to the sinks; finalize_log() closes it. False when no logger
// runs or the file cannot be opened.
bool log_open_file(const wchar_t* path);
