// The log file sink: appending, the 60,000-line rotation to a time-stamped
// name, the marker line, and the failure paths of rotation.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/log_settings.h"
#include "tests/log/log_test_support.h"
#include "tests/support/log_capture.h"

using logtest::line;

namespace {
const char rotate_failed[] = "rotate_log_file() failed.";
constexpr int rotation_lines = 60000;

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class LogFile : public testing::Test {
protected:
    void SetUp() override {
        logtest::reset_logger();
        wchar_t base[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, base);
        static int serial = 0;
        _dir = std::wstring(base) + L"talvern_log_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
               std::to_wstring(++serial);
        ASSERT_TRUE(CreateDirectoryW(_dir.c_str(), nullptr));
    }
    void TearDown() override {
        logtest::reset_logger();
        for (const auto& name : files()) {
            const std::wstring path = _dir + L"\\" + std::wstring(name.begin(), name.end());
            if (!DeleteFileW(path.c_str())) {
                RemoveDirectoryW(path.c_str());
            }
        }
        RemoveDirectoryW(_dir.c_str());
    }

    std::wstring path_of(const std::wstring& name) const { return _dir + L"\\" + name; }

    // Names in the folder, sorted.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((_dir + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name != L"." && name != L"..") {
                    names.push_back(narrow(name));
                }
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string contents(const std::string& name) const {
        const std::wstring path = path_of(std::wstring(name.begin(), name.end()));
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return "<missing>";
        }
        std::string text;
        static char chunk[1 << 16];
        DWORD got = 0;
        while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
            text.append(chunk, got);
        }
        CloseHandle(file);
        return text;
    }

    void write_file(const std::wstring& name, const std::string& text) {
        HANDLE file = CreateFileW(path_of(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }

    // Logs count lines "<prefix> <i>" at error level.
    static void log_lines(const char* prefix, int count) {
        for (int i = 0; i < count; ++i) {
            log_write_fmt(log_category_general, log_level_error, "f", "%s %d", prefix, i);
        }
    }

    // The lines log_lines() writes, as one text.
    static std::string lines_text(const char* prefix, int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += line("[EROR] ", std::string(prefix) + " " + std::to_string(i));
        }
        return text;
    }

    // Waits until the writer has handled every line logged so far: the
    // sentinel goes to the debugger only, after them. (Lines still queued at
    // finalize_log are drained without a rotation check.)
    static void wait_for_writer(LogCapture& capture) {
        static int serial = 0;
        const uint32_t targets = log_get_targets();
        log_set_targets(log_to_ods);
        const std::string text = "sentinel " + std::to_string(++serial);
        log_write_fmt(log_category_general, log_level_error, "f", "%s", text.c_str());
        log_set_targets(targets);
        ASSERT_TRUE(capture.wait_for("[EROR] " + text, 60000));
    }

    // "YYYY-MM-DD_hh-mm-ss" of the local time seconds from now.
    static std::string stamp_in(int seconds) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        FILETIME ft;
        SystemTimeToFileTime(&now, &ft);
        ULARGE_INTEGER t;
        t.LowPart = ft.dwLowDateTime;
        t.HighPart = ft.dwHighDateTime;
        t.QuadPart += static_cast<ULONGLONG>(static_cast<LONGLONG>(seconds) * 10000000LL);
        ft.dwLowDateTime = t.LowPart;
        ft.dwHighDateTime = t.HighPart;
        SYSTEMTIME then;
        FileTimeToSystemTime(&ft, &then);
        char text[32];
        snprintf(text, sizeof(text), "%04u-%02u-%02u_%02u-%02u-%02u", then.wYear, then.wMonth, then.wDay, then.wHour,
                 then.wMinute, then.wSecond);
        return text;
    }

    std::wstring _dir;
};

const std::regex stamped_log(R"(agent\.(\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d)\.log)");
}  // namespace

