// Text helpers: ANSI conversion, list splitting, token cutting, extensions.
#include "util/strings.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <locale>
#include <new>

#include "log/log.h"

namespace {
// A list handed to split_stringw may take 2,048 bytes with its terminator.
constexpr size_t split_max_bytes = 2048;
}  // namespace

char* WcsToMbs(const wchar_t* wcs) {
    if (wcs == nullptr || wcs[0] == L'\0') {
        return nullptr;
    }
    const int size = WideCharToMultiByte(CP_ACP, 0, wcs, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return nullptr;
    }
    char* mbs = static_cast<char*>(malloc(static_cast<size_t>(size)));
    if (mbs == nullptr) {
        return nullptr;
    }
    memset(mbs, 0, static_cast<size_t>(size));
    if (WideCharToMultiByte(CP_ACP, 0, wcs, -1, mbs, size, nullptr, nullptr) == 0) {
        log_write_fmt(log_category_general, log_level_error, "WcsToMbs", "WideCharToMultiByte() failed, errcode=0x%08x",
                      GetLastError());
        free(mbs);
        return nullptr;
    }
    mbs[size - 1] = '\0';
    return mbs;
}

std::string WcsToMbsEx(const wchar_t* wcs) {
    char* mbs = WcsToMbs(wcs);
    if (mbs == nullptr) {
        return std::string();
    }
    std::string text(mbs);
    free(mbs);
    return text;
}

bool split_stringw(const wchar_t* str, std::vector<std::wstring>& tokens) {
    if (str == nullptr) {
        return false;
    }
    tokens.clear();
    const size_t chars = wcsnlen(str, split_max_bytes / sizeof(wchar_t));
    if ((chars + 1) * sizeof(wchar_t) > split_max_bytes) {
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
