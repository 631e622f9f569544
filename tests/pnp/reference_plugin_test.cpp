// The reference plug-in bin/TalvernP.dll: its two exports, arrival (1) and
// removal (2) of a drive letter that Wine's mount manager adds and removes, and
// a Stop after which no callback comes.
#include "pnp/plugin_contract.h"
#include "tests/pnp/wine_drive_link.h"

#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

struct reported {
    uint8_t event_type;
    std::wstring drive_letter;
    DWORD thread_id;
};

struct report_log {
    std::mutex lock;
    std::vector<reported> events;
    int calls_in_progress = 0;
    int overlapping = 0;

    static void callback(void* context, uint8_t event_type, const wchar_t* drive_letter) {
        auto* self = static_cast<report_log*>(context);
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->overlapping += self->calls_in_progress > 0 ? 1 : 0;
            ++self->calls_in_progress;
            self->events.push_back({event_type, drive_letter != nullptr ? drive_letter : L"(null)",
                                    GetCurrentThreadId()});
        }
        Sleep(1);
        std::lock_guard<std::mutex> guard(self->lock);
        --self->calls_in_progress;
    }

    size_t size() {
        std::lock_guard<std::mutex> guard(lock);
        return events.size();
    }

    bool wait_for(size_t count, DWORD timeout_ms) {
        for (DWORD waited = 0; waited < timeout_ms; waited += 50) {
            if (size() >= count) {
                return true;
            }
            Sleep(50);
        }
        return size() >= count;
    }
};

// bin/TalvernP.dll, from TALVERN_BIN_DIR (a Unix path) through Wine's Z: drive.
std::wstring reference_plugin_path() {
    wchar_t dir[1024] = {};
    const DWORD n = GetEnvironmentVariableW(L"TALVERN_BIN_DIR", dir, 1024);
    if (n == 0 || n >= 1024) {
        return std::wstring();
    }
    std::wstring path = dir;
    if (!path.empty() && path[0] == L'/') {
        path = L"Z:" + path;
    }
    for (auto& c : path) {
        c = (c == L'/') ? L'\\' : c;
    }
    return path + L"\\TalvernP.dll";
}

class ReferencePlugin : public testing::Test {
protected:
    void SetUp() override {
        const std::wstring path = reference_plugin_path();
        ASSERT_FALSE(path.empty()) << "TALVERN_BIN_DIR is not set";
        module = LoadLibraryW(path.c_str());
        ASSERT_NE(nullptr, module);
        start = reinterpret_cast<plugin_start_fn>(reinterpret_cast<void*>(GetProcAddress(module, "Start")));
        stop = reinterpret_cast<plugin_stop_fn>(reinterpret_cast<void*>(GetProcAddress(module, "Stop")));
        ASSERT_NE(nullptr, start);
        ASSERT_NE(nullptr, stop);
    }
    void TearDown() override {
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }

    HMODULE module = nullptr;
    plugin_start_fn start = nullptr;
    plugin_stop_fn stop = nullptr;
};

TEST_F(ReferencePlugin, ReportsArrivalAndRemovalOfADriveLetter) {
    const std::string why = wine_drive_link::unavailable_reason();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    const wchar_t letter = wine_drive_link::free_letter();
    ASSERT_NE(0, letter);
    wine_drive_link link(letter);

    report_log log;
    start(&log, &report_log::callback);
    ASSERT_TRUE(link.create());
    ASSERT_TRUE(log.wait_for(1, 10000));
    ASSERT_TRUE(link.remove());
    ASSERT_TRUE(log.wait_for(2, 10000));
    stop();

    const size_t after_stop = log.size();
    Sleep(1500);  // longer than one poll: nothing comes after Stop
    EXPECT_EQ(after_stop, log.size());

    ASSERT_EQ(2u, log.events.size());
    EXPECT_EQ(1, log.events[0].event_type);
    EXPECT_EQ(link.drive(), log.events[0].drive_letter);
    EXPECT_EQ(2, log.events[1].event_type);
    EXPECT_EQ(link.drive(), log.events[1].drive_letter);
    EXPECT_NE(GetCurrentThreadId(), log.events[0].thread_id);  // the watcher's thread
    EXPECT_EQ(0, log.overlapping);
}

// A volume arrival broadcast is reported at once; the next poll finds no root
// behind the letter and reports its removal.
TEST_F(ReferencePlugin, VolumeBroadcastReachesTheWatcherWindow) {
    wchar_t letter = 0;
    for (wchar_t c = L'Y'; c >= L'M'; --c) {
        const wchar_t root[] = {c, L':', L'\\', L'\0'};
        if ((GetLogicalDrives() & (1u << (c - L'A'))) == 0 && GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR) {
            letter = c;
            break;
        }
    }
    ASSERT_NE(0, letter);
    report_log log;
    start(&log, &report_log::callback);
    HWND window = nullptr;
    for (int i = 0; i < 100 && window == nullptr; ++i) {
        window = FindWindowW(L"TalvernPDeviceWatcher", nullptr);
        Sleep(20);
    }
    if (window == nullptr) {
        stop();
        GTEST_SKIP() << "no window here (no desktop): the plug-in polls only";
    }
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (letter - L'A');
    EXPECT_EQ(TRUE, SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume)));
    ASSERT_GE(log.size(), 1u);  // handled inside SendMessageW
    ASSERT_TRUE(log.wait_for(2, 5000));
    stop();

    const std::wstring drive = std::wstring(1, letter) + L":";
    ASSERT_EQ(2u, log.events.size());
    EXPECT_EQ(1, log.events[0].event_type);
    EXPECT_EQ(drive, log.events[0].drive_letter);
    EXPECT_EQ(2, log.events[1].event_type);
    EXPECT_EQ(drive, log.events[1].drive_letter);
    EXPECT_EQ(log.events[0].thread_id, log.events[1].thread_id);
    EXPECT_NE(GetCurrentThreadId(), log.events[0].thread_id);
}

TEST_F(ReferencePlugin, DrivesPresentAtStartAreNotReportedAndStopIsRepeatable) {
    report_log log;
    start(&log, &report_log::callback);
    start(&log, &report_log::callback);  // a second Start keeps the running watcher
    Sleep(1500);
    stop();
    stop();
    EXPECT_EQ(0u, log.size());

    // Started again after Stop, it works as before.
    start(&log, &report_log::callback);
    stop();
    EXPECT_EQ(0u, log.size());
}

}  // namespace
