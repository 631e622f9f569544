// Formatting of log lines with bounded appends.
#include "log/log_line.h"

#include <windows.h>

#include <strsafe.h>

#include <cstring>
#include <string>

#include "log/log.h"
#include "util/module_path.h"
#include "util/strings.h"
#include "util/time_text.h"

namespace {
// Appends to a zero-filled line buffer. A piece that does not fit is cut at
// the end of the buffer; later pieces then add nothing.
class line_buffer {
public:
    explicit line_buffer(char (&line)[log_line_bytes]) : _line(line) { memset(_line, 0, log_line_bytes); }

    size_t length() const { return strnlen(_line, log_line_bytes - 1); }

    HRESULT vappend(const char* format, va_list args) {
        const size_t used = length();
        return StringCchVPrintfA(_line + used, log_line_bytes - used, format, args);
    }

    HRESULT append(const char* format, ...) {
        va_list args;
        va_start(args, format);
        const HRESULT hr = vappend(format, args);
        va_end(args);
        return hr;
    }

    // Drops everything from position onwards.
    void cut(size_t position) { memset(_line + position, 0, log_line_bytes - position); }

private:
    char (&_line)[log_line_bytes];
};
}  // namespace

const char* log_level_tag(uint32_t level) {
    switch (level) {
    case log_level_error:
        return "[EROR] ";
    case log_level_warn:
        return "[WARN] ";
    case log_level_info:
        return "[INFO] ";
    case log_level_debug:
        return "[DEBG] ";
    default:
        return nullptr;
    }
}

bool format_log_line(char (&line)[log_line_bytes], const log_line_options& options, uint32_t level,
                     const char* function, const char* format, va_list args) {
    const char* tag = log_level_tag(level);
    line_buffer buffer(line);
    if (tag == nullptr || format == nullptr) {
        return false;
    }
    if (options.show_time) {
        SYSTEMTIME now;
        GetSystemTime(&now);
        buffer.append("%s ", sys_time_to_str(&now, true, false).c_str());
    }
    buffer.append("%s", tag);

    // The lookup made for the log does not log its own failure: that would
    // come back here. A failed lookup leaves the field empty.
    std::wstring module_file;
    if (get_current_module_file_silent(module_file)) {
        buffer.append("%ws", module_file.c_str());
    }
    buffer.append("(%+5u:%+5u) : ", GetCurrentProcessId(), GetCurrentThreadId());
    if (options.show_function_name) {
        buffer.append("%s : ", function != nullptr ? function : "");
    }

    const size_t message_start = buffer.length();
    va_list message_args;
    va_copy(message_args, args);
    const HRESULT hr = buffer.vappend(format, message_args);
    va_end(message_args);
    // A message cut at the end of the buffer stays as far as it fits; one that
    // could not be formatted at all is replaced.
    if (FAILED(hr) && buffer.length() < log_line_bytes - 1) {
        buffer.cut(message_start);
        buffer.append("%s", "invalid function call parameters");
    }
    buffer.append("%s", "\n");
    return true;
}
