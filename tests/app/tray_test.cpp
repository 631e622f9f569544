// The agent object in this process against a service played by the test:
// start-up order and its failures, the single-instance guard, delivery of
// queued records one at a time, time-outs, and shut-down from every state.
#include "app/service_channel_seam.h"
#include "app/talvern_tray.h"
#include "log/log.h"
#include "log/log_settings.h"
#include "nameconv/name_converter.h"
#include "tests/app/service_stub.h"
#include "tests/support/log_capture.h"
#include "tools/update_server/update_server.h"
#include "update/update_base_url.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

using ::testing::ElementsAre;

namespace {

std::string pid_name(const char* prefix) {
    return prefix + std::to_string(GetCurrentProcessId());
}

DWORD session_id() {
    DWORD id = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &id);
    return id;
}

std::wstring nodup_name() {
    return L"Global\\tnodup_" + std::to_wstring(session_id());
}

pnp_info* make_record(uint8_t event, const wchar_t* drive, const wchar_t* id = L"USBSTOR\\DISK",
                      const wchar_t* serial = L"SN1", const wchar_t* device = L"\\Device\\HarddiskVolume9") {
    pnp_info* info = new pnp_info();
    info->time = 0x01DA000000000000ull + event;
    info->event_type = event;
    info->drive_letter = drive;
    info->pnp_device_id = id;
    info->serial_number = serial;
    info->device_name = device;
    return info;
}

// Lines of the update check, which runs on a pool thread beside the start-up and
// has tests of its own (tests/update/tray_update_test.cpp).
bool is_update_check_line(const std::string& message) {
    return message == "[INFO] cURL initialized. " || message == "[INFO] TalvernUpdater initialized. " ||
           message == "[DEBG] TalvernUpdater initialized successfully." ||
           message == "[DEBG] update worker update = X";
}

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        set_service_connect_retry_for_test(20, 0xFFFFFFFF);
        // The agent's update request goes to a local server that answers 200.
        ASSERT_TRUE(_update_server.start()) << _update_server.error();
        set_update_base_url_for_test(_update_server.base_url());
    }
    void TearDown() override {
        reset_service_connect_retry_for_test();
        set_update_base_url_for_test("");
    }

    // Messages so far, after the writer has handed every queued line over
    // (the update check's own lines left out).
    std::vector<std::string> drained() {
        finalize_log();
        std::vector<std::string> out = _log.messages();
        out.erase(std::remove_if(out.begin(), out.end(), is_update_check_line), out.end());
        initialize_log();
        log_set_level(log_level_debug);
        return out;
    }
    // Forgets every line logged so far, queued ones included.
    void reset_log() {
        drained();
        _log.clear();
    }
    size_t count(const std::vector<std::string>& messages, const std::string& message) {
        return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
    }

    LogCapture _log{log_level_debug};
    UpdateServer _update_server;
};

TEST_F(TrayTest, StartsInOrderAndStopsTwiceWhileIdle) {
    ServiceStub service;
    {
        TalvernTray tray;
        ASSERT_TRUE(tray.start());
        EXPECT_TRUE(NameConverter::get_instance()->loaded());  // the agent's reference keeps it loaded
        NameConverter::release_instance(nullptr);
        EXPECT_THAT(drained(), ElementsAre("[INFO] NameConverter api initialized.", "[DEBG] no-dup handle created.",
                                           "[DEBG] Trying to connect to talvern service. 1 th try.",
                                           "[INFO] tray to svc events opened successfully.",
                                           "[INFO] tray to svc section opened successfully.",
                                           "[DEBG] Connected to ROOT\\CIMV2 WMI name space.",
                                           "[DEBG] PNP monitor running.",
                                           "[DEBG] Talvern tray worker created successfully.",
                                           "[INFO] Talvern tray started successfully."));
        reset_log();

        // A second start fails at the guard without a message of its own.
        EXPECT_FALSE(tray.start());
        EXPECT_THAT(drained(), ElementsAre("[INFO] NameConverter api initialized."));
        reset_log();

        tray.stop();
        const std::vector<std::string> stopped = drained();
        EXPECT_THAT(stopped, ElementsAre("[DEBG] PNP monitor stopped.", "[DEBG] Talvern tray worker thread returned.",
                                         "[DEBG] tray worker thread returned.", "[DEBG] no-dup handle closed.",
                                         "[INFO] Talvern tray stopped successfully."));
        // stop signalled both service events once; the idle worker consumed neither.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(service.request(), 0));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(service.response(), 0));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(service.response(), 0));
        reset_log();

        // Everything is released: the guard is gone and the converter too.
        HANDLE guard = OpenEventW(SYNCHRONIZE, FALSE, nodup_name().c_str());
        EXPECT_EQ(nullptr, guard);
        if (guard != nullptr) CloseHandle(guard);
        EXPECT_FALSE(NameConverter::get_instance()->loaded());
        NameConverter::release_instance(nullptr);

        tray.stop();
        EXPECT_THAT(drained(), ElementsAre("[INFO] Talvern tray stopped successfully."));
        reset_log();
    }
    // The destructor stops once more.
    EXPECT_THAT(drained(), ElementsAre("[INFO] Talvern tray stopped successfully."));
}

