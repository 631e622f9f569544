// PNPMonitor with the scriptable test plug-in: the plug-in contract (Start,
// Stop, references on the library), the event path from the plug-in's callback
// to the owner's record, bad input from the plug-in, bursts from several
// threads, and a drive letter that really appears in Wine.
#include "pnp/pnp_monitor.h"

#include "log/log.h"
#include "tests/pnp/fake_disk_source.h"
#include "tests/pnp/pnp_test_support.h"
#include "tests/pnp/wine_drive_link.h"
#include "tests/support/log_capture.h"
#include "util/module_path_seam.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

uint64_t now_filetime() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

bool plugin_loaded() { return GetModuleHandleW((test_exe_dir() + L"\\TalvernP.dll").c_str()) != nullptr; }

class PnpMonitorEvents : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(plugin.loaded());
        source.add_logical(L"Disk #0, Partition #0", L"C:");
        source.add_logical(L"Disk #1, Partition #0", L"E:");
        source.add_logical(L"Disk #2, Partition #0", L"F:");
        source.add_partition(L"Disk #0, Partition #0", 0);
        source.add_partition(L"Disk #1, Partition #0", 1);
        source.add_partition(L"Disk #2, Partition #0", 2);
        source.add_drive(0, L"IDE\\Disk\\VEN_SYS", L"SYS-1");
        source.add_drive(1, L"USBSTOR\\Disk&Ven_Kingston", L"KS-42");
        // F:'s disk 2 is not among the drives.
        source.device_names[L'C'] = L"\\Device\\HarddiskVolume1";
        source.device_names[L'E'] = L"\\Device\\HarddiskVolume3";
        source.device_names[L'F'] = L"\\Device\\HarddiskVolume4";
    }

    void start() {
        monitor.reset(new PNPMonitor(source));
        ASSERT_TRUE(monitor->initialize());
        ASSERT_TRUE(monitor->run(&sink, &record_sink::on_pnp_event));
    }

    LogCapture log{log_level_debug};
    test_plugin plugin;  // loaded before, freed after the monitor
    fake_disk_source source;
    record_sink sink;
    std::unique_ptr<PNPMonitor> monitor;
};

TEST_F(PnpMonitorEvents, StartGetsTheMonitorAndEventsBecomeRecords) {
    start();
    EXPECT_EQ(1, plugin.start_calls());
    EXPECT_EQ(monitor.get(), plugin.start_context());

    const uint64_t before = now_filetime();
    for (uint8_t byte : {0, 1, 2, 255}) {
        ASSERT_EQ(1, plugin.fire(byte, L"E:"));
    }
    const uint64_t after = now_filetime();
    EXPECT_EQ(2, source.reloads.load());  // the first build and byte 1

    auto records = sink.take();
    ASSERT_EQ(4u, records.size());
    const uint8_t bytes[] = {0, 1, 2, 255};
    for (size_t i = 0; i < 4; ++i) {
        const pnp_info& info = *records[i].info;
        EXPECT_EQ(bytes[i], info.event_type);
        EXPECT_EQ(L"E:", info.drive_letter);
        EXPECT_EQ(L"USBSTOR\\Disk&Ven_Kingston", info.pnp_device_id);
        EXPECT_EQ(L"KS-42", info.serial_number);
        EXPECT_EQ(L"\\Device\\HarddiskVolume3", info.device_name);
        EXPECT_GE(info.time, before);
        EXPECT_LE(info.time, after);
        EXPECT_EQ(GetCurrentThreadId(), records[i].thread_id);  // synchronous on the plug-in's thread
    }
}

TEST_F(PnpMonitorEvents, RecordKeepsTheLetterAsSentAndEmptyIdentityForUnknownDisk) {
    start();
    ASSERT_EQ(1, plugin.fire(0, L"e:"));
    ASSERT_EQ(1, plugin.fire(0, L"F:"));
    auto records = sink.take();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(L"e:", records[0].info->drive_letter);
    EXPECT_EQ(L"KS-42", records[0].info->serial_number);
    EXPECT_EQ(L"F:", records[1].info->drive_letter);
    EXPECT_EQ(L"", records[1].info->pnp_device_id);
    EXPECT_EQ(L"", records[1].info->serial_number);
    EXPECT_EQ(L"\\Device\\HarddiskVolume4", records[1].info->device_name);
}