TEST_F(LogFile, The60001stLineStartsANewFile) {
    LogCapture capture(log_level_warn);
    ASSERT_TRUE(log_open_file(path_of(L"agent.log").c_str()));
    EXPECT_EQ(static_cast<uint32_t>(log_to_file | log_to_ods), log_get_targets());
    log_set_targets(log_to_file);
    const std::string before = stamp_in(0);
    log_lines("line", rotation_lines);
    log_write_fmt(log_category_general, log_level_error, "f", "first of the new file");
    const std::string last_line = line("[EROR] ", "first of the new file");
    wait_for_writer(capture);
    finalize_log();
    const std::string after = stamp_in(0);

    const auto names = files();
    ASSERT_EQ(2u, names.size());
    EXPECT_EQ("agent.log", names[1]);
    std::smatch stamp;
    ASSERT_TRUE(std::regex_match(names[0], stamp, stamped_log)) << names[0];
    EXPECT_LE(before, stamp[1].str());
    EXPECT_GE(after, stamp[1].str());

    EXPECT_EQ(last_line, contents("agent.log"));
    // The old file: all 60,000 lines, then the marker with the stamped name
    // (time stamp and extension) and no newline.
    const std::string rotated = contents(names[0]);
    const std::string expected = lines_text("line", rotation_lines) + "> log ratating. " + names[0].substr(6);
    EXPECT_EQ(expected.size(), rotated.size());
    EXPECT_TRUE(expected == rotated);
    EXPECT_EQ(0u, capture.count(rotate_failed));
}

TEST_F(LogFile, StartingTheSinkMovesAnExistingFileAway) {
    write_file(L"agent.log", "from the last run\n");
    LogCapture capture(log_level_warn);
    ASSERT_TRUE(log_open_file(path_of(L"agent.log").c_str()));
    EXPECT_EQ("", contents("agent.log"));
    auto names = files();
    ASSERT_EQ(2u, names.size());
    ASSERT_TRUE(std::regex_match(names[0], stamped_log)) << names[0];
    // No file of this logger was open: the old one gets no marker.
    EXPECT_EQ("from the last run\n", contents(names[0]));

    log_write_fmt(log_category_general, log_level_error, "f", "new run");
    const std::string expected = line("[EROR] ", "new run");
    finalize_log();
    EXPECT_EQ(expected, contents("agent.log"));
}

TEST_F(LogFile, LinesQueuedAtFinalizeAreAppended) {
    LogCapture capture(log_level_warn);
    ASSERT_TRUE(log_open_file(path_of(L"agent.log").c_str()));
    log_lines("drain", 500);
    finalize_log();
    EXPECT_EQ(lines_text("drain", 500), contents("agent.log"));
    // The handle is closed by finalize_log: the file can be deleted.
    EXPECT_TRUE(DeleteFileW(path_of(L"agent.log").c_str()));
}

TEST_F(LogFile, SinkWithoutAFileSkipsLines) {
    LogCapture capture(log_level_warn);
    EXPECT_FALSE(log_open_file(path_of(L"missing\\agent.log").c_str()));
    EXPECT_FALSE(log_open_file(nullptr));
    EXPECT_FALSE(log_open_file(L""));
    EXPECT_EQ(static_cast<uint32_t>(log_to_ods), log_get_targets());
    log_set_targets(log_to_file | log_to_ods);
    log_write_fmt(log_category_general, log_level_error, "f", "debugger only");
    finalize_log();
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(1u, capture.count("[EROR] debugger only"));
    EXPECT_EQ(0u, capture.count(rotate_failed));

    // Without a running logger there is no file sink to start.
    EXPECT_FALSE(log_open_file(path_of(L"agent.log").c_str()));
    EXPECT_TRUE(files().empty());
}

