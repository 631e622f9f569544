// Paths, scratch folders, file reads and waits shared by the tests.
#include "tests/support/test_env.h"

#include <atomic>

std::wstring test_exe_dir() {
    wchar_t path[MAX_PATH] = {};
    const std::wstring dir(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return dir.substr(0, dir.find_last_of(L'\\'));
}

bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms) {
    const ULONGLONG end = GetTickCount64() + timeout_ms;
    while (!condition()) {
        if (GetTickCount64() >= end) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

std::string read_file(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "<missing>";
    }
    std::string text;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        text.append(chunk, got);
    }
    CloseHandle(file);
    return text;
}

temp_dir::temp_dir() {
    static std::atomic<int> serial{0};
    wchar_t base[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, base);
    _path = std::wstring(base) + L"talvern_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(++serial);
    CreateDirectoryW(_path.c_str(), nullptr);
}

temp_dir::~temp_dir() {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((_path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..") {
                DeleteFileW(file(name).c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(_path.c_str());
}
