// TalvernUpdater: the host identifier from the registry, the exact request it
// posts, its error lines, and cancellation of a request that hangs while the
// task that runs it keeps the updater alive.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

#include "log/log.h"
#include "tests/support/log_capture.h"
#include "tools/update_server/update_server.h"
#include "update/talvern_updater.h"
#include "update/thread_pool_task.h"
#include "update/update_base_url.h"

namespace {

using Lines = std::vector<std::string>;

const char* const prefix_host_guid = "{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}";  // set by wine-prefix.sh

std::string body_for(const std::string& host) {
    return "{ \"info\":{\"product_type\": \"talvern\",\"product_version\": \"1,0,0,2\",\"group_guid\": "
           "\"{5D0C3E91-27B4-4F6A-8E13-9A2B7C4D6E80}\",\"host_guid\": \"" +
           host + "\"} }";
}

// A key of the test's own under HKCU, removed again when the test ends.
class TestKey {
public:
    explicit TestKey(const std::wstring& name) : path_(L"Software\\TalvernUpdateTest\\" + name) {
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    ~TestKey() {
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    bool create() {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
            return false;
        }
        RegCloseKey(key);
        return true;
    }
    bool set_host_guid(const std::wstring& value) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
            return false;
        }
        const LONG set = RegSetValueExW(key, L"HostGuid", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        return set == ERROR_SUCCESS;
    }
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

class TalvernUpdaterTest : public ::testing::Test {
protected:
    void SetUp() override {
        reply_.body = "abc";
        server_.set_reply(reply_);
        ASSERT_TRUE(server_.start()) << server_.error();
    }
    // An initialised updater for the server that reads HostGuid from key.
    std::shared_ptr<TalvernUpdater> make_updater(TestKey& key, const std::wstring& host,
                                                 const std::string& base_suffix = "") {
        EXPECT_TRUE(key.set_host_guid(host));
        auto updater = std::make_shared<TalvernUpdater>(server_.base_url() + base_suffix);
        updater->set_host_key_for_test(HKEY_CURRENT_USER, key.path());
        EXPECT_TRUE(updater->initialize());
        return updater;
    }
    Lines messages() {
        finalize_log();
        return log_.messages();
    }
    Lines errors() {
        Lines out;
        for (const auto& m : messages()) {
            if (m.compare(0, 7, "[EROR] ") == 0) {
                out.push_back(m);
            }
        }
        return out;
    }