TEST_F(PnpMonitorEvents, UnresolvableLettersMakeNoRecord) {
    start();
    const std::wstring long_text(300, L'x');
    const std::vector<std::wstring> letters = {L"E", L"E:\\", L"", L"1:", long_text};
    for (const auto& letter : letters) {
        for (uint8_t byte : {0, 1, 2, 255}) {
            ASSERT_EQ(1, plugin.fire(byte, letter.c_str()));
        }
    }
    EXPECT_EQ(0u, sink.size());
    sync_log(log);
    for (const auto& letter : letters) {
        const std::string text(letter.begin(), letter.end());
        EXPECT_EQ(4u, log.count("[EROR] get_pnp_info_by_drive_letter( drive_letter=" + text + " ) failed. "))
            << text.substr(0, 10);
    }
    EXPECT_EQ(4u, log.count("[EROR] no disk and partition info by drive letter=1:"));
}

TEST_F(PnpMonitorEvents, NullLetterOrContextIsDroppedSilently) {
    start();
    ASSERT_EQ(1, plugin.fire(1, nullptr));
    ASSERT_EQ(1, plugin.fire_with_context(nullptr, 1, L"E:"));
    ASSERT_EQ(1, plugin.fire_with_context(nullptr, 0, nullptr));
    EXPECT_EQ(0u, sink.size());
    EXPECT_EQ(1, source.reloads.load());  // no refresh either
    sync_log(log);
    EXPECT_EQ(1u, log.messages().size());  // only the marker
}

TEST_F(PnpMonitorEvents, EventReportedDuringStartReachesTheOwner) {
    plugin.set_start_event(1, L"C:");
    start();
    auto records = sink.take();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(L"C:", records[0].info->drive_letter);
    EXPECT_EQ(L"SYS-1", records[0].info->serial_number);
}

TEST_F(PnpMonitorEvents, StopCallsStopOnceAndGivesBackOnlyItsReference) {
    start();
    monitor->stop();
    EXPECT_EQ(1, plugin.stop_calls());
    EXPECT_FALSE(monitor->initialized());
    EXPECT_EQ(0, plugin.fire(0, L"E:"));  // the plug-in no longer reports
    monitor->stop();
    EXPECT_EQ(1, plugin.stop_calls());
    EXPECT_TRUE(plugin_loaded());  // the test's own reference still holds it
    EXPECT_FALSE(monitor->run(&sink, &record_sink::on_pnp_event));
    EXPECT_EQ(1, plugin.start_calls());
    monitor.reset();
    EXPECT_EQ(1, plugin.stop_calls());
}

TEST_F(PnpMonitorEvents, DestructorStopsThePlugin) {
    start();
    monitor.reset();
    EXPECT_EQ(1, plugin.stop_calls());
    EXPECT_TRUE(plugin_loaded());
}

TEST_F(PnpMonitorEvents, RunBeforeInitializeDoesNotStartThePlugin) {
    PNPMonitor fresh(source);
    EXPECT_FALSE(fresh.run(&sink, &record_sink::on_pnp_event));
    source.init_result = false;
    EXPECT_FALSE(fresh.initialize());
    EXPECT_FALSE(fresh.run(&sink, &record_sink::on_pnp_event));
    EXPECT_EQ(0, plugin.start_calls());
    fresh.stop();
    // The exports were resolved before WMI failed: stop calls Stop all the same.
    EXPECT_EQ(1, plugin.stop_calls());
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] WmiClient::initialize() failed."));
}

// Two plug-in threads report at once: one keeps rebuilding the tables (byte 1),
// the other only looks up. Every accepted event arrives, in its thread's order.
TEST_F(PnpMonitorEvents, BurstFromTwoThreadsLosesNothing) {
    start();
    const int per_thread = 500;
    const wchar_t* const letters[] = {L"C:", L"E:", L"F:", L"e:", L"c:"};
    struct sent {
        uint8_t byte;
        std::wstring letter;
    };
    std::vector<sent> expected[2];
    for (int i = 0; i < per_thread; ++i) {
        expected[0].push_back({1, letters[i % 5]});
        const uint8_t other = static_cast<uint8_t>(i % 256 == 1 ? 0 : i % 256);
        expected[1].push_back({other, letters[(i + 2) % 5]});
    }
    std::atomic<int> accepted{0};
    DWORD thread_ids[2] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            thread_ids[t] = GetCurrentThreadId();
            for (const auto& e : expected[t]) {
                accepted += plugin.fire(e.byte, e.letter.c_str());
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(2 * per_thread, accepted.load());

    auto records = sink.take();
    ASSERT_EQ(static_cast<size_t>(2 * per_thread), records.size());
    std::map<DWORD, std::vector<const pnp_info*>> by_thread;
    for (const auto& r : records) {
        by_thread[r.thread_id].push_back(r.info.get());
    }
    for (int t = 0; t < 2; ++t) {
        const auto& got = by_thread[thread_ids[t]];
        ASSERT_EQ(expected[t].size(), got.size());
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(expected[t][i].byte, got[i]->event_type) << t << "/" << i;
            ASSERT_EQ(expected[t][i].letter, got[i]->drive_letter) << t << "/" << i;
            // Resolved against whole tables, never against a half-built one.
            const bool on_c = got[i]->drive_letter == L"C:" || got[i]->drive_letter == L"c:";
            const bool on_e = got[i]->drive_letter == L"E:" || got[i]->drive_letter == L"e:";
            ASSERT_EQ(on_c ? L"SYS-1" : on_e ? L"KS-42" : L"", got[i]->serial_number) << t << "/" << i;
        }
    }
    EXPECT_EQ(1 + per_thread, source.reloads.load());
}

