// Formatting of log lines with bounded appends.
#include "log/log_line.h"

#include <windows.h>

#include <strsafe.h>

#include <cstring>
#include <string>

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

    // Appends text as it stands, cut like vappend() when it does not fit. The
    // printf family costs several times more for text without conversions.
    void append_text(const char* text) { append_bytes(text, strnlen(text, kLogLineBytes - 1 - _length)); }

    // Appends the count bytes at text (none of them NUL), cut like append_text().
    void append_bytes(const char* text, size_t count) {
        const size_t room = kLogLineBytes - 1 - _length;
        const size_t copied = count < room ? count : room;
        memcpy(_line + _length, text, copied);
        _length += copied;
        _line[_length] = '\0';
    }

    // Appends wide text as "%ws" would. Plain ASCII is copied unit by unit,
    // which gives the same bytes; anything else goes through the converter.
    void append_wide(const wchar_t* text) {
        size_t n = 0;
        for (; text[n] != L'\0'; ++n) {
            if (n == kLogLineBytes - 1 || static_cast<unsigned>(text[n]) >= 0x80) {
                append("%ws", text);
                return;
            }
        }
        const size_t room = kLogLineBytes - 1 - _length;
        const size_t copied = n < room ? n : room;
        for (size_t i = 0; i < copied; ++i) {
            _line[_length + i] = static_cast<char>(text[i]);
        }
        _length += copied;
        _line[_length] = '\0';
    }

    // Appends "(%+5u:%+5u) : " (each number right-aligned in five columns, no
    // sign), built by hand because it is part of every line.
    void append_ids(unsigned long process_id, unsigned long thread_id) {
        char field[32];
        size_t n = 0;
        field[n++] = '(';
        n += right_aligned(field + n, process_id);
        field[n++] = ':';
        n += right_aligned(field + n, thread_id);
        memcpy(field + n, ") : ", 4);
        append_bytes(field, n + 4);
    }

    // Drops everything from position onwards.
    void cut(size_t position) {
        _line[position] = '\0';
        _length = position;
    }

private:
    // Writes value in decimal, padded with blanks on the left to five
    // columns; returns the characters written (no terminator).
    static size_t right_aligned(char* out, unsigned long value) {
        char digits[16];
        size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        size_t n = 0;
        for (size_t pad = count; pad < 5; ++pad) {
            out[n++] = ' ';
        }
        while (count != 0) {
            out[n++] = digits[--count];
        }
        return n;
    }

    char (&_line)[kLogLineBytes];
    size_t _length = 0;
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

bool format_log_line(char (&line)[kLogLineBytes], const log_line_options& options, uint32_t level,
                     const char* function, const char* format, va_list args, size_t* length) {
    const char* tag = log_level_tag(level);
    constexpr size_t kTagBytes = 7;  // "[EROR] " and its kin
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
    buffer.append_bytes(tag, kTagBytes);

    if (options.module_file != nullptr) {
        buffer.append_wide(options.module_file);
    }
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
    buffer.append_bytes("\n", 1);
    if (length != nullptr) {
        *length = buffer.length();
    }
    return true;
}
