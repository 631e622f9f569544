// The update check inside the agent object: where start creates the updater
// and its task, the worker's line, a server that is down or hangs, a missing
// host identifier, and stop waiting for the task before it lets the updater go.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/service_channel_seam.h"
#include "app/talvern_tray.h"
#include "log/log.h"
#include "log/log_settings.h"
#include "tests/app/service_stub.h"
#include "tests/support/log_capture.h"
#include "tools/update_server/update_server.h"
#include "update/update_base_url.h"

namespace {

using Lines = std::vector<std::string>;

const char* const prefix_host_guid = "{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}";  // set by wine-prefix.sh

const char* const worker_line = "[DEBG] update worker update = X";

// True when every one of wanted occurs in lines, in this order.
bool in_order(const Lines& lines, const Lines& wanted) {
    auto at = lines.begin();
    for (const auto& w : wanted) {
        at = std::find(at, lines.end(), w);
        if (at == lines.end()) {
            return false;
        }
        ++at;
    }
    return true;
}

size_t count(const Lines& lines, const std::string& message) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), message));
}

Lines errors(const Lines& lines) {
    Lines out;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
                 [](const std::string& l) { return l.rfind("[EROR] ", 0) == 0; });
    return out;
}

class TrayUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        set_service_connect_retry_for_test(20, 0xFFFFFFFF);
        reply_.body = "abc";
        server_.set_reply(reply_);
        ASSERT_TRUE(server_.start()) << server_.error();
        set_update_base_url_for_test(server_.base_url());
    }
    void TearDown() override {
        set_update_base_url_for_test("");
        reset_service_connect_retry_for_test();
        log_set_show_function_name(false);
    }
    Lines drained() {
        finalize_log();
        return log_.messages();
    }

    LogCapture log_{log_level_debug};
    UpdateServerReply reply_;
    UpdateServer server_;
};

TEST_F(TrayUpdateTest, StartCreatesTheUpdaterBeforeTheServiceChannelAndPostsOnce) {
    ServiceStub service;
    TalvernTray tray;
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(server_.wait_for_requests(1, 60000));
    tray.stop();

    const Lines lines = drained();
    EXPECT_TRUE(in_order(lines, {"[DEBG] no-dup handle created.", "[INFO] cURL initialized. ",
                                 "[INFO] TalvernUpdater initialized. ",
                                 "[DEBG] TalvernUpdater initialized successfully.",
                                 "[DEBG] Trying to connect to talvern service. 1 th try."}));
    // Status 200 still ends with X: the answer is not interpreted.
    EXPECT_EQ(1u, count(lines, worker_line));
    EXPECT_TRUE(in_order(lines, {worker_line, "[INFO] Talvern tray stopped successfully."}));
    EXPECT_EQ(Lines{}, errors(lines));

    const auto requests = server_.requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("POST", requests[0].method);
    EXPECT_EQ("/v1/update", requests[0].path);
    EXPECT_EQ(std::string("{ \"info\":{\"product_type\": \"talvern\",\"product_version\": \"1,0,0,2\",\"group_guid\": "
                          "\"{5D0C3E91-27B4-4F6A-8E13-9A2B7C4D6E80}\",\"host_guid\": \"") +
                  prefix_host_guid + "\"} }",
              requests[0].body);
}

TEST_F(TrayUpdateTest, WorkerLineNamesTheLambdaInStart) {
    log_set_show_function_name(true);
    ServiceStub service;
    TalvernTray tray;
    ASSERT_TRUE(tray.start());
    tray.stop();
    EXPECT_EQ(1u, count(drained(), "[DEBG] TalvernTray::start::<lambda> : update worker update = X"));
}

TEST_F(TrayUpdateTest, UnreachableServerDoesNotKeepTheAgentFromStarting) {
    const std::string url = server_.base_url() + "v1/update";
    server_.stop();
    ServiceStub service;
    TalvernTray tray;
    EXPECT_TRUE(tray.start());
    tray.stop();
    const Lines lines = drained();
    EXPECT_EQ((Lines{"[EROR] curl_easy_perform() failed. curl_code = 7, " +
                         std::string(curl_easy_strerror(CURLE_COULDNT_CONNECT)),
                     "[EROR] perform() failed.", "[EROR] http_post(" + url + ") failed."}),
              errors(lines));
    EXPECT_TRUE(in_order(lines, {"[EROR] http_post(" + url + ") failed.", worker_line,
                                 "[INFO] Talvern tray stopped successfully."}));
}

TEST_F(TrayUpdateTest, StopCancelsAHangingRequestAndWaitsForTheTask) {
    reply_.hang = true;
    server_.set_reply(reply_);
    ServiceStub service;
    TalvernTray tray;
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(server_.wait_for_requests(1, 60000));  // the request now hangs (90 s time-out)
    const ULONGLONG asked = GetTickCount64();
    tray.stop();
    EXPECT_LT(GetTickCount64() - asked, 30000u);  // cancelled, not timed out
    const Lines lines = drained();
    const std::string aborted = "[EROR] curl_easy_perform() failed. curl_code = 42, " +
                                std::string(curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
    // The task ended inside stop: its last line comes before stop's own.
    EXPECT_TRUE(in_order(lines, {"[DEBG] no-dup handle closed.", aborted, worker_line,
                                 "[INFO] Talvern tray stopped successfully."}))
        << ::testing::PrintToString(lines);
}

// Takes HostGuid out of the prefix's Talvern key and puts it back afterwards.
class HostGuidRemoved {
public:
    HostGuidRemoved() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Torvi\\Talvern", 0, KEY_READ | KEY_WRITE, &key) !=
            ERROR_SUCCESS) {
            return;
        }
        wchar_t value[128] = {};
        DWORD size = sizeof(value) - sizeof(wchar_t);
        DWORD type = 0;
        if (RegQueryValueExW(key, L"HostGuid", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
                ERROR_SUCCESS &&
            type == REG_SZ) {
            saved_ = value;
            removed_ = RegDeleteValueW(key, L"HostGuid") == ERROR_SUCCESS;
        }
        RegCloseKey(key);
    }
    ~HostGuidRemoved() {
        if (!removed_) {
            return;
        }
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Torvi\\Talvern", 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
            RegSetValueExW(key, L"HostGuid", 0, REG_SZ, reinterpret_cast<const BYTE*>(saved_.c_str()),
                           static_cast<DWORD>((saved_.size() + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        }
    }
    bool removed() const { return removed_; }

private:
    std::wstring saved_;
    bool removed_ = false;
};

TEST_F(TrayUpdateTest, MissingHostGuidEndsTheStartBeforeTheServiceChannel) {
    ServiceStub service;
    TalvernTray tray;
    {
        HostGuidRemoved removed;
        ASSERT_TRUE(removed.removed());
        EXPECT_FALSE(tray.start());
    }
    tray.stop();
    const Lines lines = drained();
    EXPECT_EQ(Lines{"[EROR] Can not initialize Talvern updater"}, errors(lines));
    EXPECT_EQ(0u, count(lines, "[DEBG] Trying to connect to talvern service. 1 th try."));
    EXPECT_EQ(0u, count(lines, worker_line));
    EXPECT_TRUE(server_.requests().empty());
    EXPECT_TRUE(in_order(lines, {"[DEBG] no-dup handle closed.", "[INFO] Talvern tray stopped successfully."}));

    // The value is back: the next agent starts.
    TalvernTray next;
    EXPECT_TRUE(next.start());
    next.stop();
}

}  // namespace
