// The administrator's policy values: each value's type and range, the one warning for a value that is
// ignored, and what an applied policy changes (level, log file, Event Log sink, update address).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/agent_policy.h"
#include "log/log.h"
#include "tests/support/log_capture.h"
#include "tests/support/registry_value.h"
#include "tests/support/test_env.h"

namespace {
const wchar_t kKey[] = L"Software\\TalvernTest\\Policy";  // the same reader, away from HKLM

std::string dword(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), sizeof(value)); }
std::string wide(const std::wstring& text, bool terminated = true) {
    return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
}

struct policy_case {
    const wchar_t* name;
    DWORD type;
    std::string bytes;
    // What is read: level, file, Event Log, URL; and the warning, if any.
    uint32_t level;
    bool log_file, event_log;
    std::string url, warning;
};
}  // namespace

TEST(AgentPolicy, EachValueIsTakenOnlyWithItsTypeAndRange) {
    const std::string bad_url = "policy value UpdateUrl ignored: it is not an absolute http:// or https:// URL ending in \"/\" ";
    const std::vector<policy_case> cases = {
        {L"LogLevel", REG_DWORD, dword(3), 3, false, true, "", ""},
        {L"LogLevel", REG_DWORD, dword(0), 0, false, true, "", ""},
        {L"LogLevel", REG_DWORD, dword(4), 1, false, true, "", "policy value LogLevel ignored: 4 is out of its range 0-3."},
        {L"LogLevel", REG_SZ, wide(L"3"), 1, false, true, "", "policy value LogLevel ignored: it is not a REG_DWORD (type 1)."},
        {L"LogLevel", REG_BINARY, dword(3) + dword(0), 1, false, true, "", "policy value LogLevel ignored: it is not a REG_DWORD (type 3)."},
        {L"LogLevel", REG_DWORD, "\x03\x00", 1, false, true, "", "policy value LogLevel ignored: it is not a REG_DWORD (type 4)."},
        {L"LogFile", REG_DWORD, dword(1), 1, true, true, "", ""},
        {L"LogFile", REG_DWORD, dword(2), 1, false, true, "", "policy value LogFile ignored: 2 is out of its range 0-1."},
        {L"EventLog", REG_DWORD, dword(0), 1, false, false, "", ""},
        {L"EventLog", REG_DWORD, dword(0xFFFFFFFF), 1, false, true, "", "policy value EventLog ignored: 4294967295 is out of its range 0-1."},
        {L"UpdateUrl", REG_SZ, wide(L"https://mirror.example/talvern/"), 1, false, true, "https://mirror.example/talvern/", ""},
        {L"UpdateUrl", REG_SZ, wide(L"HTTP://10.1.2.3:8080/", false), 1, false, true, "HTTP://10.1.2.3:8080/", ""},
        {L"UpdateUrl", REG_EXPAND_SZ, wide(L"http://%HOST%/"), 1, false, true, "", "policy value UpdateUrl ignored: it is not a REG_SZ (type 2)."},
        {L"UpdateUrl", REG_SZ, wide(L"ftp://mirror/"), 1, false, true, "", bad_url + "(13 characters)."},
        {L"UpdateUrl", REG_SZ, wide(L"http://mirror"), 1, false, true, "", bad_url + "(13 characters)."},
        {L"UpdateUrl", REG_SZ, wide(L"http:///"), 1, false, true, "", bad_url + "(8 characters)."},
        {L"UpdateUrl", REG_SZ, wide(L"http://mir ror/"), 1, false, true, "", bad_url + "(15 characters)."},
        {L"UpdateUrl", REG_SZ, wide(L"http://mirror/\u00e9/"), 1, false, true, "", bad_url + "(16 characters)."},
        {L"UpdateUrl", REG_SZ, wide(L"http://m/" + std::wstring(2040, L'a')), 1, false, true, "", bad_url + "(2049 characters)."},
    };
    for (const policy_case& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)) + " case with warning '" + c.warning + "'");
        scoped_registry_value value(HKEY_CURRENT_USER, kKey, c.name);
        ASSERT_TRUE(value.set_raw(c.type, c.bytes));
        LogCapture capture(log_level_warn);
        const agent_policy policy = read_agent_policy(HKEY_CURRENT_USER, kKey);
        capture.flush();
        EXPECT_EQ(c.level, policy.log_level);
        EXPECT_EQ(c.log_file, policy.log_file);
        EXPECT_EQ(c.event_log, policy.event_log);
        EXPECT_EQ(c.url, policy.update_base_url);
        EXPECT_EQ(c.warning.empty() ? std::vector<std::string>{} : std::vector<std::string>{"[WARN] " + c.warning},
                  capture.messages());
    }
    // No key at all: the agent as built, silently.
    LogCapture capture(log_level_warn);
    const agent_policy none = read_agent_policy(HKEY_CURRENT_USER, L"Software\\TalvernTest\\NoPolicy");
    capture.flush();
    EXPECT_TRUE(none.log_level == log_level_warn && !none.log_file && none.event_log && none.update_base_url.empty());
    EXPECT_EQ(std::vector<std::string>{}, capture.messages());
}

TEST(AgentPolicy, AppliedItSetsTheLevelTheFileTheEventLogAndTheUpdateAddress) {
    temp_dir local;
    ASSERT_TRUE(SetEnvironmentVariableW(L"LOCALAPPDATA", local.path().c_str()));
    LogCapture capture(log_level_warn);
    agent_policy policy;
    policy.log_level = log_level_debug;
    policy.log_file = true;
    policy.event_log = false;
    policy.update_base_url = "http://mirror.example/";
    std::string url = "http://built-in/";
    log_set_targets(log_get_targets() | log_to_evt);
    apply_agent_policy(policy, url);
    EXPECT_EQ("http://mirror.example/", url);
    EXPECT_EQ(static_cast<uint32_t>(log_to_ods | log_to_file), log_get_targets()) << "no Event Log, the file on";
    log_write_fmt(log_category_general, log_level_debug, "f", "debug line");
    capture.flush();
    EXPECT_EQ(std::vector<std::string>{"[DEBG] debug line"}, capture.messages());
    finalize_log();
    const std::string written = read_file(local.file(L"Talvern\\Logs\\TalvernTray.log"));
    EXPECT_NE(std::string::npos, written.find(") : debug line\n")) << written;
    // The defaults leave the address as built and put the Event Log sink on.
    ASSERT_TRUE(initialize_log());
    apply_agent_policy(agent_policy(), url);
    EXPECT_EQ("http://mirror.example/", url);
    EXPECT_EQ(static_cast<uint32_t>(log_to_ods | log_to_evt), log_get_targets());
    EXPECT_EQ(static_cast<uint32_t>(log_level_warn), log_get_level());
    finalize_log();
    SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
}
