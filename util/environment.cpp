// Expansion of environment references through ExpandEnvironmentStringsW.
#include "util/environment.h"

#include <windows.h>

#include <vector>

#include "log/log.h"

bool get_environment_value(const wchar_t* src, std::wstring& value) {
    if (src == nullptr) {
        return false;
    }
    const DWORD needed = ExpandEnvironmentStringsW(src, nullptr, 0);
    if (needed == 0) {
        log_write_fmt(log_category_general, log_level_error, "get_environment_value",
                      "ExpandEnvironmentStrings( %ws ) failed. gle = %u", src, GetLastError());
        return false;
    }
    std::vector<wchar_t> buffer;
    DWORD size = needed;
    for (;;) {
        try {
            buffer.assign(size, L'\0');
        } catch (const std::bad_alloc&) {
            log_write_fmt(log_category_general, log_level_error, "get_environment_value", "malloc() failed.");
            return false;
        }
        const DWORD written = ExpandEnvironmentStringsW(src, buffer.data(), size);
        if (written == 0) {
            log_write_fmt(log_category_general, log_level_error, "get_environment_value",
                          "ExpandEnvironmentStrings( %ws ) failed. gle = %u", src, GetLastError());
            return false;
        }
        if (written <= size) {
            break;
        }
        // The environment grew between the calls: expand again with the new size.
        size = written;
    }
    buffer.back() = L'\0';
    value = buffer.data();
    return true;
}
