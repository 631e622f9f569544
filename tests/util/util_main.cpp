// Entry of the utility tests, and their shared helpers.
#include <windows.h>

#include <gtest/gtest.h>


#include "log/log.h"
#include "tests/support/log_capture.h"
#include "tests/util/util_test_support.h"

namespace utiltest {

std::vector<std::string> logged(const std::function<void()>& body) {
    LogCapture capture(log_level_debug);
    body();
    finalize_log();
    return capture.messages();
}

temp_dir::temp_dir() {
    wchar_t base[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, base);
    static int serial = 0;
    _path = std::wstring(base) + L"talvern_util_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
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

}  // namespace utiltest

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
