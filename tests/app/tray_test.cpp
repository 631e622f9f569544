// The agent object in this process against a service played by the test: start-up
// and its failure at each step, retries, delivery of records, time-outs and stop.
#include "app/talvern_tray.h"
#include "app/tray_window.h"
#include "log/log.h"
#include "nameconv/name_converter.h"
#include "tests/support/log_capture.h"
#include "tests/support/registry_value.h"
#include "tests/support/service_stub.h"
#include "tests/support/test_env.h"
#include "tools/update_server/update_server.h"
#include "base/handles.h"

#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <regex>
#include <thread>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using lines = std::vector<std::string>;

namespace {

const std::string kConverterUp = "[INFO] NameConverter api initialized.", kGuardMade = "[DEBG] no-dup handle created.",
                  kGuardClosed = "[DEBG] no-dup handle closed.", kStopped = "[INFO] Talvern tray stopped successfully.";

std::string nodup_name() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return "Global\\tnodup_" + std::to_string(session);
}
std::string pid_name(const char* prefix) { return "Global\\" + (prefix + std::to_string(GetCurrentProcessId())); }
std::string open_failed(const char* p) { return "[EROR] Can not open event object. object=" + pid_name(p) + ", gle=2"; }
auto try_line(size_t n) { return "[DEBG] Trying to connect to talvern service. " + std::to_string(n) + " th try."; }

// The guard and the service's objects that can still be opened by name.
lines objects_left() {
    lines left;
    for (const std::string& name : {nodup_name(), pid_name("ttosq_"), pid_name("ttosr_"), pid_name("ttosd_")}) {
        const unique_handle h(name.find("ttosd_") == name.npos ? OpenEventA(SYNCHRONIZE, FALSE, name.c_str())
                                                               : OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()));
        if (h) left.push_back(name);
    }
    return left;
}

pnp_info* make_record(uint8_t event, size_t id_length = 12) {
    return new pnp_info{0x01DA000000000000ull + event, event, L"E:", std::wstring(id_length, L'I'), L"SN1", L"X"};
}

lines started(size_t failed_tries) {
    lines out = {kConverterUp, kGuardMade};
    for (size_t n = 1; n <= failed_tries; ++n) out.insert(out.end(), {try_line(n), open_failed("ttosr_")});
    out.insert(out.end(), {try_line(failed_tries + 1), "[INFO] tray to svc events opened successfully.",
                           "[INFO] tray to svc section opened successfully.",
                           "[DEBG] Connected to ROOT\\CIMV2 WMI name space.", "[DEBG] PNP monitor running.",
                           "[DEBG] Talvern tray worker created successfully.",
                           "[INFO] Talvern tray started successfully."});
    return out;
}

class Agent : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(_update_server.start()) << _update_server.error(); }
    // The agent's options: a quick retry, the test's update server.
    tray_options options(DWORD retry_ms = 20, uint32_t tries = 0xFFFFFFFF) {
        tray_options o;
        o.connect_retry_ms = retry_ms, o.connect_max_tries = tries, o.update_base_url = _update_server.base_url();
        return o;
    }
    // Messages so far, then forgotten; the update check's lines (tested with the update path) are left out.
    lines take() {
        _log.flush();
        lines out = _log.messages();
        _log.clear();
        // A request still running when stop cancels it logs its failure: also left out.
        const std::regex update(R"(cURL|Updater|update =|perform\(\)|curl_easy_perform|http_post\()");
        const auto is_update = [&](const std::string& m) { return std::regex_search(m, update); };
        out.erase(std::remove_if(out.begin(), out.end(), is_update), out.end());
        return out;
    }

    // An update server that takes the request and never answers.
    static bool start_hung(UpdateServer& server) {
        UpdateServerReply never;
        never.hang = true;
        server.set_reply(never);
        return server.start();
    }

    LogCapture _log{log_level_debug};
    UpdateServer _update_server;
};

TEST_F(Agent, StartsInOrderAndStopReleasesEverything) {
    auto service = std::make_unique<ServiceStub>();
    TalvernTray tray(options());
    ASSERT_TRUE(tray.start());
    EXPECT_THAT(take(), ElementsAreArray(started(0)));
    EXPECT_FALSE(tray.start());  // it holds the guard: a second start ends there, without a word
    EXPECT_THAT(take(), ElementsAre(kConverterUp));
    tray.stop();
    EXPECT_THAT(take(), ElementsAre("[DEBG] PNP monitor stopped.", "[DEBG] Talvern tray worker thread returned.",
                                    "[DEBG] tray worker thread returned.", kGuardClosed, kStopped));
    service.reset();
    EXPECT_THAT(objects_left(), IsEmpty());
    NameConverter* converter = NameConverter::get_instance();
    EXPECT_FALSE(converter->loaded());  // the agent's reference was the last one
    NameConverter::release_instance(converter);
    tray.tray_worker();  // a worker of a stopped agent returns at once
    EXPECT_THAT(take(), ElementsAre("[DEBG] Talvern tray worker thread returned."));
}

