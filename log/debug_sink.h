// The debugger sink: OutputDebugStringA, plus an optional observer that sees
// every line exactly as the debugger gets it (for tools and tests).
#pragma once

#include "log/log_settings.h"

void debug_write(const char* text);
