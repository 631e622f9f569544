// curl_client against the local update server: what goes on the wire, which
// answers pass, and the exact error lines of every way a request fails.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "tests/support/log_capture.h"
#include "tests/update/debug_output_capture.h"
#include "tools/update_server/update_server.h"
#include "update/curl_client.h"
#include "update/memory_stream.h"

namespace {

using Lines = std::vector<std::string>;

std::string curl_text(CURLcode code) { return curl_easy_strerror(code); }

std::string perform_failed(CURLcode code) {
    return "[EROR] curl_easy_perform() failed. curl_code = " + std::to_string(static_cast<int>(code)) + ", " +
           curl_text(code);
}

class CurlClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.start()) << server_.error();
        url_ = server_.base_url() + "v1/update";
        ASSERT_TRUE(client_.initialize());
    }
    void answer(int status, const std::string& body) {
        UpdateServerReply reply;
        reply.status = status;
        reply.body = body;
        server_.set_reply(reply);
    }
    // The messages seen so far, after the logger has written them.
    Lines messages() {
        finalize_log();
        return log_.messages();
    }

    LogCapture log_{log_level_debug};
    UpdateServer server_;
    curl_client client_;
    std::string url_;
};

TEST_F(CurlClientTest, PostsTheBodyAsIsAndReturnsTheAnswerOn200) {
    answer(200, "abc");
    const std::string body = "{ \"x\": \"a b&c=d\" }";
    std::string response = "old";
    EXPECT_TRUE(client_.http_post(url_.c_str(), body, response));
    EXPECT_EQ("abc", response);

    const auto requests = server_.requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("POST", requests[0].method);
    EXPECT_EQ("/v1/update", requests[0].path);
    EXPECT_EQ(body, requests[0].body);
    EXPECT_EQ(std::to_string(body.size()), requests[0].header("Content-Length"));
    // No headers of its own: libcurl's default content type for POST fields.
    EXPECT_EQ("application/x-www-form-urlencoded", requests[0].header("Content-Type"));
    EXPECT_EQ(Lines{}, messages());
}

TEST_F(CurlClientTest, OneHandleServesRequestAfterRequest) {
    answer(200, "first");
    std::string response;
    EXPECT_TRUE(client_.http_post(url_.c_str(), "1", response));
    EXPECT_EQ("first", response);
    answer(200, "second");
    EXPECT_TRUE(client_.http_post(url_.c_str(), "22", response));
    EXPECT_EQ("second", response);
    const auto requests = server_.requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("1", requests[0].body);
    EXPECT_EQ("22", requests[1].body);
}

TEST_F(CurlClientTest, AnswerIsCutAtItsFirstZeroByteAndMayBeEmpty) {
    answer(200, std::string("ab\0cd", 5));
    std::string response;
    EXPECT_TRUE(client_.http_post(url_.c_str(), "x", response));
    EXPECT_EQ("ab", response);
    answer(200, "");
    response = "old";
    EXPECT_TRUE(client_.http_post(url_.c_str(), "x", response));
    EXPECT_EQ("", response);
}

TEST_F(CurlClientTest, LargeAnswerArrivesWhole) {
    std::string big(200 * 1024, 'q');
    big[12345] = 'r';
    answer(200, big);
    std::string response;
    EXPECT_TRUE(client_.http_post(url_.c_str(), "x", response));
    EXPECT_EQ(big, response);
}

TEST_F(CurlClientTest, OnlyStatus200Passes) {
    for (const int status : {404, 204, 302, 500}) {
        answer(status, "nope");
        std::string response = "untouched";
        EXPECT_FALSE(client_.http_post(url_.c_str(), "x", response)) << status;
        EXPECT_EQ("untouched", response);
    }
    EXPECT_EQ((Lines{
                  "[EROR] http request failed. response code = 404", "[EROR] perform() failed.",
                  "[EROR] http request failed. response code = 204", "[EROR] perform() failed.",
                  "[EROR] http request failed. response code = 302", "[EROR] perform() failed.",
                  "[EROR] http request failed. response code = 500", "[EROR] perform() failed.",
              }),
              messages());
}

TEST_F(CurlClientTest, ServerDownIsAConnectError) {
    const std::string url = url_;
    server_.stop();  // nothing listens on the port any more
    std::string response;
    EXPECT_FALSE(client_.http_post(url.c_str(), "x", response));
    EXPECT_EQ((Lines{perform_failed(CURLE_COULDNT_CONNECT), "[EROR] perform() failed."}), messages());
}

