// Settings of the log beyond what the agent itself uses: tools, tests and
// benchmarks call these after initialize_log() to see more of the log, to add
// sinks, or to watch the lines the debugger sink receives.
#pragma once

#include <cstdint>

// Most verbose level that is formatted and queued (log_level_*).
void log_set_level(uint32_t level);
uint32_t log_get_level();

// Sinks stamped on each new line (log_to_* bits).
void log_set_targets(uint32_t log_to);

// Receives every line exactly as it is handed to OutputDebugStringA, on the
// thread that writes it (the writer thread while the logger runs). Pass null to
// remove. Log calls made from inside the observer are dropped. Once this
// returns, the previous observer is no longer running.
using log_line_observer = void (*)(void* context, const char* line);
void log_set_debug_observer(log_line_observer observer, void* context);

// Sinks currently stamped on new lines.
uint32_t log_get_targets();

// Enabled categories (all ones by initialize_log()).
void log_set_mask(uint32_t mask);

// Put the local time, or the caller's function name, into each line.
void log_set_show_time(bool show);
void log_set_show_function_name(bool show);

// Switches the log file on while the logger runs: the first file is opened at
// path (an existing file there is rotated away first) and log_to_file is added
// to the sinks. The file is closed by finalize_log(). False when no logger runs
// or the file cannot be opened.
bool log_open_file(const wchar_t* path);
