// Formatting of log lines with bounded appends.
#include "log/log_line.h"

#include <windows.h>

#include <strsafe.h>

#include <cstring>

#include "log/log.h"
#include "base/time_format.h"

namespace {
// Appends to a line buffer, keeping the line terminated and its length at
// hand. A piece that does not fit is cut at the end of the buffer; later
// pieces then add nothing.
class line_buffer {
public:
    explicit line_buffer(char (&line)[kLogLineBytes]) : _line(line) { _line[0] = '\0'; }

    size_t length() const { return _length; }

    HRESULT vappend(const char* format, va_list args) {
        const size_t used = _length;
        va_list again;
        va_copy(again, args);
        HRESULT hr = StringCchVPrintfA(_line + used, kLogLineBytes - used, format, args);
        if (FAILED(hr)) {
            // A failed conversion can leave a part of its output without a
            // terminator; on a zero-filled tail that part is exactly what
            // strnlen() finds, so the same bytes are made again on one.
            memset(_line + used, 0, kLogLineBytes - used);
            hr = StringCchVPrintfA(_line + used, kLogLineBytes - used, format, again);
        }
        va_end(again);
        _length = used + strnlen(_line + used, kLogLineBytes - 1 - used);
        return hr;
    }

    HRESULT append(const char* format, ...) {
        va_list args;
        va_start(args, format);
        const HRESULT hr = vappend(format, args);
        va_end(args);
        return hr;
    }

    // Appends text as it stands: the printf family costs several times more
    // for text without conversions.
    void append_text(const char* text) {
        const size_t room = kLogLineBytes - 1 - _length;
        const size_t count = strnlen(text, room);
        memcpy(_line + _length, text, count);
        _length += count;
        _line[_length] = '\0';
    }

    // Appends "(%5lu:%5lu) : " (each number right-aligned in five columns),
    // built by hand because it is part of every line.
    void append_ids(unsigned long process_id, unsigned long thread_id) {
        char field[32] = "(";
        size_t n = 1;
        for (int i = 0; i < 2; ++i) {
            char digits[16];
            size_t count = 0;
            for (unsigned long value = i == 0 ? process_id : thread_id; count == 0 || value != 0; value /= 10) {
                digits[count++] = static_cast<char>('0' + value % 10);
            }
            for (size_t pad = count; pad < 5; ++pad) {
                field[n++] = ' ';
            }
            while (count != 0) {
                field[n++] = digits[--count];
            }
            field[n++] = i == 0 ? ':' : ')';
        }
        memcpy(field + n, " : ", 4);
        append_text(field);
    }

    // Drops everything from position onwards.
    void cut(size_t position) {
        _line[position] = '\0';
        _length = position;
    }

private:
    char (&_line)[kLogLineBytes];
    size_t _length = 0;
};

// The tag of a level ("[EROR] " ...), or null above log_level_debug.
const char* log_level_tag(uint32_t level) {
    static const char* const tags[] = {"[EROR] ", "[WARN] ", "[INFO] ", "[DEBG] "};
    return level <= log_level_debug ? tags[level] : nullptr;
}
}  // namespace


bool format_log_line(char (&line)[kLogLineBytes], const log_line_options& options, uint32_t level,
                     const char* function, const char* format, va_list args, size_t* length) {
    const char* tag = log_level_tag(level);
    line_buffer buffer(line);
    if (tag == nullptr || format == nullptr) {
        return false;
    }
    if (options.show_time) {
        SYSTEMTIME now;
        GetSystemTime(&now);
        char time_text[32];
        format_system_time(&now, true, false, time_text);  // the logger cannot log its own failure
        buffer.append("%s ", time_text);
    }
    buffer.append_text(tag);
    buffer.append_text(options.module_file != nullptr ? options.module_file : "");
    buffer.append_ids(GetCurrentProcessId(), GetCurrentThreadId());
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
    if (FAILED(hr) && buffer.length() < kLogLineBytes - 1) {
        buffer.cut(message_start);
        buffer.append_text("invalid function call parameters");
    }
    buffer.append_text("\n");
    if (length != nullptr) {
        *length = buffer.length();
    }
    return true;
}
