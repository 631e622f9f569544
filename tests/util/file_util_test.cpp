// File existence and appends of formatted text.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/util/util_test_support.h"
#include "util/file_util.h"

namespace {
HANDLE open_rw(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}
}  // namespace

TEST(FileExists, FilesAndFoldersCount) {
    utiltest::temp_dir dir;
    const std::wstring file = dir.file(L"a.log");
    EXPECT_TRUE(is_file_exists(dir.path().c_str()));
    EXPECT_FALSE(is_file_exists(file.c_str()));
    HANDLE h = open_rw(file);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    EXPECT_TRUE(is_file_exists(file.c_str()));
    EXPECT_FALSE(is_file_exists(dir.file(L"missing\\b.log").c_str()));
    EXPECT_FALSE(is_file_exists(nullptr));
}

TEST(WriteToFile, AppendsAtTheEndWhereverThePointerIs) {
    utiltest::temp_dir dir;
    const std::wstring file = dir.file(L"a.log");
    HANDLE h = open_rw(file);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_TRUE(write_to_file(h, "first %d\n", 1));
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    EXPECT_TRUE(write_to_file(h, "%s %ws: %u", "second", L"E:", 42u));
    EXPECT_TRUE(write_to_file(h, "%s", ""));
    CloseHandle(h);
    EXPECT_EQ("first 1\nsecond E:: 42", utiltest::read_file(file));
}

TEST(WriteToFile, TextOver5119CharactersWritesNothing) {
    utiltest::temp_dir dir;
    const std::wstring file = dir.file(L"a.log");
    HANDLE h = open_rw(file);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    const std::string fits(5119, 'f');
    const std::string too_long(5120, 't');
    EXPECT_TRUE(write_to_file(h, "%s", fits.c_str()));
    EXPECT_FALSE(write_to_file(h, "%s", too_long.c_str()));
    EXPECT_FALSE(write_to_file(h, "%s%s", fits.c_str(), "x"));
    CloseHandle(h);
    EXPECT_EQ(fits, utiltest::read_file(file));
}

TEST(WriteToFile, BadHandleOrFormatFails) {
    EXPECT_FALSE(write_to_file(INVALID_HANDLE_VALUE, "%s", "x"));
    EXPECT_FALSE(write_to_file(nullptr, "%s", "x"));
    utiltest::temp_dir dir;
    HANDLE h = open_rw(dir.file(L"a.log"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_FALSE(write_to_file(h, nullptr));
    CloseHandle(h);
    // A handle opened for reading only cannot be written.
    HANDLE r = CreateFileW(dir.file(L"a.log").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, r);
    EXPECT_FALSE(write_to_file(r, "%s", "x"));
    CloseHandle(r);
    EXPECT_EQ("", utiltest::read_file(dir.file(L"a.log")));
}
