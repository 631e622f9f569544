// The crash dumps' folder and file names, and the cap on how many are kept.
#include "app/crash_folder.h"

#include "base/handles.h"
#include "base/product_version.h"

#include <shlobj.h>

#include <cwchar>

namespace {

const wchar_t kDumpPattern[] = L"TalvernTray-*.dmp";
const wchar_t kVersion[] = L"" TALVERN_VERSION_TEXT;

// dest = a + b + c, in kCrashPathChars; false when it does not fit.
bool join(wchar_t* dest, const wchar_t* a, const wchar_t* b, const wchar_t* c = L"") {
    const int n = std::swprintf(dest, kCrashPathChars, L"%ls%ls%ls", a, b, c);
    return n > 0 && static_cast<size_t>(n) < kCrashPathChars;
}

bool older(const WIN32_FIND_DATAW& a, const WIN32_FIND_DATAW& b) {
    const LONG order = CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime);
    return order < 0 || (order == 0 && std::wcscmp(a.cFileName, b.cFileName) < 0);
}

}  // namespace

bool crash_folder_path(wchar_t* folder) {
    wchar_t local[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local))) {
        return false;
    }
    return join(folder, local, L"\\Talvern\\Crashes");
}

bool create_crash_folder(const wchar_t* folder) {
    wchar_t parent[kCrashPathChars];
    if (!join(parent, folder, L"")) {
        return false;
    }
    wchar_t* last = std::wcsrchr(parent, L'\\');
    if (last != nullptr) {
        *last = L'\0';
        CreateDirectoryW(parent, nullptr);
    }
    return CreateDirectoryW(folder, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool crash_dump_path(const wchar_t* folder, DWORD process_id, wchar_t* path) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    const int n = std::swprintf(path, kCrashPathChars, L"%ls\\TalvernTray-%ls-%04u%02u%02u-%02u%02u%02u-%lu.dmp",
                                folder, kVersion, now.wYear, now.wMonth, now.wDay, now.wHour,
                                now.wMinute, now.wSecond, static_cast<unsigned long>(process_id));
    return n > 0 && static_cast<size_t>(n) < kCrashPathChars;
}

void prune_crash_dumps(const wchar_t* folder, unsigned keep) {
    wchar_t pattern[kCrashPathChars];
    if (!join(pattern, folder, L"\\", kDumpPattern)) {
        return;
    }
    // One pass per dump too many: each finds the count and the oldest. The
    // folder holds a handful, so this costs nothing and needs no list.
    for (;;) {
        WIN32_FIND_DATAW found;
        WIN32_FIND_DATAW oldest;
        unsigned count = 0;
        find_handle search(FindFirstFileW(pattern, &found));
        if (!search) {
            return;
        }
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                if (count == 0 || older(found, oldest)) {
                    oldest = found;
                }
                ++count;
            }
        } while (FindNextFileW(search.get(), &found));
        search.reset();
        wchar_t victim[kCrashPathChars];
        if (count <= keep || !join(victim, folder, L"\\", oldest.cFileName) ||
            !DeleteFileW(victim)) {
            return;
        }
    }
}