TEST_F(Agent, StartFailingAtEachStepIsCleanedUpByStop) {
    struct failure {
        const char* name;
        bool provider_order_removed, guard_held;
        ServiceStub::options service;
        lines start, stop;
    };
    const std::string q = open_failed("ttosq_"), r = open_failed("ttosr_");
    const failure rows[] = {
        {"name converter", true, false, {}, {"[EROR] Can not initialize NameCovnerter api."}, {kStopped}},
        {"guard held", false, true, {}, {kConverterUp, "[EROR] Talvern tray is already running."}, {kStopped}},
        {"service events missing", false, false, {false, false, false},
         {kConverterUp, kGuardMade, try_line(1), q, r, try_line(2), q, r, try_line(3), q, r,
          "[EROR] Can not connect talvern service. ", "[EROR] open_tray_to_svc_events() faild. "},
         {kGuardClosed, kStopped}},
        {"section missing", false, false, {true, true, false},
         {kConverterUp, kGuardMade, try_line(1), "[INFO] tray to svc events opened successfully.",
          "[EROR] OpenFileMappingW() failed. section=" + pid_name("ttosd_") + ", gle=2",
          "[EROR] open_tray_to_svc_section() failed. "},
         {kGuardClosed, kStopped}},
    };
    for (const failure& row : rows) {
        SCOPED_TRACE(row.name);
        take();  // the last row's agent, stopped once more by its destructor
        scoped_registry_value order(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\NetworkProvider\\Order",
                                    L"ProviderOrder");
        if (row.provider_order_removed) { ASSERT_TRUE(order.remove()); }
        event_handle guard(row.guard_held ? CreateEventA(nullptr, FALSE, FALSE, nodup_name().c_str()) : nullptr);
        auto service = std::make_unique<ServiceStub>(row.service);
        TalvernTray tray(options(10, 3));
        EXPECT_FALSE(tray.start());
        lines got = take();
        // The converter's own lines come first; they are tested with it.
        if (row.provider_order_removed) got.erase(got.begin(), got.end() - std::min<size_t>(got.size(), 1));
        EXPECT_THAT(got, ElementsAreArray(row.start));
        tray.stop();
        EXPECT_THAT(take(), ElementsAreArray(row.stop));
        guard.reset();
        service.reset();
        EXPECT_THAT(objects_left(), IsEmpty());  // nothing the agent took is held any more
    }
}

TEST_F(Agent, OnlyTheMissingEventIsRetriedAndALateOneConnects) {
    auto service = std::make_unique<ServiceStub>(ServiceStub::options{true, false, true});  // no response event
    std::thread late([&] {
        _log.wait_for(open_failed("ttosr_"), 10000, 3);  // the third try has failed: the fourth finds the event
        service->create(ServiceStub::options());
    });
    TalvernTray tray(options(100));
    const bool started_up = tray.start();
    late.join();
    ASSERT_TRUE(started_up);
    const lines got = take();
    const size_t failed = std::count(got.begin(), got.end(), open_failed("ttosr_"));
    EXPECT_GE(failed, 3u);
    EXPECT_THAT(got, ElementsAreArray(started(failed)));
    tray.stop();
    service.reset();
    EXPECT_THAT(objects_left(), IsEmpty());  // the event there from the first try was opened once
}

TEST_F(Agent, RecordsGoInOrderOneAtATimeAndAnOversizedOneIsDropped) {
    ServiceStub service;
    // Each answer comes 300 ms after its request, the first after 1.5 s: late, but well within the
    // agent's wait, so it still counts as the answer and the next record waits for it.
    service.serve(300, true, 1500);
    TalvernTray tray(options());
    EXPECT_FALSE(TalvernTray::on_pnp_event(&tray, nullptr));
    EXPECT_FALSE(TalvernTray::on_pnp_event(nullptr, make_record(1)));  // and frees the record
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(1)));  // before the worker exists
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(2)));
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(service.wait_for(1, 10000));
    // While an answer is pending: a record too big for the view, then two more.
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(9, 3000)));
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(3)));
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(4)));
    ASSERT_TRUE(service.wait_for(4, 20000));
    ASSERT_TRUE(_log.wait_for("[INFO] response signal received.", 10000, 4));
    EXPECT_EQ(0u, service.empty_requests());  // the dropped record raised no signal
    EXPECT_EQ(1u, _log.count("[EROR] pnp->write_to_section() failed."));
    tray.stop();
    const auto got = service.deliveries();
    ASSERT_EQ(4u, got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(i + 1, got[i].record.event_type);
        EXPECT_FALSE(got[i].overlapped) << "record " << i + 1 << " was disturbed before its answer";
    }
}

