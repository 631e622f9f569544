// File existence and appends of formatted text.
#include "base/file_util.h"

#include <strsafe.h>

#include <cstdarg>

namespace {
// Formatted text of one append, terminator included.
constexpr size_t kAppendBufferChars = 5120;
}  // namespace

bool is_file_exists(const wchar_t* path) {
    if (path == nullptr) {
        return false;
    }
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(path, GetFileExInfoStandard, &data) != FALSE;
}

bool write_to_file(HANDLE file, const char* format, ...) {
    if (file == nullptr || file == INVALID_HANDLE_VALUE || format == nullptr) {
        return false;
    }
    if (SetFilePointer(file, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER) {
        return false;
    }
    char text[kAppendBufferChars] = {};
    char* end = nullptr;
    va_list args;
    va_start(args, format);
    const HRESULT hr = StringCchVPrintfExA(text, kAppendBufferChars, &end, nullptr, 0, format, args);
    va_end(args);
    if (FAILED(hr) || end == nullptr) {
        return false;
    }
    const DWORD bytes = static_cast<DWORD>(end - text);
    DWORD written = 0;
    return WriteFile(file, text, bytes, &written, nullptr) != FALSE;
}
