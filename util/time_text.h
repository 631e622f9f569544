// Text of a SYSTEMTIME for log lines and records, with a failure logged.
#pragma once

#include <windows.h>

#include <string>

// "YYYY-MM-DD hh:mm:ss", optionally with " <ms>"; "1601-01-01 00:00:000" when
// the time cannot be written (null, or a field too wide), which is logged.
std::string sys_time_to_str(const SYSTEMTIME* time, bool localize, bool with_milliseconds);