TEST_F(TrayTest, SecondAgentInTheSessionIsRefusedUntilTheFirstStops) {
    ServiceStub service;
    TalvernTray first;
    ASSERT_TRUE(first.start());
    reset_log();
    {
        TalvernTray second;
        EXPECT_FALSE(second.start());
        EXPECT_THAT(drained(), ElementsAre("[INFO] NameConverter api initialized.",
                                           "[EROR] Talvern tray is already running."));
        reset_log();
        second.stop();
        // The refused agent closed its handle at once: nothing of it to close now.
        EXPECT_THAT(drained(), ElementsAre("[INFO] Talvern tray stopped successfully."));
    }
    // The first agent still holds the guard.
    HANDLE guard = OpenEventW(SYNCHRONIZE, FALSE, nodup_name().c_str());
    EXPECT_NE(nullptr, guard);
    if (guard != nullptr) CloseHandle(guard);
    first.stop();

    TalvernTray third;
    EXPECT_TRUE(third.start());
    third.stop();
}

TEST_F(TrayTest, QueuedRecordsArriveInOrderOneAtATime) {
    ServiceStub service;
    service.serve(300, true);  // each answer comes 300 ms after the request
    TalvernTray tray;
    // Two records queued before the worker exists; both go, the older first.
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(1, L"E:")));
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(2, L"F:")));
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(service.wait_for(1, 10000));
    // These arrive while the worker waits for the first answer.
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(3, L"G:", L"", L"", L"\\Device\\Mup")));
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(4, L"H:")));
    ASSERT_TRUE(service.wait_for(4, 20000));
    ASSERT_TRUE(_log.wait_for("[INFO] response signal received.", 10000, 4));
    tray.stop();

    const auto got = service.deliveries();
    ASSERT_EQ(4u, got.size());
    const wchar_t* drives[] = {L"E:", L"F:", L"G:", L"H:"};
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(got[i].decoded);
        EXPECT_EQ(i + 1, got[i].record.event_type);
        EXPECT_EQ(drives[i], got[i].record.drive_letter);
        EXPECT_EQ(0x01DA000000000000ull + i + 1, got[i].record.time);
        EXPECT_FALSE(got[i].overlapped) << "record " << i + 1 << " was disturbed before its answer";
    }
    EXPECT_EQ(L"", got[2].record.pnp_device_id);
    EXPECT_EQ(L"\\Device\\Mup", got[2].record.device_name);
    const std::vector<std::string> messages = drained();
    EXPECT_EQ(0u, count(messages, "[WARN] no response signal. wait ret=258"));
}

TEST_F(TrayTest, ServiceThatNeverAnswersCostsFiveSecondsPerRecord) {
    ServiceStub service;
    service.serve(0, false);
    TalvernTray tray;
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(1, L"E:", L"A-LONGER-DEVICE-ID", L"SERIAL-ONE")));
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(2, L"F:", L"B", L"", L"X")));
    ASSERT_TRUE(service.wait_for(2, 20000));
    ASSERT_TRUE(_log.wait_for("[WARN] no response signal. wait ret=258", 20000, 2));

    const auto got = service.deliveries();
    ASSERT_EQ(2u, got.size());
    // The second record waited for the first one's time-out of 5000 ms.
    EXPECT_GE(got[1].tick - got[0].tick, 4900u);
    // and overwrote the section: the view now holds the second, shorter record.
    section_record now;
    std::string error;
    std::vector<uint8_t> copy(service.view(), service.view() + 4096);
    copy[0] = 1;
    ASSERT_TRUE(read_section_record(copy.data(), copy.size(), now, error)) << error;
    EXPECT_EQ(2, now.event_type);
    EXPECT_EQ(L"X", now.device_name);
    tray.stop();
    EXPECT_EQ(0u, count(drained(), "[INFO] response signal received."));
}

