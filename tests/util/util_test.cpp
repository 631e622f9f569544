// The utilities: string helpers and their bounds, time text, DOS device targets, environment
// expansion, the program's own path, sessions, file appends, registry strings, and failure lines.
#include <windows.h>

#include <tuple>

#include "log/log.h"
#include "tests/support/log_capture.h"
#include "tests/support/registry_value.h"
#include "tests/support/test_env.h"
#include "util/dos_device.h"
#include "util/environment.h"
#include "base/file_util.h"
#include "base/handles.h"
#include "util/module_path.h"
#include "util/registry.h"
#include "util/session.h"
#include "util/strings.h"
#include "util/time_text.h"

using words = std::vector<std::wstring>;

TEST(Strings, SplitCutExtensionLowerCaseAndAnsiCopies) {
    const std::tuple<std::wstring, bool, words> lists[] = {
        {L",a,,b,", true, {L"a", L"b"}},  // empty fields give no token
        {L"", true, {}},
        {std::wstring(1021, L'a') + L",b", true, {std::wstring(1021, L'a'), L"b"}},
        {std::wstring(1022, L'a') + L",b", false, {}},  // 1,024 characters: one too many, the tokens emptied
    };
    for (const auto& [text, split, expected] : lists) {
        words tokens{L"stale"};
        EXPECT_EQ(split, split_stringw(text.c_str(), tokens)) << text.size();
        EXPECT_EQ(expected, tokens) << text.size();
    }
    words kept{L"kept"};
    EXPECT_TRUE(!split_stringw(nullptr, kept) && kept == words{L"kept"});

    const std::tuple<const wchar_t*, const wchar_t*, bool, std::wstring> cuts[] = {
        {L"C:\\logs.old\\agent.2024.log", L".", true, L"C:\\logs.old\\agent.2024"},
        {L"a::b::c", L"::", false, L"c"},
        {L"agent", L".", false, L"agent"},
        {nullptr, L".", true, L""},
    };
    for (const auto& [text, token, before, out] : cuts)
        EXPECT_EQ(out, extract_last_tokenw(text, token, before)) << text << " " << token << " " << before;

    const std::tuple<const wchar_t*, bool, std::wstring> paths[] = {
        {L"C:\\logs.old\\agent.2024.log", true, L"log"}, {L"C:\\logs\\agent.log:stream:$DATA", true, L"log"},
        {L"C:\\logs\\agent.", true, L""},                {L"C:\\logs\\agent", false, L"kept"},
    };
    for (const auto& [path, found, expected] : paths) {
        std::wstring extension = L"kept";
        EXPECT_EQ(found, get_file_extension(path, extension)) << path;
        EXPECT_EQ(expected, extension) << path;
    }
    std::wstring text = L"IDE\\Disk\\VEN_WINE&Prod-1 ABC xyz";
    to_lower_string(text);
    EXPECT_EQ(L"ide\\disk\\ven_wine&prod-1 abc xyz", text);
    char* copy = WcsToMbs(L"\\Device\\HarddiskVolume1");
    EXPECT_STREQ("\\Device\\HarddiskVolume1", copy);
    free(copy);
    EXPECT_EQ("\xE9t\xE9 a?b", WcsToMbsEx(L"\u00e9t\u00e9 a\u4e2db"));  // the prefix's ANSI code page is 1252
    EXPECT_TRUE(WcsToMbs(L"") == nullptr && WcsToMbs(nullptr) == nullptr && WcsToMbsEx(nullptr).empty());
}

