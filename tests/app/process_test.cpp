// The real TalvernTray.exe under the service simulator: a clean run ending in
// WM_CLOSE, a second agent in the same logon session, service objects created
// late, and a missing section. Every process runs under a debugger loop, so the
// agent's own log lines are checked as it writes them.
#include "tests/app/debugged_process.h"
#include "tools/agent_window/agent_window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::wstring simulator(const std::wstring& options) {
    return L"\"" + bin_dir() + L"\\service_simulator.exe\" --start \"" + bin_dir() + L"\\TalvernTray.exe\" " +
           options;
}

// The agent's process id as the simulator reports it on stderr.
DWORD agent_pid(const DebuggedProcess& sim) {
    const std::string err = sim.stderr_text();
    const std::string key = "started agent pid ";
    const size_t at = err.find(key);
    return at == std::string::npos ? 0 : std::strtoul(err.c_str() + at + key.size(), nullptr, 10);
}

size_t count(const std::vector<std::string>& lines, const std::string& message) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), message));
}

// Error lines of the update request, which goes to the built-in update server
// address: whether anything answers there depends on the machine, so they are
// not counted here (tests/update/agent_update_test.cpp runs a server there).
bool is_update_request_error(const std::string& l) {
    return l.rfind("[EROR] curl_easy_perform() failed. ", 0) == 0 || l == "[EROR] perform() failed." ||
           l.rfind("[EROR] http request failed. ", 0) == 0 || l.rfind("[EROR] http_post(", 0) == 0;
}

size_t errors(const std::vector<std::string>& lines) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("[EROR] ", 0) == 0 && !is_update_request_error(l);
    }));
}

TEST(AgentProcess, StartsAgainstTheSimulatorAndExitsZeroOnClose) {
    DebuggedProcess sim(simulator(L"--close-after-ms 1000 --timeout-ms 60000"));
    DWORD code = 1;
    ASSERT_TRUE(sim.wait(90000, code));
    EXPECT_EQ(0u, code) << sim.stderr_text();
    EXPECT_THAT(sim.stdout_text(), HasSubstr("{\"agent_exit_code\":0}"));
    const DWORD agent = agent_pid(sim);
    ASSERT_NE(0u, agent);
    EXPECT_EQ(0u, errors(sim.messages_of(agent))) << sim.stderr_text();
    // The agent's stop signals the request once without a record.
    EXPECT_THAT(sim.stderr_text(), HasSubstr("request signalled without a new record"));
}

TEST(AgentProcess, SecondAgentInTheSessionExitsMinusOne) {
    DebuggedProcess first(simulator(L"--timeout-ms 90000"));
    // Wait until the first agent holds the session's guard.
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    const std::wstring guard_name = L"Global\\tnodup_" + std::to_wstring(session);
    bool running = false;
    for (int i = 0; i < 600 && !running; ++i) {
        HANDLE guard = OpenEventW(SYNCHRONIZE, FALSE, guard_name.c_str());
        running = guard != nullptr;
        if (guard != nullptr) CloseHandle(guard);
        if (!running) Sleep(50);
    }
    ASSERT_TRUE(running);

    DebuggedProcess second(L"\"" + bin_dir() + L"\\TalvernTray.exe\"");
    DWORD code = 0;
    ASSERT_TRUE(second.wait(60000, code));
    EXPECT_EQ(0xFFFFFFFFu, code);
    const std::vector<std::string> lines = second.messages_of(second.pid());
    EXPECT_EQ(1u, count(lines, "[EROR] Talvern tray is already running."));
    EXPECT_EQ(1u, count(lines, "[EROR] _talvern_tray->start() failed."));
    EXPECT_EQ(2u, errors(lines));

    // The first agent is unaffected and ends normally.
    const DWORD agent = agent_pid(first);
    ASSERT_NE(0u, agent);
    bool closed = false;
    for (int tries = 0; tries < 300 && !closed; ++tries) {
        closed = close_agent_dialog(agent);
        if (!closed) {
            Sleep(100);
        }
    }
    ASSERT_TRUE(closed);
    ASSERT_TRUE(first.wait(60000, code));
    EXPECT_EQ(0u, code) << first.stderr_text();

    // With the first one gone, a new agent starts.
    DebuggedProcess third(simulator(L"--close-after-ms 500 --timeout-ms 60000"));
    ASSERT_TRUE(third.wait(90000, code));
    EXPECT_EQ(0u, code) << third.stderr_text();
}

TEST(AgentProcess, ServiceObjectsCreatedLateAreFoundOnARetry) {
    DebuggedProcess sim(simulator(L"--create-after-ms 2500 --close-after-ms 200 --timeout-ms 60000"));
    DWORD code = 1;
    ASSERT_TRUE(sim.wait(90000, code));
    EXPECT_EQ(0u, code) << sim.stderr_text();
    const DWORD agent = agent_pid(sim);
    const std::vector<std::string> lines = sim.messages_of(agent);
    const std::string q = "[EROR] Can not open event object. object=Global\\ttosq_" + std::to_string(agent) + ", gle=2";
    const std::string r = "[EROR] Can not open event object. object=Global\\ttosr_" + std::to_string(agent) + ", gle=2";
    EXPECT_GE(count(lines, q), 1u);
    EXPECT_EQ(count(lines, q), count(lines, r));
    EXPECT_EQ(2 * count(lines, q), errors(lines));  // nothing else went wrong
}

TEST(AgentProcess, MissingSectionEndsTheStartWithoutRetry) {
    DebuggedProcess sim(simulator(L"--objects request,response --timeout-ms 60000"));
    DWORD code = 0;
    ASSERT_TRUE(sim.wait(90000, code));
    EXPECT_EQ(0xFFFFFFFFu, code) << sim.stderr_text();
    EXPECT_THAT(sim.stdout_text(), HasSubstr("{\"agent_exit_code\":-1}"));
    const DWORD agent = agent_pid(sim);
    const std::vector<std::string> lines = sim.messages_of(agent);
    EXPECT_EQ(1u, count(lines, "[EROR] OpenFileMappingW() failed. section=Global\\ttosd_" + std::to_string(agent) +
                                   ", gle=2"));
    EXPECT_EQ(1u, count(lines, "[EROR] open_tray_to_svc_section() failed. "));
    EXPECT_EQ(1u, count(lines, "[EROR] _talvern_tray->start() failed."));
    EXPECT_EQ(3u, errors(lines));
}

}  // namespace
