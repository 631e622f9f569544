// Read-only registry helpers.
#include "util/registry.h"

#include "log/log.h"

#include <cwchar>
#include <vector>

namespace {
constexpr DWORD kFirstReadBytes = 1024;

const char* type_name(DWORD type) {
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_RESOURCE_LIST: return "REG_RESOURCE_LIST";
    case REG_FULL_RESOURCE_DESCRIPTOR: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case REG_RESOURCE_REQUIREMENTS_LIST: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case REG_QWORD: return "REG_QWORD";
    default: return "unknown";
    }
}
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
    DWORD type = REG_NONE;
    LSTATUS status;
    for (;;) {
        try {
            buffer.assign(size, 0);
        } catch (const std::bad_alloc&) {
            return false;
        }
        DWORD got = size;
        status = RegQueryValueExW(key, value_name, nullptr, &type, buffer.data(), &got);
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
    // Only text is read as text: a number or bytes would come out as junk.
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        log_write_fmt(log_category_general, log_level_error, "RUReadString",
                      "value %ws is of type %s (%lu), not a string; taken as missing.", value_name,
                      type_name(type), static_cast<unsigned long>(type));
        return false;
    }
    // The data need not end in a zero: never read past what the call returned.
    const wchar_t* text = reinterpret_cast<const wchar_t*>(buffer.data());
    const size_t max_chars = size / sizeof(wchar_t);
    value.assign(text, wcsnlen(text, max_chars));
    return true;
}
