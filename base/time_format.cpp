// Formatting of a SYSTEMTIME, without logging.
#include "base/time_format.h"

#include <strsafe.h>

namespace {
const char kUnwrittenTime[] = "1601-01-01 00:00:000";
}  // namespace

HRESULT format_system_time(const SYSTEMTIME* time, bool localize, bool with_milliseconds, char (&text)[32]) {
    if (time == nullptr) {
        StringCchCopyA(text, sizeof(text), kUnwrittenTime);
        return STRSAFE_E_INVALID_PARAMETER;
    }
    SYSTEMTIME shown = *time;
    if (localize) {
        SYSTEMTIME local;
        // An out-of-range time cannot be converted; it is then shown as given.
        if (SystemTimeToTzSpecificLocalTime(nullptr, time, &local)) {
            shown = local;
        }
    }
    const HRESULT hr =
        with_milliseconds
            ? StringCchPrintfA(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u %u", shown.wYear, shown.wMonth,
                               shown.wDay, shown.wHour, shown.wMinute, shown.wSecond, shown.wMilliseconds)
            : StringCchPrintfA(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", shown.wYear, shown.wMonth,
                               shown.wDay, shown.wHour, shown.wMinute, shown.wSecond);
    if (FAILED(hr)) {
        StringCchCopyA(text, sizeof(text), kUnwrittenTime);
    }
    return hr;
}
