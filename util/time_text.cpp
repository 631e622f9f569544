// Text of a SYSTEMTIME for log lines and records.
#include "util/time_text.h"

#include <strsafe.h>

#include "log/log.h"

std::string sys_time_to_str(const SYSTEMTIME* time, bool localize, bool with_milliseconds) {
    static const char fallback[] = "1601-01-01 00:00:000";
    if (time == nullptr) {
        log_write_fmt(log_category_general, log_level_error, "sys_time_to_str", "Can't make time string. hr=%u",
                      static_cast<unsigned>(STRSAFE_E_INVALID_PARAMETER));
        return fallback;
    }
    SYSTEMTIME shown = *time;
    if (localize) {
        SYSTEMTIME local;
        // An out-of-range time cannot be converted; it is then shown as given.
        if (SystemTimeToTzSpecificLocalTime(nullptr, time, &local)) {
            shown = local;
        }
    }
    char text[32] = {};
    HRESULT hr;
    if (with_milliseconds) {
        hr = StringCchPrintfA(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u %u", shown.wYear, shown.wMonth,
                              shown.wDay, shown.wHour, shown.wMinute, shown.wSecond, shown.wMilliseconds);
    } else {
        hr = StringCchPrintfA(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", shown.wYear, shown.wMonth,
                              shown.wDay, shown.wHour, shown.wMinute, shown.wSecond);
    }
    if (FAILED(hr)) {
        log_write_fmt(log_category_general, log_level_error, "sys_time_to_str", "Can't make time string. hr=%u",
                      static_cast<unsigned>(hr));
        return fallback;
    }
    return text;
}
