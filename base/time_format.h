// Text of a SYSTEMTIME without logging (the logger stamps its lines with it):
// "YYYY-MM-DD hh:mm:ss", optionally with " <ms>".
#pragma once

#include <windows.h>

// Writes the text of time (local time when localize is set and the time can be
// converted, else as given) into text. On failure (STRSAFE_E_INVALID_PARAMETER
// for a null time, else the formatting call's) text is "1601-01-01 00:00:000".
HRESULT format_system_time(const SYSTEMTIME* time, bool localize, bool with_milliseconds, char (&text)[32]);
