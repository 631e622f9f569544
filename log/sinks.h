// The sinks a line goes to besides the log file and the Event Log.
#pragma once

#include <cstdint>

// The process console (WriteConsoleA), errors in red, warnings and info in
// green, debug lines as they were; silent without a console.
void console_write(uint32_t level, const char* text);
// The debugger (OutputDebugStringA), then the observer of log_set_debug_observer().
void debug_write(const char* text);
