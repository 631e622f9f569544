// Environment expansion, the executable's own path, and logon sessions.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/util/util_test_support.h"
#include "util/environment.h"
#include "util/module_path.h"
#include "util/module_path_seam.h"
#include "util/session.h"

#include <vector>

TEST(EnvironmentValue, ExpandsReferences) {
    wchar_t root[MAX_PATH] = {};
    ASSERT_NE(0u, GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH));
    std::wstring value;
    ASSERT_TRUE(get_environment_value(L"%SystemRoot%", value));
    EXPECT_EQ(std::wstring(root), value);
    ASSERT_TRUE(get_environment_value(L"%SystemRoot%\\system32", value));
    EXPECT_EQ(std::wstring(root) + L"\\system32", value);
    ASSERT_TRUE(get_environment_value(L"plain text", value));
    EXPECT_EQ(L"plain text", value);
    ASSERT_TRUE(get_environment_value(L"%TALVERN_NO_SUCH_VARIABLE%\\x", value));
    EXPECT_EQ(L"%TALVERN_NO_SUCH_VARIABLE%\\x", value);
    ASSERT_TRUE(get_environment_value(L"", value));
    EXPECT_EQ(L"", value);
}

TEST(EnvironmentValue, LongExpansionIsWhole) {
    const std::wstring big(20000, L'q');
    ASSERT_TRUE(SetEnvironmentVariableW(L"TALVERN_BIG", big.c_str()));
    std::wstring value;
    EXPECT_TRUE(get_environment_value(L"<%TALVERN_BIG%>", value));
    EXPECT_EQ(L"<" + big + L">", value);
    SetEnvironmentVariableW(L"TALVERN_BIG", nullptr);
}

TEST(EnvironmentValue, NullFailsQuietly) {
    std::wstring value = L"kept";
    bool expanded = true;
    const auto lines = utiltest::logged([&] { expanded = get_environment_value(nullptr, value); });
    EXPECT_FALSE(expanded);
    EXPECT_EQ(L"kept", value);
    EXPECT_TRUE(lines.empty());
}

TEST(ModulePath, PathFolderAndFileOfThisProgram) {
    wchar_t direct[4096] = {};
    ASSERT_NE(0u, GetModuleFileNameW(nullptr, direct, 4096));
    std::wstring path;
    std::wstring dir;
    std::wstring file;
    ASSERT_TRUE(get_current_module_path(path));
    ASSERT_TRUE(get_current_module_dir(dir));
    ASSERT_TRUE(get_current_module_file(file));
    EXPECT_EQ(std::wstring(direct), path);
    EXPECT_EQ(L"util_tests.exe", file);
    EXPECT_EQ(path, dir + L"\\" + file);
    EXPECT_NE(L'\\', dir.back());
}

TEST(ModulePath, FailedLookupIsLoggedByFolderAndFileQueries) {
    std::wstring dir = L"kept";
    std::wstring file = L"kept";
    std::wstring path = L"kept";
    bool results[3] = {true, true, true};
    const auto lines = utiltest::logged([&] {
        set_module_path_failure_for_test(true);
        results[0] = get_current_module_path(path);
        results[1] = get_current_module_dir(dir);
        results[2] = get_current_module_file(file);
        set_module_path_failure_for_test(false);
    });
    EXPECT_FALSE(results[0]);
    EXPECT_FALSE(results[1]);
    EXPECT_FALSE(results[2]);
    EXPECT_EQ(L"kept", path);
    EXPECT_EQ(L"kept", dir);
    EXPECT_EQ(L"kept", file);
    EXPECT_EQ((std::vector<std::string>(2, "[EROR] get_current_module_path()")), lines);
}

TEST(SessionId, OwnProcess) {
    DWORD expected = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &expected));
    DWORD session = 0xDEAD;
    ASSERT_TRUE(get_session_id_by_pid(GetCurrentProcessId(), session));
    EXPECT_EQ(expected, session);
}

TEST(SessionId, UnknownProcessFailsWithItsError) {
    const DWORD pid = 0xFFFFFFF0u;
    DWORD session = 0xDEAD;
    bool found = true;
    const auto lines = utiltest::logged([&] { found = get_session_id_by_pid(pid, session); });
    EXPECT_FALSE(found);
    EXPECT_EQ(0xDEADu, session);
    ASSERT_EQ(1u, lines.size());
    const std::string prefix = "[EROR] ProcessIdToSessionId( pid = 4294967280 ) failed. gle = ";
    EXPECT_EQ(prefix, lines[0].substr(0, prefix.size()));
    EXPECT_GT(lines[0].size(), prefix.size());
}

TEST(ModulePath, PathLongerThanTheBufferIsReadWhole) {
    // Under Wine a program cannot be started from a path over 260 characters,
    // so the buffer starts small instead: every size below, at and just above
    // the path's length must give the whole path.
    std::wstring expected;
    ASSERT_TRUE(get_current_module_path(expected));
    const DWORD length = static_cast<DWORD>(expected.size());
    for (DWORD first : std::vector<DWORD>{1, 2, 7, length - 1, length, length + 1, length + 2}) {
        set_module_path_first_size_for_test(first);
        std::wstring path;
        const bool found = get_current_module_path(path);
        set_module_path_first_size_for_test(0);
        EXPECT_TRUE(found) << first;
        EXPECT_EQ(expected, path) << first;
    }
}