TEST_F(Agent, UnansweredRecordTimesOutTheNextGoesAndStopEndsItsWait) {
    ServiceStub service;
    service.serve(0, false);  // never answers
    TalvernTray tray(options());
    ASSERT_TRUE(tray.start());
    for (uint8_t i = 1; i <= 3; ++i) ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(i)));
    // The first record's wait runs out; the second goes and waits in turn.
    ASSERT_TRUE(service.wait_for(2, 20000));
    ASSERT_TRUE(_log.wait_for("[WARN] no response signal. wait ret=258", 10000));
    take();
    tray.stop();
    EXPECT_THAT(take(), ElementsAre("[DEBG] PNP monitor stopped.", "[INFO] response signal received.",
                                    "[DEBG] Talvern tray worker thread returned.",
                                    "[DEBG] tray worker thread returned.", kGuardClosed, kStopped));
    // The third record was dropped: after the second the service saw only stop's signal.
    ASSERT_TRUE(wait_until([&] { return service.empty_requests() == 1; }, 10000));
    EXPECT_EQ(2u, service.deliveries().size());
}

// After a failed signal the worker pauses before its next step; stop ends the pause, here one without end.
TEST_F(Agent, StopEndsThePauseAfterAFailedSignal) {
    ServiceStub service;
    service.serve(0, true);
    tray_options o = options();
    o.signal_request = [](HANDLE) -> BOOL { return SetLastError(ERROR_INVALID_HANDLE), FALSE; };
    o.signal_failure_pause_ms = INFINITE;
    TalvernTray tray(o);
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(1)));
    ASSERT_TRUE(_log.wait_for("[EROR] SetEvent() failed. gle=6", 10000));
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(2)));  // wakes the worker, but does not end the pause
    take();
    tray.stop();
    EXPECT_THAT(take(), ElementsAre("[DEBG] PNP monitor stopped.", "[DEBG] Talvern tray worker thread returned.",
                                    "[DEBG] tray worker thread returned.", kGuardClosed, kStopped));
}

TEST_F(Agent, LateAnswerDoesNotEndTheNextRecordsWait) {
    ServiceStub service;
    service.serve(300, true, 5500);  // the first answer comes after the agent's 5000 ms wait
    TalvernTray tray(options());
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(1)));
    ASSERT_TRUE(wait_until([&] { return service.answers() == 1; }, 15000));  // the late answer is in
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(2)));
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(3)));
    ASSERT_TRUE(service.wait_for(3, 10000));
    tray.stop();
    const auto got = service.deliveries();
    for (size_t i = 1; i < got.size(); ++i) {
        EXPECT_TRUE(got[i].decoded);
        EXPECT_EQ(i + 1, got[i].record.event_type);
        EXPECT_FALSE(got[i].overlapped) << "record " << i + 1 << " was overwritten before its answer";
    }
}

TEST_F(Agent, StopSignalsTheRequestOnlyOnceTheWorkerHasEnded) {
    ServiceStub service;
    service.serve(0, true);
    TalvernTray tray(options());
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(1)));
    ASSERT_TRUE(_log.wait_for("[INFO] response signal received.", 10000));
    DWORD worker_id = 0;  // the worker's thread id, from its line's "( pid:  tid)" field
    for (const std::string& line : _log.lines()) {
        if (LogCapture::message_of(line) == "[INFO] response signal received.") {
            worker_id = std::stoul(line.substr(line.find(':', line.find('(')) + 1));
        }
    }
    const unique_handle worker(OpenThread(SYNCHRONIZE, FALSE, worker_id));
    ASSERT_TRUE(worker);
    service.watch_thread(worker.get());
    tray.stop();
    ASSERT_TRUE(wait_until([&] { return service.empty_requests() == 1; }, 10000));
    EXPECT_TRUE(service.ended_before_empty_request()) << "stop signalled the service while the worker still ran";
}

// The entry routine on a thread of its own, as the agent's UI thread. A failed start leaves the agent to
// the process's end: it goes with the runner.
struct agent_main {
    explicit agent_main(const tray_options& options) : run([this, options] {
        thread_id = GetCurrentThreadId(), result = TalvernTrayMain(GetModuleHandleW(nullptr), options), done = true;
    }) {}
    ~agent_main() { run.join(), delete _talvern_tray, _talvern_tray = nullptr; }
    bool ended(DWORD timeout_ms) const { return wait_until([this] { return done.load(); }, timeout_ms); }
    std::atomic<DWORD> thread_id{0};
    std::atomic<int> result{1};
    std::atomic<bool> done{false};
    std::thread run;
};

