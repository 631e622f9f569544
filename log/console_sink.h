// The console sink: writes a line to the process's standard output console,
// coloured by level (error red, warning and info green, debug as it was).
#pragma once

#include <cstdint>

// Writes text (without its NUL) with WriteConsoleA; silent without a console.
void console_write(uint32_t level, const char* text);