TEST(System, TimeTextDosDeviceEnvironmentAndSession) {
    // year, month, day of week, day, hour, minute, second, milliseconds
    const SYSTEMTIME t{2024, 5, 3, 1, 13, 45, 10, 7}, early{987, 12, 0, 31, 0, 0, 9, 999};
    const SYSTEMTIME bad{2024, 13, 0, 40, 25, 61, 61, 0};
    EXPECT_EQ("0987-12-31 00:00:09", sys_time_to_str(&early, false, false));
    EXPECT_EQ("0987-12-31 00:00:09 999", sys_time_to_str(&early, false, true));
    EXPECT_EQ("2024-05-01 19:15:10 7", sys_time_to_str(&t, true, true));  // TZ=IST-5:30 (CMakeLists.txt)
    EXPECT_EQ("2024-13-40 25:61:61", sys_time_to_str(&bad, true, false));  // cannot be localized: as given

    std::wstring target, value;
    EXPECT_TRUE(query_dos_device(L"C:", target) && target == L"\\Device\\HarddiskVolume1");
    const std::wstring long_target = L"\\Device\\" + std::wstring(1200, L'v');  // several times the first buffer
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, L"Q:", long_target.c_str()));
    EXPECT_TRUE(query_dos_device(L"Q:", target));
    DefineDosDeviceW(DDD_REMOVE_DEFINITION, L"Q:", nullptr);
    EXPECT_EQ(long_target, target);

    const std::wstring big(20000, L'q');
    ASSERT_TRUE(SetEnvironmentVariableW(L"TALVERN_BIG", big.c_str()));
    EXPECT_TRUE(get_environment_value(L"<%TALVERN_BIG%>%TALVERN_NO%", value) && value == L"<" + big + L">%TALVERN_NO%");
    SetEnvironmentVariableW(L"TALVERN_BIG", nullptr);
    EXPECT_FALSE(get_environment_value(nullptr, value));

    DWORD session = 0xDEAD;
    EXPECT_TRUE(get_session_id_by_pid(GetCurrentProcessId(), session) && session == 1);  // Wine's one session
}

TEST(ModulePath, PathFolderAndFileOfThisProgram) {
    wchar_t direct[MAX_PATH];
    const std::wstring expected(direct, GetModuleFileNameW(nullptr, direct, MAX_PATH));
    std::wstring path, dir, file;
    ASSERT_TRUE(get_current_module_path(path) && get_current_module_dir(dir) && get_current_module_file(file));
    EXPECT_EQ(expected, path);
    EXPECT_EQ(expected, dir + L"\\util_tests.exe");
    EXPECT_EQ(L"util_tests.exe", file);
    // Paths shorter than the first buffer, as long as it, or longer: each comes whole.
    for (size_t length : {size_t{MAX_PATH - 1}, size_t{MAX_PATH}, size_t{MAX_PATH + 1}, size_t{5 * MAX_PATH}}) {
        const fake_module module(L"C:\\" + std::wstring(length - 3, L'p'));
        EXPECT_TRUE(get_current_module_path(path, module) && path == module.path) << length;
    }
}

TEST(FailureLines, EachHelperLogsItsOwnAndLeavesItsOutput) {
    const SYSTEMTIME wide{65535, 65535, 0, 65535, 65535, 65535, 65535, 65535};
    std::wstring kept = L"kept", dir = L"kept", file = L"kept";
    DWORD session = 0xDEAD;
    LogCapture log(log_level_debug);
    EXPECT_EQ("1601-01-01 00:00:000", sys_time_to_str(&wide, false, true));
    EXPECT_EQ("1601-01-01 00:00:000", sys_time_to_str(nullptr, true, false));
    EXPECT_FALSE(query_dos_device(L"Q:", kept) || query_dos_device(nullptr, kept));
    EXPECT_FALSE(get_session_id_by_pid(0xFFFFFFF0u, session));
    const fake_module no_path(L"");
    EXPECT_FALSE(get_current_module_path(kept, no_path) || get_current_module_dir(dir, no_path) ||
                 get_current_module_file(file, no_path));
    EXPECT_FALSE(get_current_module_file_silent(file, no_path));
    finalize_log();
    EXPECT_TRUE(kept + dir + file == L"keptkeptkept" && session == 0xDEAD);
    EXPECT_EQ((std::vector<std::string>{"[EROR] Can't make time string. hr=2147942522",
                                        "[EROR] Can't make time string. hr=2147942487",
                                        "[EROR] QueryDosDevice( dos = Q: ), gle = 2",
                                        "[EROR] ProcessIdToSessionId( pid = 4294967280 ) failed. gle = 87",
                                        "[EROR] get_current_module_path()", "[EROR] get_current_module_path()"}),
              log.messages());
}

