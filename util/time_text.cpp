// Text of a SYSTEMTIME, its failure logged.
#include "util/time_text.h"

#include "log/log.h"
#include "base/time_format.h"

std::string sys_time_to_str(const SYSTEMTIME* time, bool localize, bool with_milliseconds) {
    char text[32];
    const HRESULT hr = format_system_time(time, localize, with_milliseconds, text);
    if (FAILED(hr)) {
        log_write_fmt(log_category_general, log_level_error, "sys_time_to_str", "Can't make time string. hr=%u",
                      static_cast<unsigned>(hr));
    }
    return text;
}
