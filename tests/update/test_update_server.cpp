// The local update server itself: loopback only, what it records, its delay,
// and that stop() ends a connection it keeps hanging.
#include <gtest/gtest.h>

#include <ws2tcpip.h>

#include <string>
#include <thread>

#include "tools/update_server/update_server.h"

namespace {

// Sends raw bytes to the server and returns everything it answers.
std::string exchange(uint16_t port, const std::string& request, DWORD timeout_ms = 10000) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return "<socket>";
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    std::string answer;
    DWORD timeout = timeout_ms;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        send(s, request.data(), static_cast<int>(request.size()), 0);
        char chunk[1024];
        int n;
        while ((n = recv(s, chunk, sizeof(chunk), 0)) > 0) {
            answer.append(chunk, static_cast<size_t>(n));
        }
    } else {
        answer = "<connect>";
    }
    closesocket(s);
    return answer;
}

TEST(UpdateServer, ListensOnLoopbackOnly) {
    UpdateServer server;
    ASSERT_TRUE(server.start()) << server.error();
    EXPECT_EQ("127.0.0.1", server.bound_address());
    EXPECT_NE(0, server.port());
    EXPECT_EQ("http://127.0.0.1:" + std::to_string(server.port()) + "/", server.base_url());
}

TEST(UpdateServer, RecordsRequestAndAnswersAsChosen) {
    UpdateServer server;
    UpdateServerReply reply;
    reply.status = 404;
    reply.body = "missing";
    server.set_reply(reply);
    ASSERT_TRUE(server.start()) << server.error();
    const std::string answer = exchange(
        server.port(), "POST /v1/update HTTP/1.1\r\nHost: x\r\nX-Two:  spaced  \r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_EQ(0u, answer.find("HTTP/1.1 404 Not Found\r\n")) << answer;
    EXPECT_NE(std::string::npos, answer.find("Content-Length: 7\r\n"));
    EXPECT_EQ("missing", answer.substr(answer.size() - 7));

    const auto requests = server.requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("POST", requests[0].method);
    EXPECT_EQ("/v1/update", requests[0].path);
    EXPECT_EQ("hello", requests[0].body);
    ASSERT_EQ(3u, requests[0].headers.size());
    EXPECT_EQ("X-Two", requests[0].headers[1].first);
    EXPECT_EQ("spaced", requests[0].headers[1].second);
    EXPECT_EQ("5", requests[0].header("content-length"));
    EXPECT_EQ("", requests[0].header("Absent"));
}

TEST(UpdateServer, MalformedOrOversizedRequestsAreRefusedAndNotRecorded) {
    UpdateServer server;
    ASSERT_TRUE(server.start()) << server.error();
    EXPECT_EQ(0u, exchange(server.port(), "garbage\r\n\r\n").find("HTTP/1.1 400 "));
    EXPECT_EQ(0u, exchange(server.port(), "POST / HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n").find("HTTP/1.1 400 "));
    EXPECT_EQ(0u, exchange(server.port(), "POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n").find("HTTP/1.1 400 "));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(3u, server.connections());
}

TEST(UpdateServer, DelaysItsAnswer) {
    UpdateServer server;
    UpdateServerReply reply;
    reply.delay_ms = 300;
    reply.body = "late";
    server.set_reply(reply);
    ASSERT_TRUE(server.start()) << server.error();
    const ULONGLONG started = GetTickCount64();
    const std::string answer = exchange(server.port(), "GET /a HTTP/1.1\r\n\r\n");
    EXPECT_GE(GetTickCount64() - started, 250u);
    EXPECT_EQ("late", answer.substr(answer.size() - 4));
}

TEST(UpdateServer, StopEndsAConnectionItKeepsHanging) {
    UpdateServer server;
    UpdateServerReply reply;
    reply.hang = true;
    server.set_reply(reply);
    ASSERT_TRUE(server.start()) << server.error();
    std::string answer = "<not yet>";
    std::thread client([&] { answer = exchange(server.port(), "GET / HTTP/1.1\r\n\r\n", 60000); });
    ASSERT_TRUE(server.wait_for_requests(1, 30000));
    server.stop();
    client.join();
    EXPECT_EQ("", answer);  // closed without an answer
}

TEST(UpdateServer, PortInUseIsReported) {
    UpdateServer first;
    ASSERT_TRUE(first.start()) << first.error();
    UpdateServer second;
    EXPECT_FALSE(second.start(first.port()));
    EXPECT_NE(std::string::npos, second.error().find("bind")) << second.error();
}

}  // namespace
