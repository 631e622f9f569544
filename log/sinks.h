// The sinks a line goes to besides the log file: the process's console,
// coloured by level (error red, warning and info green, debug as it was), and
// the debugger (OutputDebugStringA), with an optional observer that sees every
// line exactly as the debugger gets it (for tools and tests).
#pragma once

#include <cstdint>

#include "log/log.h"

// Writes text (without its NUL) with WriteConsoleA; silent without a console.
void console_write(uint32_t level, const char* text);

void debug_write(const char* text);