TEST_F(Agent, FailedStartCancelsTheUpdateRequestBeforeTheAgentEnds) {
    UpdateServer hung;
    ASSERT_TRUE(start_hung(hung));
    tray_options to_hung = options();
    to_hung.update_base_url = hung.base_url();
    ServiceStub service(ServiceStub::options{true, true, false});  // no section: start fails after the update task
    agent_main agent(to_hung);
    ASSERT_TRUE(agent.ended(60000)) << "the agent did not end";
    EXPECT_EQ(-1, agent.result);
    // The entry routine finalised the log: the request's end came before it.
    EXPECT_EQ(1u, _log.count(std::string("[EROR] curl_easy_perform() failed. curl_code = 42, ") +
                             curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK)));
}

// The agent's dialog, the one window of its UI thread.
HWND dialog_of(const agent_main& agent) {
    HWND dialog = nullptr;
    EnumThreadWindows(agent.thread_id, [](HWND window, LPARAM found) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }, reinterpret_cast<LPARAM>(&dialog));
    return dialog;
}

TEST_F(Agent, ClosingTheDialogWhileTheServiceIsAbsentEndsTheAgent) {
    agent_main agent(options(200));
    ASSERT_TRUE(_log.wait_for(open_failed("ttosr_"), 10000, 2)) << "the agent is not waiting for the service";
    const HWND dialog = dialog_of(agent);
    ASSERT_NE(nullptr, dialog);
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    ASSERT_TRUE(agent.ended(20000)) << "WM_CLOSE went unanswered while the agent waited for the service";
    EXPECT_EQ(-1, agent.result);
}

// What the agent's end_process saw: how often it came, with which code, and the log and the agent then.
// stop_logged: empty when the log then held stop_lines in this order, else what was amiss.
struct process_end {
    std::atomic<int> calls{0};
    int code = 1;
    bool agent_left = true;
    std::string stop_logged = "not ended";
} _process_end;
LogCapture* _end_log = nullptr;
lines _stop_lines;
void recording_end_process(int code) {
    _process_end.code = code, _process_end.agent_left = _talvern_tray != nullptr;
    const ::testing::AssertionResult logged = _end_log->in_order(_stop_lines);
    _process_end.stop_logged = logged ? "" : logged.message();
    ++_process_end.calls;
}

TEST_F(Agent, SessionEndStopsEverythingBeforeItsMessageReturnsAndACalledOffOneNothing) {
    ServiceStub service;
    service.serve(0, false);  // never answers: the worker waits for it when the session ends
    UpdateServer hung;
    ASSERT_TRUE(start_hung(hung));
    tray_options o = options();
    o.update_base_url = hung.base_url(), o.end_process = &recording_end_process;
    // Before the process is ended: the plug-in stopped, the worker's wait given up, the update request
    // cancelled, all of it logged and drained.
    _end_log = &_log;
    _stop_lines = {"[INFO] session ends. reason=0x1", "[DEBG] PNP monitor stopped.",
                   "[INFO] response signal received.", "[DEBG] Talvern tray worker thread returned.",
                   "[DEBG] tray worker thread returned.", kGuardClosed,
                   std::string("[EROR] curl_easy_perform() failed. curl_code = 42, ") +
                       curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK), kStopped};
    agent_main agent(o);
    ASSERT_TRUE(wait_until([] { return _talvern_tray != nullptr; }, 10000));
    for (uint8_t i = 1; i <= 2; ++i) ASSERT_TRUE(TalvernTray::on_pnp_event(_talvern_tray, make_record(i)));
    ASSERT_TRUE(service.wait_for(1, 20000));  // started, and waiting for the first record's answer
    ASSERT_TRUE(hung.wait_for_requests(1, 20000));  // the request is out
    log_set_level(log_level_debug);  // the entry routine set the agent's own level
    const HWND dialog = dialog_of(agent);
    ASSERT_NE(nullptr, dialog);

    EXPECT_EQ(TRUE, SendMessageW(dialog, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP));
    SendMessageW(dialog, WM_ENDSESSION, FALSE, 0);  // called off: the agent goes on
    _log.flush();
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_EQ(0, _process_end.calls.load());
    EXPECT_EQ(0u, _log.count("[DEBG] PNP monitor stopped."));

    const auto sent = std::chrono::steady_clock::now();
    SendMessageW(dialog, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
    std::cout << "[ figure ] WM_ENDSESSION handled in " << std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - sent).count() << " ms (silent service, hung update server)\n";
    ASSERT_EQ(1, _process_end.calls.load());
    EXPECT_EQ(0, _process_end.code);
    EXPECT_FALSE(_process_end.agent_left);
    EXPECT_EQ("", _process_end.stop_logged);
    ASSERT_TRUE(agent.ended(10000));
    EXPECT_EQ(0, agent.result);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(1u, service.deliveries().size());  // the second record was dropped
}

}  // namespace
