// File existence and appending formatted text to an open file.
#pragma once

#include <windows.h>

bool is_file_exists(const wchar_t* path);

// Appends printf-formatted narrow text (at most 5,119 characters) at the end of
// file; writes nothing when the text does not fit.
bool write_to_file(HANDLE file, const char* format, ...);
