// The log file: switching it on over a file left from the last run, rotation after 60,000 lines with
// a number added to a stamped name that is taken, and the bound on the stamped name's length.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/slogger.h"
#include "tests/log/log_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "base/file_util.h"
#include "base/handles.h"

namespace {
std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string stamp(int seconds = 0) {  // the local time seconds from now, as a rotated name has it
    SYSTEMTIME t;
    FILETIME ft;
    GetLocalTime(&t);
    SystemTimeToFileTime(&t, &ft);
    const ULONGLONG at = ((ULONGLONG{ft.dwHighDateTime} << 32) | ft.dwLowDateTime) + seconds * 10000000LL;
    ft = FILETIME{static_cast<DWORD>(at), static_cast<DWORD>(at >> 32)};
    FileTimeToSystemTime(&ft, &t);
    char out[32];
    snprintf(out, sizeof out, "%04u-%02u-%02u_%02u-%02u-%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond);
    return out;
}

std::vector<std::string> names(const temp_dir& dir) {  // sorted: a rotated name before its original
    std::vector<std::string> out;
    WIN32_FIND_DATAW data;
    const find_handle find(FindFirstFileW(dir.file(L"*").c_str(), &data));
    for (BOOL more = bool(find); more; more = FindNextFileW(find.get(), &data))
        if (data.cFileName[0] != L'.') out.emplace_back(data.cFileName, data.cFileName + wcslen(data.cFileName));
    std::sort(out.begin(), out.end());
    return out;
}

// text is head + a stamp taken from before to after + tail.
testing::AssertionResult stamped(const std::string& text, const std::string& head, const std::string& tail,
                                 const std::string& before, const std::string& after) {
    const bool framed = text.size() == head.size() + 19 + tail.size() && text.rfind(head, 0) == 0 &&
                        text.compare(head.size() + 19, tail.size(), tail) == 0;
    const std::string at = framed ? text.substr(head.size(), 19) : "";
    if (before <= at && at <= after) return testing::AssertionSuccess();
    return testing::AssertionFailure() << text << " is not " << head << "<" << before << ".." << after << ">" << tail;
}
}  // namespace

TEST_F(Log, SwitchingTheFileOnMovesAnOldFileAwayFirst) {
    temp_dir dir;
    const std::wstring path = dir.file(L"agent.log");
    ASSERT_TRUE(write_to_file(file_handle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)).get(),
                              "from the last run\n"));
    EXPECT_FALSE(log_open_file(path.c_str()));  // no logger runs
    LogCapture capture(log_level_warn);
    EXPECT_FALSE(log_open_file(dir.file(L"missing\\agent.log").c_str()));
    EXPECT_FALSE(log_open_file(L""));
    EXPECT_EQ(static_cast<uint32_t>(log_to_ods), log_get_targets());
    const std::string before = stamp();
    ASSERT_TRUE(log_open_file(path.c_str()));
    const std::string after = stamp();
    EXPECT_EQ(static_cast<uint32_t>(log_to_file | log_to_ods), log_get_targets());
    say(log_level_error, "new run");
    finalize_log();  // drains the line into the file
    const auto files = names(dir);
    ASSERT_EQ(2u, files.size());
    EXPECT_TRUE(stamped(files[0], "agent.", ".log", before, after));
    EXPECT_EQ("from the last run\n", read_file(dir.file(widen(files[0])))) << "no file of the logger was open";
    EXPECT_EQ(line("[EROR] ", "new run"), read_file(path));
}

