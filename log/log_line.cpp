// Formatting of log lines with bounded appends: a piece that does not fit is
// cut at the end of the buffer, and later pieces then add nothing.
#include "log/log_line.h"

#include <windows.h>

#include <strsafe.h>

#include <cstring>

#include "log/log.h"
#include "base/time_format.h"

namespace {
// Appends text as it stands: the printf family costs several times more.
void append(char (&line)[kLogLineBytes], size_t& length, const char* text) {
    const size_t count = strnlen(text, kLogLineBytes - 1 - length);
    memcpy(line + length, text, count);
    length += count;
    line[length] = '\0';
}

// Appends "(%5lu:%5lu) : ", built by hand from its end: it is in every line.
void append_ids(char (&line)[kLogLineBytes], size_t& length, unsigned long process_id, unsigned long thread_id) {
    char field[48];
    char* first = field + sizeof(field) - 1;
    *first = '\0';
    const unsigned long ids[] = {thread_id, process_id};
    const char* const after[] = {") : ", ":"};
    for (int i = 0; i < 2; ++i) {
        first -= strlen(after[i]);
        memcpy(first, after[i], strlen(after[i]));
        char* const end = first;
        unsigned long value = ids[i];
        do {
            *--first = static_cast<char>('0' + value % 10);
        } while ((value /= 10) != 0);
        while (end - first < 5) {
            *--first = ' ';
        }
    }
    *--first = '(';
    append(line, length, first);
}

HRESULT append_message(char (&line)[kLogLineBytes], size_t& length, const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    HRESULT hr = StringCchVPrintfA(line + length, kLogLineBytes - length, format, args);
    if (FAILED(hr)) {
        // A failed conversion can leave part of its output unterminated; on a
        // zero-filled tail that part is exactly what strnlen() finds.
        memset(line + length, 0, kLogLineBytes - length);
        hr = StringCchVPrintfA(line + length, kLogLineBytes - length, format, again);
    }
    va_end(again);
    length += strnlen(line + length, kLogLineBytes - 1 - length);
    return hr;
}
}  // namespace

bool format_log_line(char (&line)[kLogLineBytes], const log_line_options& options, uint32_t level,
                     const char* function, const char* format, va_list args, size_t* length) {
    static const char* const tags[] = {"[EROR] ", "[WARN] ", "[INFO] ", "[DEBG] "};
    size_t used = 0;
    line[0] = '\0';
    if (level > log_level_debug || format == nullptr) {
        return false;
    }
    if (options.show_time) {
        SYSTEMTIME now;
        GetSystemTime(&now);
        char time_text[32];
        format_system_time(&now, true, false, time_text);  // the logger cannot log its own failure
        append(line, used, time_text);
        append(line, used, " ");
    }
    append(line, used, tags[level]);
    append(line, used, options.module_file != nullptr ? options.module_file : "");
    append_ids(line, used, GetCurrentProcessId(), GetCurrentThreadId());
    if (options.show_function_name) {
        append(line, used, function != nullptr ? function : "");
        append(line, used, " : ");
    }
    // A message cut at the end of the buffer stays as far as it fits; one that
    // could not be formatted at all is replaced.
    const size_t message_start = used;
    if (FAILED(append_message(line, used, format, args)) && used < kLogLineBytes - 1) {
        used = message_start;
        line[used] = '\0';
        append(line, used, "invalid function call parameters");
    }
    append(line, used, "\n");
    if (length != nullptr) {
        *length = used;
    }
    return true;
}