TEST_F(CurlClientTest, SilentServerEndsByTheTotalTimeout) {
    UpdateServerReply reply;
    reply.hang = true;
    server_.set_reply(reply);
    client_.set_total_timeout_for_test(2);
    std::string response;
    const ULONGLONG started = GetTickCount64();
    EXPECT_FALSE(client_.http_post(url_.c_str(), "x", response));
    EXPECT_LT(GetTickCount64() - started, 60000u);  // it does not hang
    EXPECT_EQ(1u, server_.requests().size());
    EXPECT_EQ((Lines{perform_failed(CURLE_OPERATION_TIMEDOUT), "[EROR] perform() failed."}), messages());
}

TEST_F(CurlClientTest, CancelEndsAHangingRequest) {
    UpdateServerReply reply;
    reply.hang = true;
    server_.set_reply(reply);
    bool result = true;
    std::thread request([&] {
        std::string response;
        result = client_.http_post(url_.c_str(), "x", response);
    });
    ASSERT_TRUE(server_.wait_for_requests(1, 30000));
    client_.cancel();
    const ULONGLONG asked = GetTickCount64();
    request.join();
    EXPECT_LT(GetTickCount64() - asked, 30000u);  // well inside the 90 s time-out
    EXPECT_FALSE(result);
    EXPECT_EQ((Lines{perform_failed(CURLE_ABORTED_BY_CALLBACK), "[EROR] perform() failed."}), messages());
}

TEST_F(CurlClientTest, NothingToSendMeansNoTrafficAndNoLog) {
    std::string response = "untouched";
    EXPECT_FALSE(client_.http_post(url_.c_str(), "", response));
    EXPECT_FALSE(client_.http_post(nullptr, "x", response));
    curl_client idle;  // never initialised: no handle
    EXPECT_FALSE(idle.http_post(url_.c_str(), "x", response));
    EXPECT_EQ("untouched", response);
    Sleep(200);
    EXPECT_EQ(0u, server_.connections());
    EXPECT_EQ(Lines{}, messages());
}

TEST_F(CurlClientTest, RefusedOptionStopsBeforeAnyTraffic) {
    // libcurl refuses option strings beyond 8 MB.
    const std::string url = url_ + "?" + std::string(9 * 1024 * 1024, 'u');
    std::string response = "untouched";
    EXPECT_FALSE(client_.http_post(url.c_str(), "x", response));
    EXPECT_EQ("untouched", response);
    EXPECT_EQ((Lines{"[EROR] curl_easy_setopt() failed. curl_code = 43, " + curl_text(CURLE_BAD_FUNCTION_ARGUMENT),
                     "[EROR] set_common_opt() failed."}),
              messages());
    EXPECT_EQ(0u, server_.connections());
}

// Fails every growth of a stream beyond limit bytes.
size_t g_limit = SIZE_MAX;
void* limited_realloc(void* block, size_t size) { return size > g_limit ? nullptr : std::realloc(block, size); }

class HeapLimit {
public:
    explicit HeapLimit(size_t limit) {
        g_limit = limit;
        previous_ = CMemoryStream::set_reallocator(&limited_realloc);
    }
    ~HeapLimit() { CMemoryStream::set_reallocator(previous_); }

private:
    CMemoryStream::reallocator previous_;
};

TEST_F(CurlClientTest, AnswerWithoutRoomForTheTerminatorIsTakenFromTheBytesHeld) {
    answer(200, "abc");
    DebugOutputCapture debug;
    std::string response;
    {
        HeapLimit limit(3);  // the body fits, the zero byte does not
        EXPECT_TRUE(client_.http_post(url_.c_str(), "x", response));
    }
    EXPECT_EQ("abc", response);
    EXPECT_EQ((Lines{"CMemoryStream::SetSize(), can not reallocate memory, new memory size=4 bytes"}),
              debug.texts());
    EXPECT_EQ(Lines{}, messages());
}

TEST_F(CurlClientTest, AnswerThatCannotBeStoredAbortsTheTransfer) {
    answer(200, "abc");
    std::string response = "untouched";
    {
        HeapLimit limit(0);
        EXPECT_FALSE(client_.http_post(url_.c_str(), "x", response));
    }
    EXPECT_EQ("untouched", response);
    EXPECT_EQ((Lines{"[EROR] Can not write to memory stream", perform_failed(CURLE_WRITE_ERROR),
                     "[EROR] perform() failed."}),
              messages());
}

TEST(HttpWriteCallback, NeedsDataAndStream) {
    CMemoryStream stream;
    char data[] = "abcd";
    EXPECT_EQ(0u, http_get_write_callback(nullptr, 1, 4, &stream));
    EXPECT_EQ(0u, http_get_write_callback(data, 1, 4, nullptr));
    EXPECT_EQ(4u, http_get_write_callback(data, 2, 2, static_cast<CStream*>(&stream)));
    EXPECT_EQ(4u, stream.size());
    EXPECT_EQ(0, memcmp(stream.buffer(), "abcd", 4));
}

}  // namespace