TEST_F(TrayTest, StopWhileWaitingForTheAnswerEndsTheWaitAndDropsTheRest) {
    ServiceStub service;
    service.serve(0, false);
    TalvernTray tray;
    ASSERT_TRUE(tray.start());
    for (uint8_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(i, L"E:")));
    }
    ASSERT_TRUE(service.wait_for(1, 10000));
    tray.stop();
    // The response signal of stop ended the wait; the other two never went out.
    const std::vector<std::string> messages = drained();
    EXPECT_EQ(1u, count(messages, "[INFO] response signal received."));
    EXPECT_EQ(0u, count(messages, "[WARN] no response signal. wait ret=258"));
    EXPECT_EQ(1u, count(messages, "[DEBG] Talvern tray worker thread returned."));
    Sleep(200);
    EXPECT_EQ(1u, service.deliveries().size());
}

TEST_F(TrayTest, RecordTooLargeForTheViewIsDroppedWithoutSignal) {
    ServiceStub service;
    service.serve(0, true);
    TalvernTray tray;
    ASSERT_TRUE(tray.start());
    std::wstring huge(3000, L'x');
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(1, L"E:", huge.c_str())));
    ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(2, L"F:")));
    ASSERT_TRUE(service.wait_for(1, 10000));
    ASSERT_TRUE(_log.wait_for("[INFO] response signal received.", 10000));
    tray.stop();
    const auto got = service.deliveries();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(2, got[0].record.event_type);
    EXPECT_EQ(1u, count(drained(), "[EROR] pnp->write_to_section() failed."));
}

TEST_F(TrayTest, CallbackRefusesNullArguments) {
    TalvernTray tray;
    EXPECT_FALSE(TalvernTray::on_pnp_event(&tray, nullptr));
    EXPECT_FALSE(TalvernTray::on_pnp_event(nullptr, make_record(1, L"E:")));  // the record is freed
}

TEST_F(TrayTest, WorkerOfAStoppedAgentReturnsAtOnce) {
    TalvernTray tray;
    tray.stop();
    reset_log();
    tray.tray_worker();
    EXPECT_THAT(drained(), ElementsAre("[DEBG] Talvern tray worker thread returned."));
}

// ---- start failing at each step, then stop -----------------------------------

class ProviderOrderRemoved {
public:
    ProviderOrderRemoved() {
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\NetworkProvider\\Order", 0,
                      KEY_READ | KEY_WRITE, &_key);
        DWORD size = sizeof(_value) - sizeof(wchar_t);
        RegQueryValueExW(_key, L"ProviderOrder", nullptr, nullptr, reinterpret_cast<BYTE*>(_value), &size);
        RegDeleteValueW(_key, L"ProviderOrder");
    }
    ~ProviderOrderRemoved() {
        RegSetValueExW(_key, L"ProviderOrder", 0, REG_SZ, reinterpret_cast<const BYTE*>(_value),
                       static_cast<DWORD>((wcslen(_value) + 1) * sizeof(wchar_t)));
        RegCloseKey(_key);
    }

private:
    HKEY _key = nullptr;
    wchar_t _value[1024] = {};
};

TEST_F(TrayTest, NameConverterFailure) {
    ServiceStub service;
    ProviderOrderRemoved removed;
    TalvernTray tray;
    EXPECT_FALSE(tray.start());
    const std::vector<std::string> messages = drained();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ("[EROR] Can not initialize NameCovnerter api.", messages.back());
    reset_log();
    tray.stop();
    tray.stop();
    EXPECT_THAT(drained(), ElementsAre("[INFO] Talvern tray stopped successfully.",
                                       "[INFO] Talvern tray stopped successfully."));
    // No guard was created.
    HANDLE guard = OpenEventW(SYNCHRONIZE, FALSE, nodup_name().c_str());
    EXPECT_EQ(nullptr, guard);
    if (guard != nullptr) CloseHandle(guard);
}

