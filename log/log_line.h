// One log line: [time ]tag module(  pid:  tid) : [function : ]message\n, cut
// to fit the 2,048-byte line buffer (terminator included).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

constexpr size_t kLogLineBytes = 2048;

struct log_line_options {
    bool show_time = false;
    bool show_function_name = false;
    const char* module_file = nullptr;  // the executable's name (ANSI); null: empty field
};

// Formats the line into line (always terminated) and its length into *length
// when given. False, with nothing to write, when level has no tag.
bool format_log_line(char (&line)[kLogLineBytes], const log_line_options& options, uint32_t level,
                     const char* function, const char* format, va_list args, size_t* length = nullptr);

// A warning of the logger's own, formatted as the log call would with the
// current settings.
void format_log_warning(char (&line)[kLogLineBytes], size_t* length, const char* format, ...);