TEST(WriteToFile, AppendsAtTheEndAtMost5119Characters) {
    temp_dir dir;
    const std::wstring name = dir.file(L"a.log");
    EXPECT_FALSE(is_file_exists(name.c_str()));
    file_handle file(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    EXPECT_TRUE(is_file_exists(name.c_str()));
    EXPECT_TRUE(write_to_file(file.get(), "first %d %ws\n", 1, L"E:"));
    SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN);
    EXPECT_TRUE(write_to_file(file.get(), "%s", std::string(5119, 'f').c_str()));
    EXPECT_FALSE(write_to_file(file.get(), "%s", std::string(5120, 't').c_str()));
    EXPECT_FALSE(write_to_file(file.get(), nullptr) || write_to_file(INVALID_HANDLE_VALUE, "%s", "x"));
    file.reset();
    EXPECT_TRUE("first 1 E:\n" + std::string(5119, 'f') == read_file(name));
}

TEST(Registry, StringValuesOfAnyLength) {
    const std::wstring key_name = L"Software\\TalvernTest", guid = L"{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}";
    const std::wstring long_text(3000, L'l');  // longer than the first read: the buffer grows
    scoped_registry_value short_value(HKEY_CURRENT_USER, key_name.c_str(), L"short");
    scoped_registry_value long_value(HKEY_CURRENT_USER, key_name.c_str(), L"long");
    ASSERT_TRUE(short_value.set(guid) && long_value.set(long_text));
    const registry_key key = RUOpenKey(HKEY_CURRENT_USER, key_name.c_str());
    ASSERT_TRUE(key);
    std::wstring value, kept = L"kept";
    EXPECT_TRUE(RUReadString(key.get(), L"short", value) && value == guid);
    EXPECT_TRUE(RUReadString(key.get(), L"long", value) && value == long_text);
    EXPECT_TRUE(!RUReadString(key.get(), L"missing", kept) && kept == L"kept");
    const std::wstring missing = key_name + L"\\" + std::to_wstring(GetCurrentProcessId());  // no earlier run left it
    EXPECT_FALSE(RUOpenKey(HKEY_CURRENT_USER, missing.c_str()));
}

TEST(Registry, OnlyTextIsReadAsTextAnythingElseIsMissingAndNamed) {
    LogCapture log{log_level_debug};
    const wchar_t* const key_name = L"Software\\TalvernTest";
    scoped_registry_value typed(HKEY_CURRENT_USER, key_name, L"typed");
    const registry_key key = RUOpenKey(HKEY_CURRENT_USER, key_name);
    ASSERT_TRUE(key);
    const std::string text("%\0T\0\0\0", 6);  // "%T" in UTF-16 with its terminator
    const struct { DWORD type; std::string bytes; const char* name; } cases[] = {
        {REG_SZ, text, nullptr}, {REG_EXPAND_SZ, text, nullptr},  // text, not expanded
        {REG_DWORD, std::string("\x41\0\x42\0", 4), "REG_DWORD (4)"},
        {REG_BINARY, text, "REG_BINARY (3)"}, {REG_MULTI_SZ, text + std::string(2, '\0'), "REG_MULTI_SZ (7)"},
        {REG_QWORD, std::string(8, 'q'), "REG_QWORD (11)"}, {REG_NONE, "", "REG_NONE (0)"},
        {0x1234, "ab", "unknown (4660)"}};
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        ASSERT_TRUE(typed.set_raw(c.type, c.bytes));
        std::wstring value = L"kept";
        EXPECT_EQ(c.name == nullptr, RUReadString(key.get(), L"typed", value)) << c.type;
        EXPECT_EQ(c.name == nullptr ? L"%T" : L"kept", value) << c.type;
        if (c.name) {
            expected.push_back(std::string("[EROR] value typed is of type ") + c.name +
                               ", not a string; taken as missing.");
        }
    }
    log.flush();
    EXPECT_EQ(expected, log.messages());
}
