// Text of a SYSTEMTIME.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/util/util_test_support.h"
#include "util/time_text.h"

namespace {
SYSTEMTIME make_time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    t.wMilliseconds = ms;
    t.wDayOfWeek = 3;
    return t;
}
}  // namespace

TEST(SysTimeToStr, FormatsWithAndWithoutMilliseconds) {
    const SYSTEMTIME t = make_time(2024, 5, 1, 13, 45, 10, 7);
    EXPECT_EQ("2024-05-01 13:45:10", sys_time_to_str(&t, false, false));
    EXPECT_EQ("2024-05-01 13:45:10 7", sys_time_to_str(&t, false, true));
    const SYSTEMTIME u = make_time(987, 12, 31, 0, 0, 9, 999);
    EXPECT_EQ("0987-12-31 00:00:09 999", sys_time_to_str(&u, false, true));
}

TEST(SysTimeToStr, LocalizeConvertsFromUtc) {
    const SYSTEMTIME utc = make_time(2024, 5, 1, 13, 45, 10, 7);
    SYSTEMTIME local;
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
    char expected[32];
    snprintf(expected, sizeof(expected), "%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay,
             local.wHour, local.wMinute, local.wSecond);
    EXPECT_EQ(expected, sys_time_to_str(&utc, true, false));
}

TEST(SysTimeToStr, TextThatDoesNotFitGivesTheFixedTextAndAnError) {
    const SYSTEMTIME wide = make_time(65535, 65535, 65535, 65535, 65535, 65535, 65535);
    std::string without;
    std::string with;
    const auto lines = utiltest::logged([&] {
        without = sys_time_to_str(&wide, false, false);
        with = sys_time_to_str(&wide, false, true);
    });
    EXPECT_EQ("1601-01-01 00:00:000", without);
    EXPECT_EQ("1601-01-01 00:00:000", with);
    // 0x8007007A: STRSAFE_E_INSUFFICIENT_BUFFER.
    EXPECT_EQ((std::vector<std::string>(2, "[EROR] Can't make time string. hr=2147942522")), lines);
}

TEST(SysTimeToStr, OutOfRangeTimeIsNotLocalizedButStillFormatted) {
    const SYSTEMTIME bad = make_time(2024, 13, 40, 25, 61, 61, 0);
    EXPECT_EQ("2024-13-40 25:61:61", sys_time_to_str(&bad, true, false));
}

TEST(SysTimeToStr, NullTimeGivesTheFixedText) {
    std::string text;
    const auto lines = utiltest::logged([&] { text = sys_time_to_str(nullptr, true, false); });
    EXPECT_EQ("1601-01-01 00:00:000", text);
    EXPECT_EQ((std::vector<std::string>{"[EROR] Can't make time string. hr=2147942487"}), lines);
}
