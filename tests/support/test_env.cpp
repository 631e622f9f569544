// Paths, scratch folders, file reads and waits shared by the tests.
#include "tests/support/test_env.h"

#include "base/handles.h"

#include <algorithm>
#include <atomic>
#include <filesystem>

DWORD fake_module::module_file_name(wchar_t* buffer, DWORD size) const {
    const size_t n = std::min<size_t>(path.size(), size - 1);
    path.copy(buffer, n), buffer[n] = L'\0';
    return path.size() < size ? static_cast<DWORD>(n) : size;
}

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
    const file_handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text = file ? "" : "<missing>";
    char chunk[65536];
    for (DWORD got = 0; file && ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0;) {
        text.append(chunk, got);
    }
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
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
}