// The monitor stops while two threads keep firing: what the plug-in accepted was
// delivered, what came after Stop was rejected by it, and nothing crashed.
TEST_F(PnpMonitorEvents, StopDuringABurstDeliversEveryAcceptedEvent) {
    start();
    std::atomic<int> accepted{0};
    std::atomic<int> rejected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            // Fires until the plug-in rejects an event, which it does only once
            // the monitor has stopped it.
            while (plugin.fire(static_cast<uint8_t>(t == 0 ? 1 : 2), L"E:") != 0) {
                ++accepted;
            }
            ++rejected;
        });
    }
    while (accepted.load() < 200) {
        Sleep(1);
    }
    monitor->stop();
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(static_cast<size_t>(accepted.load()), sink.size());
    EXPECT_EQ(2, rejected.load());
    EXPECT_EQ(1, plugin.stop_calls());
}

// A drive letter that appears in Wine after the last refresh: found on byte 1,
// not on byte 2. After it disappears, byte 2 still resolves it from the tables
// and the converter of the last refresh.
TEST(PnpMonitorWine, DriveAppearingAfterTheLastRefresh) {
    const std::string why = wine_drive_link::unavailable_reason();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    test_plugin plugin;
    ASSERT_TRUE(plugin.loaded());
    LogCapture log(log_level_debug);
    converter_reference converter;
    ASSERT_TRUE(converter.loaded());
    record_sink sink;
    const wchar_t letter = wine_drive_link::free_letter();
    ASSERT_NE(0, letter);
    wine_drive_link link(letter);
    const std::wstring drive = link.drive();
    const std::string drive_text(drive.begin(), drive.end());

    PNPMonitor monitor;
    ASSERT_TRUE(monitor.initialize());
    ASSERT_TRUE(monitor.run(&sink, &record_sink::on_pnp_event));
    ASSERT_TRUE(link.create());

    ASSERT_EQ(1, plugin.fire(2, drive.c_str()));
    EXPECT_EQ(0u, sink.size());
    ASSERT_EQ(1, plugin.fire(1, drive.c_str()));
    auto records = sink.take();
    ASSERT_EQ(1u, records.size());
    wchar_t target[MAX_PATH] = {};
    ASSERT_NE(0u, QueryDosDeviceW(drive.c_str(), target, MAX_PATH));
    EXPECT_EQ(1, records[0].info->event_type);
    EXPECT_EQ(drive, records[0].info->drive_letter);
    EXPECT_EQ(L"IDE\\Disk\\VEN_WINE", records[0].info->pnp_device_id);
    EXPECT_EQ(L"WINEHDISK", records[0].info->serial_number);
    EXPECT_EQ(std::wstring(target), records[0].info->device_name);

    ASSERT_TRUE(link.remove());
    ASSERT_EQ(1, plugin.fire(2, drive.c_str()));
    records = sink.take();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(2, records[0].info->event_type);
    EXPECT_EQ(L"WINEHDISK", records[0].info->serial_number);
    EXPECT_EQ(std::wstring(target), records[0].info->device_name);

    ASSERT_EQ(1, plugin.fire(1, drive.c_str()));  // the refresh forgets it
    EXPECT_EQ(0u, sink.size());
    monitor.stop();
    sync_log(log);
    EXPECT_EQ(2u, log.count("[EROR] no disk and partition info by drive letter=" + drive_text));
    EXPECT_EQ(2u, log.count("[EROR] get_pnp_info_by_drive_letter( drive_letter=" + drive_text + " ) failed. "));
}

}  // namespace

namespace {

// Without the executable's own folder the path would be relative to the root
// of the current drive; nothing is loaded from there.
TEST(PnpMonitorPath, NoModuleFolderLoadsNothing) {
    LogCapture log(log_level_debug);
    fake_disk_source source;
    set_module_path_failure_for_test(true);
    {
        PNPMonitor monitor(source);
        EXPECT_FALSE(monitor.initialize());
    }
    set_module_path_failure_for_test(false);
    EXPECT_EQ(0, source.reloads.load());
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] no dll, dll=\\TalvernP.dll"));
}

}  // namespace
