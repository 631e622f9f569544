// The agent with its PNP monitor: an event the plug-in reports reaches the
// service as a section record; stop takes the monitor down first; start fails
// with the monitor's lines when the plug-in is missing or incomplete (those
// cases run from the copies of this executable without a full plug-in).
#include "app/service_channel_seam.h"
#include "app/talvern_tray.h"
#include "log/log.h"
#include "tests/app/service_stub.h"
#include "tests/pnp/pnp_test_support.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

size_t index_of(const std::vector<std::string>& messages, const std::string& message) {
    return static_cast<size_t>(std::find(messages.begin(), messages.end(), message) - messages.begin());
}

class AgentWithPlugin : public testing::Test {
protected:
    void SetUp() override { set_service_connect_retry_for_test(20, 50); }
    void TearDown() override { reset_service_connect_retry_for_test(); }
    LogCapture log{log_level_debug};
};

TEST_F(AgentWithPlugin, PluginEventReachesTheServiceAsARecord) {
    test_plugin plugin;
    ASSERT_TRUE(plugin.loaded());
    ServiceStub service;
    service.serve(0, true);
    wchar_t target[MAX_PATH] = {};
    ASSERT_NE(0u, QueryDosDeviceW(L"C:", target, MAX_PATH));
    {
        TalvernTray tray;
        ASSERT_TRUE(tray.start());
        EXPECT_EQ(1, plugin.start_calls());
        ASSERT_EQ(1, plugin.fire(1, L"C:"));
        ASSERT_EQ(1, plugin.fire(7, L"c:"));
        ASSERT_EQ(1, plugin.fire(2, L"Q:"));  // unknown: logged and dropped
        ASSERT_TRUE(service.wait_for(2, 20000));
        tray.stop();
        EXPECT_EQ(1, plugin.stop_calls());
        EXPECT_EQ(0, plugin.fire(1, L"C:"));  // stopped: nothing more comes
    }
    const auto deliveries = service.deliveries();
    ASSERT_EQ(2u, deliveries.size());
    ASSERT_TRUE(deliveries[0].decoded);
    EXPECT_EQ(1, deliveries[0].record.event_type);
    EXPECT_EQ(L"C:", deliveries[0].record.drive_letter);
    EXPECT_EQ(L"IDE\\Disk\\VEN_WINE", deliveries[0].record.pnp_device_id);
    EXPECT_EQ(L"WINEHDISK", deliveries[0].record.serial_number);
    EXPECT_EQ(std::wstring(target), deliveries[0].record.device_name);
    ASSERT_TRUE(deliveries[1].decoded);
    EXPECT_EQ(7, deliveries[1].record.event_type);
    EXPECT_EQ(L"c:", deliveries[1].record.drive_letter);

    sync_log(log);
    const auto messages = log.messages();
    EXPECT_EQ(1u, log.count("[EROR] get_pnp_info_by_drive_letter( drive_letter=Q: ) failed. "));
    // The monitor runs before the worker starts and stops before it is joined.
    EXPECT_LT(index_of(messages, "[DEBG] PNP monitor running."),
              index_of(messages, "[DEBG] Talvern tray worker created successfully."));
    EXPECT_LT(index_of(messages, "[DEBG] PNP monitor stopped."),
              index_of(messages, "[DEBG] tray worker thread returned."));
    EXPECT_LT(index_of(messages, "[DEBG] tray worker thread returned."), messages.size());
}

// Runs from build/tests/pnp-noplugin.
TEST(PnpNoPlugin, AgentStartFailsAtTheMonitor) {
    set_service_connect_retry_for_test(20, 50);
    LogCapture log(log_level_debug);
    ServiceStub service;
    {
        TalvernTray tray;
        EXPECT_FALSE(tray.start());
        tray.stop();
        tray.stop();
    }
    reset_service_connect_retry_for_test();
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] no dll, dll=" + narrow(test_exe_dir() + L"\\TalvernP.dll")));
    EXPECT_EQ(1u, log.count("[EROR] _pnp_mon->initialize() failed."));
    EXPECT_EQ(0u, log.count("[DEBG] PNP monitor running."));
    EXPECT_EQ(1u, log.count("[DEBG] PNP monitor stopped."));  // the monitor was created, and is destroyed once
    EXPECT_EQ(0u, log.count("[DEBG] tray worker thread returned."));
}

// Runs from build/tests/pnp-startonly.
TEST(PnpStartOnlyPlugin, AgentStartFailsAtTheMonitor) {
    set_service_connect_retry_for_test(20, 50);
    LogCapture log(log_level_debug);
    ServiceStub service;
    {
        TalvernTray tray;
        EXPECT_FALSE(tray.start());
        tray.stop();
    }
    reset_service_connect_retry_for_test();
    EXPECT_EQ(nullptr, GetModuleHandleW((test_exe_dir() + L"\\TalvernP.dll").c_str()));
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] no function, Start|Stop."));
    EXPECT_EQ(1u, log.count("[EROR] _pnp_mon->initialize() failed."));
    EXPECT_EQ(1u, log.count("[DEBG] PNP monitor stopped."));
}

}  // namespace
