// Read-only registry helpers.
#include "util/registry.h"

#include <cwchar>
#include <vector>

namespace {
constexpr DWORD kFirstReadBytes = 1024;
}  // namespace

registry_key RUOpenKey(HKEY root, const wchar_t* sub_key) {
    registry_key key;
    if (RegOpenKeyExW(root, sub_key, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        key.release();  // nothing was opened: the call's output is not a key
    }
    return key;
}

bool RUReadString(HKEY key, const wchar_t* value_name, std::wstring& value) {
    if (key == nullptr || value_name == nullptr) {
        return false;
    }
    std::vector<BYTE> buffer;
    DWORD size = kFirstReadBytes;
    LSTATUS status;
    for (;;) {
        try {
            buffer.assign(size, 0);
        } catch (const std::bad_alloc&) {
            return false;
        }
        DWORD got = size;
        status = RegQueryValueExW(key, value_name, nullptr, nullptr, buffer.data(), &got);
        if (status == ERROR_MORE_DATA) {
            if (got > MAXDWORD / 2) {
                return false;
            }
            size = got * 2;  // the reported size, with room for a terminator
            continue;
        }
        if (status != ERROR_SUCCESS) {
            return false;
        }
        size = got < size ? got : size;  // never more than the buffer holds
        break;
    }
    // The data need not end in a zero: never read past what the call returned.
    const wchar_t* text = reinterpret_cast<const wchar_t*>(buffer.data());
    const size_t max_chars = size / sizeof(wchar_t);
    value.assign(text, wcsnlen(text, max_chars));
    return true;
}