    LogCapture log_{log_level_debug};
    UpdateServerReply reply_;
    UpdateServer server_;
};

TEST_F(TalvernUpdaterTest, InitializeReadsTheMachineHostGuid) {
    TalvernUpdater updater(server_.base_url());
    ASSERT_TRUE(updater.initialize());
    EXPECT_EQ(prefix_host_guid, updater.host_guid());
    EXPECT_NE(nullptr, updater.client());
    EXPECT_EQ((Lines{"[INFO] cURL initialized. ", "[INFO] TalvernUpdater initialized. "}), messages());
}

TEST_F(TalvernUpdaterTest, PostsTheExactBodyToBaseUrlV1Update) {
    TalvernUpdater updater(server_.base_url());
    ASSERT_TRUE(updater.initialize());
    EXPECT_FALSE(updater.check_talvern_update());  // false even on 200
    const auto requests = server_.requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("POST", requests[0].method);
    EXPECT_EQ("/v1/update", requests[0].path);
    EXPECT_EQ(body_for(prefix_host_guid), requests[0].body);
    EXPECT_EQ(server_.base_url() + "v1/update", updater.update_url());
    EXPECT_EQ(Lines{}, errors());
}

TEST_F(TalvernUpdaterTest, BodyCarriesTheHostTextBetweenItsQuotes) {
    TestKey key(L"Plain");
    auto updater = make_updater(key, L"H");
    EXPECT_EQ(
        "{ \"info\":{\"product_type\": \"talvern\",\"product_version\": \"1,0,0,2\",\"group_guid\": "
        "\"{5D0C3E91-27B4-4F6A-8E13-9A2B7C4D6E80}\",\"host_guid\": \"H\"} }",
        updater->update_body());
    updater->check_talvern_update();
    ASSERT_EQ(1u, server_.requests().size());
    EXPECT_EQ(updater->update_body(), server_.requests()[0].body);
}

TEST_F(TalvernUpdaterTest, HostTextIsEscapedAsAJsonString) {
    TestKey key(L"Escape");
    auto updater = make_updater(key, L"a\"b\\c\td");
    EXPECT_EQ("a\"b\\c\td", updater->host_guid());
    updater->check_talvern_update();
    ASSERT_EQ(1u, server_.requests().size());
    EXPECT_EQ(body_for("a\\\"b\\\\c\\td"), server_.requests()[0].body);
}

TEST_F(TalvernUpdaterTest, BaseUrlWithAPathIsFollowedByV1Update) {
    TestKey key(L"Path");
    auto updater = make_updater(key, L"H", "talvern/api/");
    updater->check_talvern_update();
    ASSERT_EQ(1u, server_.requests().size());
    EXPECT_EQ("/talvern/api/v1/update", server_.requests()[0].path);
}

TEST_F(TalvernUpdaterTest, MissingKeyOrValueFailsWithoutALineOfItsOwn) {
    TestKey key(L"Missing");
    TalvernUpdater no_key(server_.base_url());
    no_key.set_host_key_for_test(HKEY_CURRENT_USER, key.path());
    EXPECT_FALSE(no_key.initialize());
    EXPECT_EQ("", no_key.host_guid());

    ASSERT_TRUE(key.create());  // the key, without HostGuid
    TalvernUpdater no_value(server_.base_url());
    no_value.set_host_key_for_test(HKEY_CURRENT_USER, key.path());
    EXPECT_FALSE(no_value.initialize());
    EXPECT_EQ("", no_value.host_guid());
    EXPECT_EQ((Lines{"[INFO] cURL initialized. ", "[INFO] cURL initialized. "}), messages());
}

// The value of a new handle: the lowest free slot of the handle table.
uintptr_t next_handle_value() {
    HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const uintptr_t value = reinterpret_cast<uintptr_t>(probe);
    CloseHandle(probe);
    return value;
}

// No server and no logger thread here: nothing else opens handles meanwhile.
TEST(TalvernUpdaterHandles, KeyIsClosedOnEveryPath) {
    // A registry key left open holds a handle slot, so the next new handle
    // would get another value than before.
    const std::string base_url = "http://127.0.0.1:9/";
    TestKey key(L"Handles");
    ASSERT_TRUE(key.create());
    TalvernUpdater warm_up(base_url);  // opens what the system caches (the HKCU root)
    warm_up.set_host_key_for_test(HKEY_CURRENT_USER, key.path());
    warm_up.initialize();
    const uintptr_t before = next_handle_value();
    for (int i = 0; i < 5; ++i) {
        TalvernUpdater updater(base_url);
        updater.set_host_key_for_test(HKEY_CURRENT_USER, key.path());
        EXPECT_FALSE(updater.initialize());  // no value: the failing path
    }
    EXPECT_EQ(before, next_handle_value());
    ASSERT_TRUE(key.set_host_guid(L"H"));
    for (int i = 0; i < 5; ++i) {
        TalvernUpdater updater(base_url);
        updater.set_host_key_for_test(HKEY_CURRENT_USER, key.path());
        EXPECT_TRUE(updater.initialize());
    }
    EXPECT_EQ(before, next_handle_value());
}

TEST_F(TalvernUpdaterTest, UnreachableServerIsLoggedWithTheUrl) {
    TestKey key(L"Down");
    auto updater = make_updater(key, L"H");
    server_.stop();
    EXPECT_FALSE(updater->check_talvern_update());
    const std::string url = updater->update_url();
    EXPECT_EQ((Lines{"[EROR] curl_easy_perform() failed. curl_code = 7, " + std::string(curl_easy_strerror(CURLE_COULDNT_CONNECT)),
                     "[EROR] perform() failed.", "[EROR] http_post(" + url + ") failed."}),
              errors());
}

TEST_F(TalvernUpdaterTest, RefusedRequestIsLoggedWithItsCode) {
    reply_.status = 404;
    server_.set_reply(reply_);
    TestKey key(L"NotFound");
    auto updater = make_updater(key, L"H");
    EXPECT_FALSE(updater->check_talvern_update());
    EXPECT_EQ((Lines{"[EROR] http request failed. response code = 404", "[EROR] perform() failed.",
                     "[EROR] http_post(" + updater->update_url() + ") failed."}),
              errors());
}

TEST_F(TalvernUpdaterTest, CancelEndsAHangingRequestAndTheTaskKeepsTheUpdaterAlive) {
    reply_.hang = true;
    server_.set_reply(reply_);
    TestKey key(L"Cancel");
    auto updater = make_updater(key, L"H");  // 90 s total time-out: only cancel ends it early
    std::weak_ptr<TalvernUpdater> watch = updater;
    TalvernUpdater* raw = updater.get();

    ThreadPoolTask task;
    ASSERT_TRUE(task.start([updater] { updater->check_talvern_update(); }));
    updater.reset();  // the task holds the only reference now
    ASSERT_TRUE(server_.wait_for_requests(1, 30000));
    EXPECT_FALSE(watch.expired());
    EXPECT_FALSE(task.wait(0));

    raw->cancel();  // alive: the running task owns it
    const ULONGLONG asked = GetTickCount64();
    ASSERT_TRUE(task.wait(60000));
    EXPECT_LT(GetTickCount64() - asked, 30000u);  // far below the 90 s time-out
    EXPECT_TRUE(watch.expired());  // released by the task before it reported its end
    const Lines lines = messages();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ("[EROR] curl_easy_perform() failed. curl_code = 42, " + std::string(curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK)),
              lines[lines.size() - 3]);
    EXPECT_EQ("[EROR] http_post(" + server_.base_url() + "v1/update) failed.", lines.back());
}

}  // namespace

TEST(UpdateBaseUrl, IsTheBuildSettingUnlessATestSetsAnother) {
    EXPECT_EQ(TALVERN_BUILT_BASE_URL, talvern_update_base_url());
    set_update_base_url_for_test("http://127.0.0.1:1/");
    EXPECT_EQ("http://127.0.0.1:1/", talvern_update_base_url());
    set_update_base_url_for_test("");
    EXPECT_EQ(TALVERN_BUILT_BASE_URL, talvern_update_base_url());
}