TEST_F(LogFile, MoveOntoAnExistingNameLeavesNoFileAndEveryLineRetries) {
    // Every name the rotation could pick in the next two minutes is taken.
    std::vector<std::wstring> blockers;
    for (int s = -1; s <= 120; ++s) {
        const std::string name = "agent." + stamp_in(s) + ".log";
        blockers.push_back(std::wstring(name.begin(), name.end()));
        write_file(blockers.back(), "blocker");
    }
    bool console_checked = false;
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    if (logtest::have_console) {
        DWORD done = 0;
        FillConsoleOutputCharacterA(console, ' ', 80 * 10, COORD{0, 0}, &done);
        SetConsoleCursorPosition(console, COORD{0, 0});
        console_checked = true;
    }

    LogCapture capture(log_level_warn);
    ASSERT_TRUE(log_open_file(path_of(L"agent.log").c_str()));
    log_set_targets(log_to_file);
    log_lines("line", rotation_lines);
    log_lines("lost", 3);
    ASSERT_TRUE(capture.wait_for(rotate_failed, 60000, 3));
    // Each failed line tried again; none of them reached a file.
    EXPECT_EQ(3u, capture.count(rotate_failed));
    const std::string old_text = contents("agent.log");
    const std::string marker = "> log ratating. ";
    ASSERT_GT(old_text.size(), marker.size());
    const size_t at = old_text.rfind(marker);
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(lines_text("line", rotation_lines), old_text.substr(0, at));
    EXPECT_TRUE(std::regex_match("agent." + old_text.substr(at + marker.size()), stamped_log));
    EXPECT_EQ(std::string::npos, old_text.find("lost"));
    // The old file was closed before the move: it can be deleted now.
    EXPECT_EQ(blockers.size() + 1, files().size());

    if (console_checked) {
        char text[80] = {};
        WORD attributes[75] = {};
        DWORD read = 0;
        ReadConsoleOutputCharacterA(console, text, 75, COORD{0, 0}, &read);
        ReadConsoleOutputAttribute(console, attributes, 75, COORD{0, 0}, &read);
        EXPECT_EQ(std::string(rotate_failed) + rotate_failed + rotate_failed, std::string(text, 75));
        EXPECT_EQ(std::vector<WORD>(75, 12), std::vector<WORD>(attributes, attributes + 75));
    }

    // Once the names are free again, the next line rotates and opens a file.
    for (const auto& name : blockers) {
        DeleteFileW(path_of(name).c_str());
    }
    log_write_fmt(log_category_general, log_level_error, "f", "recovered");
    const std::string recovered = line("[EROR] ", "recovered");
    wait_for_writer(capture);
    finalize_log();
    EXPECT_EQ(3u, capture.count(rotate_failed));
    const auto names = files();
    ASSERT_EQ(2u, names.size());
    EXPECT_EQ(recovered, contents("agent.log"));
    EXPECT_EQ(old_text, contents(names[0]));
}

TEST_F(LogFile, StampedNameOver63CharactersKeepsTheOldFileInUse) {
    // 19 characters of time stamp, a dot and the extension: 43 fit, 44 do not.
    const std::wstring too_long = L"agent." + std::wstring(44, L'x');
    LogCapture capture(log_level_warn);
    ASSERT_TRUE(log_open_file(path_of(too_long).c_str()));
    log_set_targets(log_to_file);
    log_lines("line", rotation_lines);
    log_lines("kept", 2);
    ASSERT_TRUE(capture.wait_for(rotate_failed, 60000, 2));
    finalize_log();
    EXPECT_EQ(2u, capture.count(rotate_failed));
    ASSERT_EQ(1u, files().size());
    EXPECT_TRUE(lines_text("line", rotation_lines) + lines_text("kept", 2) == contents(narrow(too_long)));
}

TEST_F(LogFile, StampedNameOf63CharactersRotates) {
    const std::wstring longest = L"agent." + std::wstring(43, L'y');
    LogCapture capture(log_level_warn);
    ASSERT_TRUE(log_open_file(path_of(longest).c_str()));
    log_set_targets(log_to_file);
    log_lines("line", rotation_lines + 1);
    wait_for_writer(capture);
    finalize_log();
    EXPECT_EQ(0u, capture.count(rotate_failed));
    const auto names = files();
    ASSERT_EQ(2u, names.size());
    EXPECT_EQ(narrow(longest), names[1]);
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(agent\.\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.y{43})"))) << names[0];
    EXPECT_EQ(line("[EROR] ", "line 60000"), contents(names[1]));
}
