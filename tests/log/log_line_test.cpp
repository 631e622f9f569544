// Exact bytes of log lines as the debugger sink receives them, and which calls
// produce no line at all.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "log/log.h"
#include "log/log_settings.h"
#include "tests/log/log_test_support.h"
#include "util/module_path.h"
#include "util/module_path_seam.h"

using logtest::capture;
using logtest::line;

namespace {
class LogLine : public testing::Test {
protected:
    void SetUp() override { logtest::reset_logger(); }
    void TearDown() override { logtest::reset_logger(); }
};
}  // namespace

TEST_F(LogLine, EachLevelHasItsTagModulePidTidMessageAndNewline) {
    std::string expected[4];
    const auto lines = capture(log_level_debug, [&] {
        log_write_fmt(log_category_general, log_level_error, "Test::run", "value %d of %s", 7, "x");
        expected[0] = line("[EROR] ", "value 7 of x");
        log_write_fmt(log_category_general, log_level_warn, "Test::run", "drive %ws", L"E:");
        expected[1] = line("[WARN] ", "drive E:");
        log_write_fmt(log_category_general, log_level_info, "Test::run", "gle=%u", 5u);
        expected[2] = line("[INFO] ", "gle=5");
        log_write_fmt(log_category_general, log_level_debug, "Test::run", "trailing blank ");
        expected[3] = line("[DEBG] ", "trailing blank ");
    });
    ASSERT_EQ(4u, lines.size());
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(expected[i], lines[i]);
    }
}

TEST_F(LogLine, PidAndTidAreRightAlignedInFiveColumns) {
    const auto lines = capture(log_level_warn, [] { log_write_fmt(log_category_general, log_level_error, "f", "x"); });
    ASSERT_EQ(1u, lines.size());
    char field[64];
    snprintf(field, sizeof(field), "(%5lu:%5lu) : x\n", GetCurrentProcessId(), GetCurrentThreadId());
    const std::string& text = lines[0];
    ASSERT_GE(text.size(), strlen(field));
    EXPECT_EQ(field, text.substr(text.size() - strlen(field)));
    // Both ids are small under Wine, so each is padded with blanks on the left.
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\[EROR\] log_tests\.exe\( *\d+: *\d+\) : x\n)"))) << text;
}

TEST_F(LogLine, EmptyMessageKeepsEveryOtherField) {
    const auto lines = capture(log_level_warn, [] { log_write_fmt(log_category_general, log_level_error, "f", ""); });
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(line("[EROR] ", ""), lines[0]);
}

TEST_F(LogLine, CallsOutsideTheFilterProduceNothing) {
    const auto lines = capture(log_level_warn, [] {
        log_write_fmt(log_category_general, log_level_info, "f", "info above the level");
        log_write_fmt(log_category_general, log_level_debug, "f", "debug above the level");
        log_write_fmt(log_category_general, log_level_error, "f", nullptr);
        log_set_level(100);
        log_write_fmt(log_category_general, 4, "f", "level 4 has no tag");
        log_write_fmt(log_category_general, 0xFFFFFFFFu, "f", "nor has this one");
        log_set_level(log_level_warn);
        log_set_mask(0);
        log_write_fmt(log_category_general, log_level_error, "f", "category masked out");
        log_set_mask(1);
        log_write_fmt(3, log_level_error, "f", "category 3 needs bit 2 too");
        log_write_fmt(log_category_general, log_level_error, "f", "passes");
    });
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(line("[EROR] ", "passes"), lines[0]);
}

TEST_F(LogLine, LongMessageIsCutAt2047BytesWithoutNewline) {
    const std::string message(3000, 'm');
    const auto lines = capture(log_level_warn, [&] {
        log_write_fmt(log_category_general, log_level_error, "f", "%s", message.c_str());
    });
    ASSERT_EQ(1u, lines.size());
    const std::string prefix = "[EROR] log_tests.exe" + logtest::pid_tid_field();
    ASSERT_EQ(2047u, lines[0].size());
    EXPECT_EQ(prefix, lines[0].substr(0, prefix.size()));
    EXPECT_EQ(std::string(2047 - prefix.size(), 'm'), lines[0].substr(prefix.size()));
}

TEST_F(LogLine, NewlineIsKeptOnlyWhenItStillFits) {
    const size_t prefix = ("[EROR] log_tests.exe" + logtest::pid_tid_field()).size();
    const std::string fits(2046 - prefix, 'a');       // line of 2,046 bytes plus "\n"
    const std::string one_more(2047 - prefix, 'b');   // fills the buffer: no room for "\n"
    const auto lines = capture(log_level_warn, [&] {
        log_write_fmt(log_category_general, log_level_error, "f", "%s", fits.c_str());
        log_write_fmt(log_category_general, log_level_error, "f", "%s", one_more.c_str());
    });
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(2047u, lines[0].size());
    EXPECT_EQ('\n', lines[0].back());
    EXPECT_EQ(2047u, lines[1].size());
    EXPECT_EQ('b', lines[1].back());
}

TEST_F(LogLine, UnformattableMessageIsReplaced) {
    // The narrow formatter cannot turn this wide text into ANSI text.
    const auto lines = capture(log_level_warn, [] {
        log_write_fmt(log_category_general, log_level_error, "f", "name %ws!", L"\u4e2d\u6587");
    });
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(line("[EROR] ", "invalid function call parameters"), lines[0]);
}

TEST_F(LogLine, TimeAndFunctionNameWhenSwitchedOn) {
    std::string pid_tid;
    const auto lines = capture(log_level_warn, [&] {
        pid_tid = logtest::pid_tid_field();
        log_set_show_function_name(true);
        log_write_fmt(log_category_general, log_level_warn, "TalvernTray::start", "started");
        log_set_show_function_name(false);
        log_set_show_time(true);
        log_write_fmt(log_category_general, log_level_warn, "TalvernTray::start", "timed");
    });
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("[WARN] log_tests.exe" + pid_tid + "TalvernTray::start : started\n", lines[0]);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[WARN\] log_tests\.exe\(.*\) : timed\n)")))
        << lines[1];
}

TEST_F(LogLine, FailedModuleLookupLeavesTheNameEmptyAndLogsOnce) {
    std::string pid_tid;
    bool looked_up = true;
    const auto lines = capture(log_level_warn, [&] {
        pid_tid = logtest::pid_tid_field();
        set_module_path_failure_for_test(true);
        log_write_fmt(log_category_general, log_level_error, "f", "no name");
        std::wstring file;
        looked_up = get_current_module_file(file);
        set_module_path_failure_for_test(false);
    });
    EXPECT_FALSE(looked_up);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("[EROR] " + pid_tid + "no name\n", lines[0]);
    EXPECT_EQ("[EROR] " + pid_tid + "get_current_module_path()\n", lines[1]);
}
