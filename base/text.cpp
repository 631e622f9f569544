// Text helpers that never log: list splitting, token cutting, file extensions,
// lower-casing and the ANSI conversion the logged converters build on.
#include "base/text.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <locale>
#include <new>

namespace {
// A list handed to split_stringw may take 2,048 bytes with its terminator.
constexpr size_t kSplitMaxBytes = 2048;
}  // namespace

bool wcs_to_ansi(const wchar_t* wcs, std::string& ansi) {
    ansi.clear();
    const int size = WideCharToMultiByte(CP_ACP, 0, wcs, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return false;
    }
    try {
        ansi.assign(static_cast<size_t>(size), '\0');
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (WideCharToMultiByte(CP_ACP, 0, wcs, -1, &ansi[0], size, nullptr, nullptr) == 0) {
        ansi.clear();
        return false;
    }
    ansi.resize(static_cast<size_t>(size) - 1);  // without the terminator
    return true;
}

std::string wide_to_utf8(const std::wstring& wide) {
    std::string utf8;
    utf8.reserve(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) {
        uint32_t code = static_cast<uint16_t>(wide[i]);
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < wide.size()) {
            const uint32_t low = static_cast<uint16_t>(wide[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;  // a surrogate without its partner
        }
        if (code < 0x80) {
            utf8 += static_cast<char>(code);
        } else if (code < 0x800) {
            utf8 += static_cast<char>(0xC0 | (code >> 6));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            utf8 += static_cast<char>(0xE0 | (code >> 12));
            utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            utf8 += static_cast<char>(0xF0 | (code >> 18));
            utf8 += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return utf8;
}

bool split_stringw(const wchar_t* str, std::vector<std::wstring>& tokens) {
    if (str == nullptr) {
        return false;
    }
    tokens.clear();
    const size_t chars = wcsnlen(str, kSplitMaxBytes / sizeof(wchar_t));
    if ((chars + 1) * sizeof(wchar_t) > kSplitMaxBytes) {
        return false;
    }
    // Empty fields give no token, as with wcstok_s over the separator ",".
    const wchar_t* field = str;
    try {
        for (const wchar_t* p = str;; ++p) {
            if (*p == L',' || *p == L'\0') {
                if (p > field) {
                    tokens.emplace_back(field, static_cast<size_t>(p - field));
                }
                if (*p == L'\0') {
                    break;
                }
                field = p + 1;
            }
        }
    } catch (const std::bad_alloc&) {
        tokens.clear();  // out of memory: a failure, not a short list
        return false;
    }
    return true;
}

bool extract_last_tokenw(const std::wstring& org_string, const std::wstring& token, std::wstring& out, bool before) {
    const size_t pos = org_string.rfind(token);
    if (pos == std::wstring::npos) {
        out = org_string;
    } else if (before) {
        out = org_string.substr(0, pos);
    } else {
        out = org_string.substr(pos + token.size());
    }
    return true;
}

std::wstring extract_last_tokenw(const wchar_t* org_string, const wchar_t* token, bool before) {
    if (org_string == nullptr || token == nullptr) {
        return std::wstring();
    }
    std::wstring out;
    extract_last_tokenw(std::wstring(org_string), std::wstring(token), out, before);
    return out;
}

bool get_file_extension(const wchar_t* path, std::wstring& extension) {
    if (path == nullptr) {
        return false;
    }
    const wchar_t* dot = wcsrchr(path, L'.');
    if (dot == nullptr) {
        return false;
    }
    std::wstring text(dot + 1);
    const size_t colon = text.find(L':');
    if (colon != std::wstring::npos) {
        text.resize(colon);
    }
    extension = text;
    return true;
}

void to_lower_string(std::wstring& str) {
    const std::locale locale;
    for (auto& c : str) {
        c = std::tolower(c, locale);
    }
}
