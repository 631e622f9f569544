// The update path: the memory stream a response is collected in, the pool
// task, and the update request against the in-process update server, up to the agent's stop.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "app/talvern_tray.h"
#include "base/product_version.h"
#include "log/log.h"
#include "tests/support/log_capture.h"
#include "tests/support/registry_value.h"
#include "tests/support/service_stub.h"
#include "tests/support/test_env.h"
#include "tools/update_server/update_server.h"
#include "update/curl_client.h"
#include "update/memory_stream.h"
#include "update/talvern_updater.h"
#include "base/thread_pool_task.h"
#include "base/handles.h"

namespace {

using Lines = std::vector<std::string>;

// A stream's heap that refuses sizes from fail_from on.
struct HeapLimit : stream_heap {
    void* reallocate(void* block, size_t size) const override {
        return size >= fail_from ? nullptr : std::realloc(block, size);
    }
    size_t fail_from = SIZE_MAX;
};

std::string bytes(const CMemoryStream& s) { return std::string(reinterpret_cast<const char*>(s.buffer()), s.size()); }

TEST(MemoryStream, GrowsToTheEndOfEachWriteKeepsOnePositionAndResizes) {
    CMemoryStream s;
    EXPECT_EQ(2u, s.WriteToStream("ab", 2));
    EXPECT_EQ(3u, s.WriteToStream("cde", 3));
    s.set_position(1);
    EXPECT_EQ(2u, s.WriteToStream("XY", 2));  // inside the buffer: no growth
    s.set_position(4);
    EXPECT_EQ(3u, s.WriteToStream("fgh", 3));  // across the end: grows to 7
    EXPECT_EQ("aXYdfgh", bytes(s));
    char out[16] = {};
    s.set_position(2);
    EXPECT_EQ(5u, s.ReadFromStream(out, sizeof(out)));  // asks for more than is left
    EXPECT_STREQ("Ydfgh", out);
    EXPECT_EQ(3u, s.SetSize(3));  // shrinking moves the position back
    EXPECT_EQ(3u, s.position());
    s.set_position(0);
    EXPECT_EQ(2u, s.WriteUint16(0x1234));  // fixed-width values keep their memory order
    EXPECT_EQ(4u, s.WriteUint32(0xA1B2C3D4u));
    EXPECT_EQ(std::string("\x34\x12\xD4\xC3\xB2\xA1", 6), bytes(s));
    uint32_t d = 0;
    s.set_position(2);
    EXPECT_TRUE(s.ReadUint32(&d) == 4 && d == 0xA1B2C3D4u) << std::hex << d;
}

// Texts handed to OutputDebugStringA, seen as the debug-print exception it raises.
Lines g_debug_texts;
LONG CALLBACK record_debug_text(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& r = *info->ExceptionRecord;
    const auto text = reinterpret_cast<const char*>(r.ExceptionInformation[1]);
    if (r.ExceptionCode == DBG_PRINTEXCEPTION_C) g_debug_texts.emplace_back(text);
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST(MemoryStream, RefusesWhatItCannotHoldChangesNothingAndTellsTheDebugger) {
    HeapLimit heap;
    CMemoryStream s(heap);
    s.WriteToStream("abc", 3);
    heap.fail_from = 4;
    g_debug_texts.clear();
    void* handler = AddVectoredExceptionHandler(1, &record_debug_text);
    EXPECT_EQ(kStreamError, s.WriteToStream("defgh", 5));
    EXPECT_EQ(kStreamError, s.SetSize(100));
    EXPECT_EQ(kStreamError, s.WriteUint32(7));
    EXPECT_EQ(kStreamError, s.WriteToStream(nullptr, 2));
    // position + count wraps to 2, below the size: written, it would run 4 GiB.
    EXPECT_EQ(kStreamError, s.WriteToStream("z", 0xFFFFFFFFu));
    RemoveVectoredExceptionHandler(handler);
    s.set_position(1);
    EXPECT_EQ(0u, s.ReadFromStream(nullptr, 2));
    EXPECT_EQ("abc", bytes(s));
    const std::string line = "CMemoryStream::SetSize(), can not reallocate memory, new memory size=";
    EXPECT_EQ((Lines{line + "8 bytes", line + "100 bytes", line + "7 bytes"}), g_debug_texts);
}

TEST(MemoryStream, WriteCallbackTakesSizeTimesCountOrReportsFailure) {
    LogCapture log{log_level_debug};
    HeapLimit heap;
    CMemoryStream s(heap);
    char data[] = "abcd";
    EXPECT_EQ(0u, http_get_write_callback(nullptr, 1, 4, &s) + http_get_write_callback(data, 1, 4, nullptr));
    EXPECT_EQ(4u, http_get_write_callback(data, 2, 2, static_cast<CStream*>(&s)));
    // A chunk past 4 GiB: what was stored is reported, so libcurl sees the short write.
    EXPECT_EQ(1u, http_get_write_callback(data, 1, (size_t(1) << 32) + 1, static_cast<CStream*>(&s)));
    s.SetSize(4);
    s.set_position(4);
    heap.fail_from = 0;  // the stream takes no more: libcurl must see 0 and abort
    EXPECT_EQ(0u, http_get_write_callback(data, 1, 4, static_cast<CStream*>(&s)));
    EXPECT_EQ("abcd", bytes(s));
    log.flush();
    EXPECT_EQ(Lines{"[EROR] Can not write to memory stream"}, log.messages());
}

// A manual-reset event; a hang fails the test after 30 s instead of stalling it.
struct Gate {
    event_handle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    bool pass() { return WaitForSingleObject(event.get(), 30000) == WAIT_OBJECT_0; }
};

TEST(ThreadPoolTask, EndsOnlyOnceTheWorkRanOnceAndItsCapturesAreGone) {
    Gate destroying, release;
    std::atomic<int> runs{0};
    // The work's function object is this capture's last owner; the deleter holds the pool thread.
    std::shared_ptr<int> capture(new int(7), [&](int* p) { SetEvent(destroying.event.get()); release.pass(); delete p; });
    ThreadPoolTask task;
    EXPECT_TRUE(task.wait(0));  // nothing started yet
    ASSERT_TRUE(task.start([c = std::move(capture), &runs] { runs += *c; }));
    ASSERT_TRUE(destroying.pass()) << "the work's captures were never released";
    EXPECT_TRUE(task.running());  // still destroying what the work captured
    SetEvent(release.event.get());
    ASSERT_TRUE(task.wait(30000));
    EXPECT_EQ(7, runs.load());  // ran once
}

TEST(ThreadPoolTask, RefusesEmptyWorkAndASecondStartAndSurvivesAThrow) {
    ThreadPoolTask task;
    EXPECT_FALSE(task.start(std::function<void()>()));
    ASSERT_TRUE(task.start([] { throw 1; }));
    EXPECT_FALSE(task.start([] {}));
    EXPECT_TRUE(task.wait(30000));
}

const wchar_t kTalvernKey[] = L"SOFTWARE\\Torvi\\Talvern";

std::string perform_failed(CURLcode code) {
    return "curl_easy_perform() failed. curl_code = " + std::to_string(code) + ", " + curl_easy_strerror(code);
}

TEST(CurlClient, HandsBackTheBodyUpToItsFirstZeroByteOnlyOn200) {
    const std::string big = std::string(100 * 1024, 'q') + "r" + std::string(100 * 1024, 's');
    struct Case { int status; std::string body; size_t refuse_from; std::string response; };
    const Case cases[] = {{200, "abc", SIZE_MAX, "abc"}, {200, std::string("ab\0cd", 5), SIZE_MAX, "ab"},
                          {200, "", SIZE_MAX, ""}, {200, big, SIZE_MAX, big}, {204, "", SIZE_MAX, "untouched"},
                          {302, "nope", SIZE_MAX, "untouched"}, {200, "abc", 4, "abc"}};  // last: no room for a 0

    UpdateServer server;
    ASSERT_TRUE(server.start()) << server.error();
    HeapLimit heap;
    curl_client client(curl_options{10, 90, &heap});  // one handle, request after request
    ASSERT_TRUE(client.initialize());
    for (const Case& c : cases) {
        server.set_reply(UpdateServerReply{c.status, c.body});
        heap.fail_from = c.refuse_from;
        std::string response = "untouched";
        EXPECT_EQ(c.status == 200, client.http_post(server.base_url().c_str(), "x", response)) << c.status;
        EXPECT_EQ(c.response, response) << c.status;
    }
}

TEST(CurlClient, RefusedRequestsSendNothing) {
    LogCapture log{log_level_debug};
    UpdateServer server;
    ASSERT_TRUE(server.start()) << server.error();
    const std::string url = server.base_url() + "v1/update";
    const std::string huge = url + "?" + std::string(9 * 1024 * 1024, 'u');  // libcurl takes up to 8 MB
    curl_client client, idle;  // idle is never initialised: no handle
    ASSERT_TRUE(client.initialize());
    std::string response = "untouched";
    EXPECT_FALSE(client.http_post(url.c_str(), "", response) || client.http_post(nullptr, "x", response) ||
                 idle.http_post(url.c_str(), "x", response) || client.http_post(huge.c_str(), "x", response));
    EXPECT_EQ("untouched", response);
    EXPECT_TRUE(server.requests().empty());
    log.flush();
    const std::string refused = "[EROR] curl_easy_setopt() failed. curl_code = 43, ";
    EXPECT_EQ((Lines{refused + curl_easy_strerror(CURLE_BAD_FUNCTION_ARGUMENT), "[EROR] set_common_opt() failed."}),
              log.messages());
}

// A loopback listener whose backlog is full: one connection waits there, never accepted, and a further one is neither
// taken nor refused (Linux, and so Wine, drops its SYN while the queue is full; Windows would refuse it at once).
class FullListener {
public:
    FullListener() {
        WSADATA data;
        _started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        sockaddr_in address = {};
        address.sin_family = AF_INET, address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof(address);
        auto* a = reinterpret_cast<sockaddr*>(&address);
        _listener.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        _waiting.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        _full = _started && _listener && _waiting && bind(_listener.get(), a, length) == 0 &&
                listen(_listener.get(), 0) == 0 && getsockname(_listener.get(), a, &length) == 0 &&
                connect(_waiting.get(), a, length) == 0;
        _url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/v1/update";
    }
    ~FullListener() {
        _waiting.reset(), _listener.reset();
        if (_started) WSACleanup();
    }
    bool full() const { return _full; }
    const std::string& url() const { return _url; }

private:
    bool _started = false, _full = false;
    unique_socket _listener, _waiting;
    std::string _url;
};

// With the product's time-outs a server that never takes the connection ends the request after the 10 s connect
// time-out, not the 90 s one of the whole request: within 40 s, or cancel ends it with another line.
TEST(CurlClient, GivesUpConnectingAfterTheConnectTimeOut) {
    FullListener server;
    ASSERT_TRUE(server.full()) << WSAGetLastError();
    LogCapture log{log_level_debug};
    curl_client client;
    ASSERT_TRUE(client.initialize());
    std::atomic<bool> ended{false};
    std::string response = "untouched";
    std::thread request([&] {
        EXPECT_FALSE(client.http_post(server.url().c_str(), "x", response));
        ended = true;
    });
    if (!wait_until([&] { return ended.load(); }, 40000)) client.cancel();
    request.join();
    log.flush();
    const Lines timed_out{"[EROR] " + perform_failed(CURLE_OPERATION_TIMEDOUT), "[EROR] perform() failed."};
    EXPECT_EQ(timed_out, log.messages());
    EXPECT_EQ("untouched", response);
}

// closes: takes the request, closes without an answer; cuts: closes half-way through the answer;
// the last two take the request and never answer.
enum class Server { answers, refuses, closes, cuts, times_out, hangs };

TEST(TalvernUpdater, PostsTheExactBodyAndLogsEveryFailure) {
    const char* const guid = "{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}";
    const std::string body = "{ \"info\":{\"product_type\": \"talvern\",\"product_version\": \"" TALVERN_VERSION_COMMA_TEXT "\","
                             "\"group_guid\": \"{5D0C3E91-27B4-4F6A-8E13-9A2B7C4D6E80}\",\"host_guid\": \"";
    const wchar_t* const wguid = L"{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}";
    // HostGuid as set (null: no value, so nothing is sent) and as the body carries it; the first error line, if any.
    struct Case { const wchar_t* host; Server server; const char* host_json; std::string failure; };
    const Case cases[] = {
        {wguid, Server::answers, guid, ""},
        {L"a\"b\\c\t\x01/", Server::answers, "a\\\"b\\\\c\\t\\u0001/", ""},  // escaped for JSON
        // Always UTF-8, whatever the ANSI code page; a surrogate without its partner becomes U+FFFD.
        {L"\x00e9", Server::answers, "\xc3\xa9", ""},
        {L"caf\x00e9\x20ac \xd83d\xde00", Server::answers, "caf\xc3\xa9\xe2\x82\xac \xf0\x9f\x98\x80", ""},
        {L"a\xd800|\xdc00z\xd83d", Server::answers, "a\xef\xbf\xbd|\xef\xbf\xbdz\xef\xbf\xbd", ""},
        {nullptr, Server::answers, nullptr, ""},
        {wguid, Server::refuses, guid, "http request failed. response code = 500"},
        {wguid, Server::closes, guid, perform_failed(CURLE_GOT_NOTHING)},
        {wguid, Server::cuts, guid, perform_failed(CURLE_PARTIAL_FILE)},
        {wguid, Server::times_out, guid, perform_failed(CURLE_OPERATION_TIMEDOUT)},
        {wguid, Server::hangs, guid, perform_failed(CURLE_ABORTED_BY_CALLBACK)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        LogCapture log{log_level_debug};
        scoped_registry_value host(HKEY_LOCAL_MACHINE, kTalvernKey, L"HostGuid");
        ASSERT_TRUE(c.host ? host.set(c.host) : host.remove());
        UpdateServer server;
        UpdateServerReply reply{c.server == Server::refuses ? 500 : 200, std::string(1000, 'b')};
        reply.close = c.server == Server::closes, reply.cut = c.server == Server::cuts;
        reply.hang = c.server >= Server::times_out;
        server.set_reply(reply);
        ASSERT_TRUE(server.start()) << server.error();
        const std::string base = server.base_url() + "tv/";  // a base URL with a path
        TalvernUpdater updater(base, curl_options{10, c.server == Server::times_out ? 1 : 90});
        ASSERT_EQ(c.host != nullptr, updater.initialize());
        Lines expected{"[INFO] cURL initialized. "};
        if (c.host) {
            expected.push_back("[INFO] TalvernUpdater initialized. ");
            std::thread canceller([&] {  // the 90 s time-out is far off: only cancel ends a hanging request
                if (c.server == Server::hangs && server.wait_for_requests(1, 30000)) updater.cancel();
            });
            EXPECT_FALSE(updater.check_talvern_update());  // the answer is never interpreted
            canceller.join();
        }
        if (!c.failure.empty()) expected.insert(expected.end(), {"[EROR] " + c.failure, "[EROR] perform() failed.",
                                                                 "[EROR] http_post(" + base + "v1/update) failed."});
        log.flush();
        EXPECT_EQ(expected, log.messages());
        Lines sent;  // what reached the server, body and all
        for (const RecordedRequest& r : server.requests()) sent.push_back(r.method + " " + r.path + " " + r.body);
        EXPECT_EQ(c.host ? Lines{"POST /tv/v1/update " + body + c.host_json + "\"} }"} : Lines{}, sent);
    }
}

// No server or logger here takes a handle: a key left open moves the (lowest free) slot a new handle gets.
TEST(TalvernUpdater, ClosesTheKeyWhetherHostGuidIsThereOrNot) {
    scoped_registry_value host(HKEY_LOCAL_MACHINE, kTalvernKey, L"HostGuid");
    const auto next_handle = [] { return unique_handle(CreateEventW(nullptr, TRUE, FALSE, nullptr)).get(); };
    for (const bool present : {false, true}) {
        ASSERT_TRUE(present ? host.set(L"H") : host.remove());
        TalvernUpdater("http://127.0.0.1:9/").initialize();  // opens what the system keeps cached
        const HANDLE before = next_handle();
        EXPECT_EQ(present, TalvernUpdater("http://127.0.0.1:9/").initialize());
        EXPECT_EQ(before, next_handle()) << (present ? "HostGuid present" : "HostGuid missing");
    }
}

// The agent object in this process, its service played by ServiceStub.
class TrayUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        server.set_reply(UpdateServerReply{200, "abc", 0, true});  // takes the request, never answers
        ASSERT_TRUE(server.start()) << server.error();
        options.connect_retry_ms = 20, options.update_base_url = server.base_url();
        log_set_show_function_name(true);
    }
    void TearDown() override { log_set_show_function_name(false); }
    tray_options options;
    LogCapture log{log_level_debug};
    UpdateServer server;
    ServiceStub service;
};

TEST_F(TrayUpdate, StopCancelsTheHangingRequestAndWaitsForTheTask) {
    TalvernTray tray(options);
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(server.wait_for_requests(1, 30000)) << "the agent sent no update request";
    tray.stop();  // the request would hang for its 90 s time-out
    log.flush();
    // The task's last line comes before stop's own: stop waited for it.
    EXPECT_TRUE(log.in_order({
        "[INFO] TalvernUpdater::initialize : TalvernUpdater initialized. ",
        "[DEBG] TalvernTray::start : TalvernUpdater initialized successfully.",
        "[EROR] curl_client::perform : " + perform_failed(CURLE_ABORTED_BY_CALLBACK),
        "[DEBG] TalvernTray::start::<lambda> : update worker update = X",
        "[INFO] TalvernTray::stop : Talvern tray stopped successfully."}));
    EXPECT_EQ("/v1/update", server.requests().at(0).path);
}

TEST_F(TrayUpdate, MissingHostGuidEndsTheStartBeforeTheServiceChannel) {
    scoped_registry_value host(HKEY_LOCAL_MACHINE, kTalvernKey, L"HostGuid");
    ASSERT_TRUE(host.remove());
    TalvernTray tray(options);
    EXPECT_FALSE(tray.start());
    tray.stop();
    log.flush();
    EXPECT_EQ(1u, log.count("[EROR] TalvernTray::start : Can not initialize Talvern updater"));
    const std::string first_try = "Trying to connect to talvern service. 1 th try.";
    EXPECT_EQ(0u, log.count("[DEBG] TalvernTray::open_tray_to_svc_events : " + first_try));
}

}  // namespace
