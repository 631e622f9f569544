// Building one log line: "[TAG] " + module file + "( pid: tid) : " + message +
// "\n", optionally with the local time and the caller's name, cut to fit the
// 2,048-byte line buffer (terminator included).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

constexpr size_t kLogLineBytes = 2048;

struct log_line_options {
    bool show_time = false;
    bool show_function_name = false;
    // The executable's file name in the ANSI code page; null leaves the field empty.
    const char* module_file = nullptr;
};

// Formats the line into line (kLogLineBytes, always terminated), and its
// length (strlen) into *length when that is given. False, with nothing to
// write, when level has no tag.
bool format_log_line(char (&line)[kLogLineBytes], const log_line_options& options, uint32_t level,
                     const char* function, const char* format, va_list args, size_t* length = nullptr);

// The logger's warning that count lines were dropped because its queue was
// full, formatted as a warning of the log call with the current settings.
bool format_dropped_note(char (&line)[kLogLineBytes], uint64_t count, size_t* length);
