// Wide-to-ANSI conversion with its failure logged.
#include "util/strings.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "log/log.h"

char* WcsToMbs(const wchar_t* wcs) {
    if (wcs == nullptr || wcs[0] == L'\0') {
        return nullptr;
    }
    std::string ansi;
    if (!wcs_to_ansi(wcs, ansi)) {
        const DWORD error = GetLastError();
        if (error != ERROR_NOT_ENOUGH_MEMORY) {
            log_write_fmt(log_category_general, log_level_error, "WcsToMbs",
                          "WideCharToMultiByte() failed, errcode=0x%08x", error);
        }
        return nullptr;
    }
    char* mbs = static_cast<char*>(malloc(ansi.size() + 1));
    if (mbs != nullptr) {
        memcpy(mbs, ansi.c_str(), ansi.size() + 1);
    }
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
