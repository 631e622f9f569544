// The real TalvernTray.exe under the service simulator posts its update
// request to the built-in update server address, where this test listens.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/app/debugged_process.h"
#include "tools/update_server/update_server.h"

namespace {

// The port of a base URL "http://127.0.0.1:<port>/"; 0 for any other URL.
uint16_t loopback_port(const std::string& url) {
    const std::string prefix = "http://127.0.0.1:";
    if (url.compare(0, prefix.size(), prefix) != 0) {
        return 0;
    }
    const unsigned long port = std::strtoul(url.c_str() + prefix.size(), nullptr, 10);
    return port > 0 && port < 65536 ? static_cast<uint16_t>(port) : 0;
}

TEST(AgentUpdate, AgentPostsItsRequestToTheBuiltInAddress) {
    const uint16_t port = loopback_port(TALVERN_BUILT_BASE_URL);
    if (port == 0) {
        GTEST_SKIP() << "the built-in update server is not on 127.0.0.1: " << TALVERN_BUILT_BASE_URL;
    }
    UpdateServer server;
    UpdateServerReply reply;
    reply.body = "ok";
    server.set_reply(reply);
    if (!server.start(port)) {
        GTEST_SKIP() << "another program holds the update server port: " << server.error();
    }

    DebuggedProcess sim(L"\"" + bin_dir() + L"\\service_simulator.exe\" --start \"" + bin_dir() +
                        L"\\TalvernTray.exe\" --close-after-ms 3000 --timeout-ms 60000");
    DWORD code = 1;
    ASSERT_TRUE(sim.wait(90000, code));
    EXPECT_EQ(0u, code) << sim.stderr_text();

    const auto requests = server.requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("POST", requests[0].method);
    EXPECT_EQ("/v1/update", requests[0].path);
    EXPECT_EQ(
        "{ \"info\":{\"product_type\": \"talvern\",\"product_version\": \"1,0,0,2\",\"group_guid\": "
        "\"{5D0C3E91-27B4-4F6A-8E13-9A2B7C4D6E80}\",\"host_guid\": \"{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}\"} }",
        requests[0].body);
    // A request answered 200 leaves no error line in the agent's debugger output.
    for (const auto& line : sim.lines()) {
        EXPECT_EQ(std::string::npos, line.text.find("[EROR] ")) << line.text;
    }
}

}  // namespace
