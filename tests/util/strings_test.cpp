// Text helpers: ANSI conversion, splitting, token cutting, extensions.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/util/util_test_support.h"
#include "util/strings.h"

using strings = std::vector<std::wstring>;

TEST(SplitString, EmptyFieldsGiveNoTokenAndBlanksStay) {
    strings tokens{L"left over"};
    ASSERT_TRUE(split_stringw(L",a,,b,", tokens));
    EXPECT_EQ((strings{L"a", L"b"}), tokens);
    ASSERT_TRUE(split_stringw(L" RDPNP , LanmanWorkstation,webclient", tokens));
    EXPECT_EQ((strings{L" RDPNP ", L" LanmanWorkstation", L"webclient"}), tokens);
    ASSERT_TRUE(split_stringw(L"single", tokens));
    EXPECT_EQ((strings{L"single"}), tokens);
    ASSERT_TRUE(split_stringw(L",,,", tokens));
    EXPECT_TRUE(tokens.empty());
    ASSERT_TRUE(split_stringw(L"", tokens));
    EXPECT_TRUE(tokens.empty());
}

TEST(SplitString, TakesAtMost1023Characters) {
    strings tokens;
    std::wstring text(1021, L'a');
    text += L",b";  // 1,023 characters
    ASSERT_TRUE(split_stringw(text.c_str(), tokens));
    ASSERT_EQ(2u, tokens.size());
    EXPECT_EQ(std::wstring(1021, L'a'), tokens[0]);
    EXPECT_EQ(L"b", tokens[1]);

    text += L"c";  // 1,024 characters
    tokens = {L"stale"};
    EXPECT_FALSE(split_stringw(text.c_str(), tokens));
    EXPECT_TRUE(tokens.empty());

    const std::wstring huge(100000, L'x');
    EXPECT_FALSE(split_stringw(huge.c_str(), tokens));
}

TEST(SplitString, NullTextFailsAndLeavesTokens) {
    strings tokens{L"kept"};
    EXPECT_FALSE(split_stringw(nullptr, tokens));
    EXPECT_EQ((strings{L"kept"}), tokens);
}

TEST(ExtractLastToken, KeepsEitherSideOfTheLastOccurrence) {
    std::wstring out;
    EXPECT_TRUE(extract_last_tokenw(L"C:\\logs\\agent.log", L".", out, true));
    EXPECT_EQ(L"C:\\logs\\agent", out);
    EXPECT_TRUE(extract_last_tokenw(L"C:\\logs\\agent.log", L".", out, false));
    EXPECT_EQ(L"log", out);
    EXPECT_TRUE(extract_last_tokenw(L"C:\\logs.old\\agent.2024.log", L".", out, true));
    EXPECT_EQ(L"C:\\logs.old\\agent.2024", out);

    const wchar_t path[] = L"\\\\HOST\\root\\cimv2:Win32_DiskDrive.DeviceID=\"\\\\\\\\.\\\\PHYSICALDRIVE0\"";
    EXPECT_EQ(L"\"\\\\\\\\.\\\\PHYSICALDRIVE0\"", extract_last_tokenw(path, L"=", false));
    EXPECT_EQ(L"b", extract_last_tokenw(L"a::b", L"::", false));
    EXPECT_EQ(L"a", extract_last_tokenw(L"a::b", L"::", true));
}

TEST(ExtractLastToken, MissingTokenGivesTheWholeText) {
    EXPECT_EQ(L"C:\\logs\\agent", extract_last_tokenw(L"C:\\logs\\agent", L".", true));
    EXPECT_EQ(L"C:\\logs\\agent", extract_last_tokenw(L"C:\\logs\\agent", L".", false));
    std::wstring out = L"stale";
    EXPECT_TRUE(extract_last_tokenw(std::wstring(), L"=", out, false));
    EXPECT_EQ(L"", out);
}

TEST(ExtractLastToken, EmptyTokenIsFoundAtTheEnd) {
    EXPECT_EQ(L"abc", extract_last_tokenw(L"abc", L"", true));
    EXPECT_EQ(L"", extract_last_tokenw(L"abc", L"", false));
}

TEST(ExtractLastToken, NullArgumentsGiveEmptyText) {
    EXPECT_EQ(L"", extract_last_tokenw(nullptr, L".", true));
    EXPECT_EQ(L"", extract_last_tokenw(L"a.b", nullptr, false));
}

TEST(FileExtension, TextAfterTheLastDotUpToAStream) {
    std::wstring ext;
    ASSERT_TRUE(get_file_extension(L"C:\\logs\\agent.log", ext));
    EXPECT_EQ(L"log", ext);
    ASSERT_TRUE(get_file_extension(L"C:\\logs\\agent.log:stream", ext));
    EXPECT_EQ(L"log", ext);
    ASSERT_TRUE(get_file_extension(L"C:\\logs\\agent.log:stream:$DATA", ext));
    EXPECT_EQ(L"log", ext);
    ASSERT_TRUE(get_file_extension(L"C:\\logs\\agent.", ext));
    EXPECT_EQ(L"", ext);
    // The dot of a folder counts when the file name has none.
    ASSERT_TRUE(get_file_extension(L"C:\\logs.old\\agent", ext));
    EXPECT_EQ(L"old\\agent", ext);
}

TEST(FileExtension, NoDotOrNullFailsAndLeavesTheOutput) {
    std::wstring ext = L"kept";
    EXPECT_FALSE(get_file_extension(L"C:\\logs\\agent", ext));
    EXPECT_EQ(L"kept", ext);
    EXPECT_FALSE(get_file_extension(nullptr, ext));
    EXPECT_EQ(L"kept", ext);
}

TEST(LowerString, LowersInPlace) {
    std::wstring text = L"IDE\\Disk\\VEN_WINE&Prod-1 ABC xyz";
    to_lower_string(text);
    EXPECT_EQ(L"ide\\disk\\ven_wine&prod-1 abc xyz", text);
    std::wstring empty;
    to_lower_string(empty);
    EXPECT_EQ(L"", empty);
}

TEST(WcsToMbs, ConvertsToAFreshAnsiString) {
    char* text = WcsToMbs(L"\\Device\\HarddiskVolume1");
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ("\\Device\\HarddiskVolume1", text);
    free(text);
    EXPECT_EQ("E:", WcsToMbsEx(L"E:"));
}

TEST(WcsToMbs, CodePageCharactersAndTheDefaultCharacter) {
    if (GetACP() != 1252) {
        GTEST_SKIP() << "ANSI code page " << GetACP();
    }
    EXPECT_EQ("\xE9t\xE9", WcsToMbsEx(L"\u00e9t\u00e9"));
    EXPECT_EQ("a?b", WcsToMbsEx(L"a\u4e2db"));
}

TEST(WcsToMbs, NullOrEmptyGivesNothingAndLogsNothing) {
    const auto lines = utiltest::logged([] {
        EXPECT_EQ(nullptr, WcsToMbs(nullptr));
        EXPECT_EQ(nullptr, WcsToMbs(L""));
        EXPECT_EQ("", WcsToMbsEx(nullptr));
        EXPECT_EQ("", WcsToMbsEx(L""));
    });
    EXPECT_TRUE(lines.empty());
}