TEST_F(TrayTest, GuardHeldByAnotherAgent) {
    HANDLE other = CreateEventW(nullptr, FALSE, FALSE, nodup_name().c_str());
    ASSERT_NE(nullptr, other);
    TalvernTray tray;
    EXPECT_FALSE(tray.start());
    EXPECT_THAT(drained(), ElementsAre("[INFO] NameConverter api initialized.",
                                       "[EROR] Talvern tray is already running."));
    reset_log();
    tray.stop();
    EXPECT_THAT(drained(), ElementsAre("[INFO] Talvern tray stopped successfully."));
    CloseHandle(other);
}

TEST_F(TrayTest, ServiceEventsNeverAppear) {
    set_service_connect_retry_for_test(10, 3);
    TalvernTray tray;
    EXPECT_FALSE(tray.start());
    const std::string q = "[EROR] Can not open event object. object=" + pid_name("Global\\ttosq_") + ", gle=2";
    const std::string r = "[EROR] Can not open event object. object=" + pid_name("Global\\ttosr_") + ", gle=2";
    EXPECT_THAT(drained(),
                ElementsAre("[INFO] NameConverter api initialized.", "[DEBG] no-dup handle created.",
                            "[DEBG] Trying to connect to talvern service. 1 th try.", q, r,
                            "[DEBG] Trying to connect to talvern service. 2 th try.", q, r,
                            "[DEBG] Trying to connect to talvern service. 3 th try.", q, r,
                            "[EROR] Can not connect talvern service. ", "[EROR] open_tray_to_svc_events() faild. "));
    reset_log();
    tray.stop();
    EXPECT_THAT(drained(), ElementsAre("[DEBG] no-dup handle closed.", "[INFO] Talvern tray stopped successfully."));
}

TEST_F(TrayTest, OnlyTheMissingEventIsTriedAgainAndLateCreationConnects) {
    set_service_connect_retry_for_test(100, 0xFFFFFFFF);
    ServiceStub::options only_request;
    only_request.response = false;
    only_request.section = false;
    ServiceStub service(only_request);
    std::thread late([&] {
        _log.wait_for("[DEBG] Trying to connect to talvern service. 3 th try.", 10000);
        service.create(ServiceStub::options());
    });
    TalvernTray tray;
    const bool started = tray.start();
    late.join();
    EXPECT_TRUE(started);
    const std::vector<std::string> messages = drained();
    const std::string q = "[EROR] Can not open event object. object=" + pid_name("Global\\ttosq_") + ", gle=2";
    const std::string r = "[EROR] Can not open event object. object=" + pid_name("Global\\ttosr_") + ", gle=2";
    const size_t tries = count(messages, "[DEBG] Trying to connect to talvern service. 3 th try.");
    EXPECT_EQ(1u, tries);
    EXPECT_EQ(0u, count(messages, q));
    EXPECT_GE(count(messages, r), 3u);
    EXPECT_EQ(1u, count(messages, "[INFO] Talvern tray started successfully."));
    tray.stop();
}

TEST_F(TrayTest, SectionMissingFailsAtOnce) {
    ServiceStub::options no_section;
    no_section.section = false;
    ServiceStub service(no_section);
    TalvernTray tray;
    EXPECT_FALSE(tray.start());
    const std::string failed =
        "[EROR] OpenFileMappingW() failed. section=" + pid_name("Global\\ttosd_") + ", gle=2";
    EXPECT_THAT(drained(), ElementsAre("[INFO] NameConverter api initialized.", "[DEBG] no-dup handle created.",
                                       "[DEBG] Trying to connect to talvern service. 1 th try.",
                                       "[INFO] tray to svc events opened successfully.", failed,
                                       "[EROR] open_tray_to_svc_section() failed. "));
    reset_log();
    tray.stop();
    // The events were held: stop signals them once before closing.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(service.request(), 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(service.response(), 0));
    EXPECT_THAT(drained(), ElementsAre("[DEBG] no-dup handle closed.", "[INFO] Talvern tray stopped successfully."));
}

TEST_F(TrayTest, StopReleasesEveryHandleItTook) {
    ServiceStub service;
    DWORD before = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    {
        TalvernTray tray;
        ASSERT_TRUE(tray.start());
        ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, make_record(1, L"E:")));
        tray.stop();
    }
    DWORD after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_EQ(before, after);
}

}  // namespace
