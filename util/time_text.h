// Text of a SYSTEMTIME: "YYYY-MM-DD hh:mm:ss", optionally with " <ms>".
#pragma once

#include <windows.h>

#include <string>

std::string sys_time_to_str(const SYSTEMTIME* time, bool localize, bool with_milliseconds);
