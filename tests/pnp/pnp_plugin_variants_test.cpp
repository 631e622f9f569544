// PNPMonitor next to a missing or incomplete plug-in. These cases run from
// copies of the test executable in folders of their own (see CMakeLists.txt):
// PnpNoPlugin where no TalvernP.dll exists, PnpStartOnlyPlugin where the
// TalvernP.dll exports "Start" but no "Stop".
#include "pnp/pnp_monitor.h"

#include "log/log.h"
#include "tests/pnp/fake_disk_source.h"
#include "tests/pnp/pnp_test_support.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

namespace {

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(PnpNoPlugin, InitializeNamesTheFullPathTried) {
    const std::wstring path = test_exe_dir() + L"\\TalvernP.dll";
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
    LogCapture log(log_level_debug);
    fake_disk_source source;
    {
        PNPMonitor monitor(source);
        EXPECT_FALSE(monitor.initialize());
        EXPECT_FALSE(monitor.run(nullptr, &record_sink::on_pnp_event));
        monitor.stop();
        monitor.stop();
    }
    EXPECT_EQ(0, source.reloads.load());
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] no dll, dll=" + narrow(path)));
}

TEST(PnpStartOnlyPlugin, InitializeFailsAndStopUnloadsWithoutCallingIt) {
    const std::wstring path = test_exe_dir() + L"\\TalvernP.dll";
    LogCapture log(log_level_debug);
    fake_disk_source source;
    long start_calls = -1;
    {
        PNPMonitor monitor(source);
        EXPECT_FALSE(monitor.initialize());
        HMODULE module = GetModuleHandleW(path.c_str());
        ASSERT_NE(nullptr, module);  // the library stays loaded until stop
        ASSERT_NE(nullptr, GetProcAddress(module, "Start"));
        ASSERT_EQ(nullptr, GetProcAddress(module, "Stop"));
        auto start_count =
            reinterpret_cast<long (*)()>(reinterpret_cast<void*>(GetProcAddress(module, "TestStartCalls")));
        ASSERT_NE(nullptr, start_count);
        EXPECT_FALSE(monitor.run(nullptr, &record_sink::on_pnp_event));
        start_calls = start_count();
        monitor.stop();
        EXPECT_EQ(nullptr, GetModuleHandleW(path.c_str()));  // unloaded
        monitor.stop();
    }
    EXPECT_EQ(0, start_calls);
    EXPECT_EQ(0, source.reloads.load());  // WMI and the tables were never reached
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] no function, Start|Stop."));
}

}  // namespace