namespace {
// Takes every name a rotation of dir's agent.log could pick in the next two minutes.
std::vector<std::wstring> take_rotated_names(const temp_dir& dir) {
    std::vector<std::wstring> taken;
    for (int s = -1; s <= 120; ++s) {
        taken.push_back(dir.file(L"agent." + widen(stamp(s)) + L".log"));
        file_handle(CreateFileW(taken.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    }
    return taken;
}

// The files of dir other than agent.log and the taken names, sorted.
std::vector<std::string> rotated_names(const temp_dir& dir, const std::vector<std::wstring>& taken) {
    std::vector<std::string> out;
    for (const auto& name : names(dir)) {
        const bool was_taken = std::any_of(taken.begin(), taken.end(), [&](const std::wstring& t) {
            return t == dir.file(widen(name));
        });
        if (name != "agent.log" && !was_taken) out.push_back(name);
    }
    return out;
}
}  // namespace

TEST_F(Log, RotationAfter60000LinesNumbersARotatedNameThatIsTaken) {
    temp_dir dir;
    const std::wstring path = dir.file(L"agent.log");
    LogCapture capture(log_level_warn);
    ASSERT_TRUE(log_open_file(path.c_str()));
    const std::string before = stamp();
    const auto taken = take_rotated_names(dir);
    log_set_targets(log_to_file);
    std::string lines;
    for (int i = 0; i < 60000; ++i) {
        log_write_fmt(log_category_general, log_level_error, "f", "line %d", i);
        lines += line("[EROR] ", "line " + std::to_string(i));
    }
    say(log_level_error, "first of the next file");
    say(log_level_error, "next");
    log_set_targets(log_to_ods);
    capture.flush();  // the writer has taken every line: the drain at finalize_log() does not rotate
    const std::string after = stamp();
    finalize_log();
    EXPECT_EQ(std::vector<std::string>{}, capture.messages()) << "no rotation failed";
    EXPECT_EQ(line("[EROR] ", "first of the next file") + line("[EROR] ", "next"), read_file(path));
    const auto rotated = rotated_names(dir, taken);
    ASSERT_EQ(1u, rotated.size());
    EXPECT_TRUE(stamped(rotated[0], "agent.", "-1.log", before, after));
    // The old file: 60,000 lines, then the marker naming the numbered file, without "\n".
    const std::string old_text = read_file(dir.file(widen(rotated[0])));
    ASSERT_TRUE(old_text.size() > lines.size() && old_text.compare(0, lines.size(), lines) == 0);
    EXPECT_EQ("> log ratating. " + rotated[0].substr(6), old_text.substr(lines.size()));
}

TEST(LogFileRotation, TwoRotationsWithinOneSecondLoseNothing) {
    temp_dir dir;
    const std::wstring path = dir.file(L"agent.log");
    slogger logger;
    ASSERT_TRUE(logger.rotate_log_file(path.c_str()));  // nothing there yet: opens a new file
    const std::string before = stamp();
    const auto taken = take_rotated_names(dir);  // the stamp of both rotations is taken
    ASSERT_TRUE(logger.rotate_log_file(path.c_str()));
    ASSERT_TRUE(logger.rotate_log_file(path.c_str()));
    const std::string after = stamp();
    ASSERT_TRUE(logger.slog_start());
    logger.push_line(log_level_error, log_to_file, "kept\n", 5);
    logger.slog_stop();
    EXPECT_EQ("kept\n", read_file(path));
    const auto rotated = rotated_names(dir, taken);
    ASSERT_EQ(2u, rotated.size());
    EXPECT_TRUE(stamped(rotated[0], "agent.", "-1.log", before, after));
    // Within the same second the next number; a second later its first.
    EXPECT_TRUE(rotated[1].substr(0, 25) == rotated[0].substr(0, 25)
                    ? stamped(rotated[1], "agent.", "-2.log", before, after)
                    : stamped(rotated[1], "agent.", "-1.log", before, after)) << rotated[1];
}

TEST(LogFileRotation, RotatedNameTakes63CharactersAtMost) {
    // 19 characters of stamp, a dot and the extension: an extension of 43 characters fits, 44 do not.
    for (size_t length : {43u, 44u}) {
        temp_dir dir;
        const std::wstring path = dir.file(L"agent." + std::wstring(length, L'x'));
        slogger logger;
        ASSERT_TRUE(logger.rotate_log_file(path.c_str()));  // nothing there yet: opens a new file
        EXPECT_EQ(length == 43, logger.rotate_log_file(path.c_str())) << length;
        EXPECT_EQ(length == 43 ? 2u : 1u, names(dir).size()) << length;
        // The file open now, new or kept, takes the next line.
        ASSERT_TRUE(logger.slog_start());
        logger.push_line(log_level_error, log_to_file, "kept\n", 5);
        logger.slog_stop();
        EXPECT_EQ("kept\n", read_file(path)) << length;
    }
}
