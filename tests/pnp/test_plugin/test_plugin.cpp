// A device-event plug-in that reports whatever a test tells it to: the test
// loads it (as TalvernP.dll next to the test executable), lets the PNP monitor
// start it, and fires events through the extra exports below, from any thread,
// with any event byte, text or context. Built a second time with
// TEST_PLUGIN_START_ONLY, exporting "Start" but no "Stop".
#include "pnp/plugin_contract.h"

#include <windows.h>

#include <atomic>

#define TEST_PLUGIN_EXPORT extern "C" __declspec(dllexport)

namespace {

std::atomic<void*> g_context{nullptr};
std::atomic<device_event_fn> g_callback{nullptr};
std::atomic<bool> g_started{false};
std::atomic<bool> g_stopping{false};
std::atomic<long> g_active{0};  // fires inside the callback right now
std::atomic<long> g_start_calls{0};
std::atomic<long> g_stop_calls{0};

// What Start reports at once, before it returns (event byte < 0: nothing).
std::atomic<int> g_start_event{-1};
wchar_t g_start_letter[8] = {};

}  // namespace

TEST_PLUGIN_EXPORT void Start(void* context, device_event_fn callback) {
    ++g_start_calls;
    g_context = context;
    g_callback = callback;
    g_stopping = false;
    g_started = true;
    const int start_event = g_start_event.load();
    if (start_event >= 0 && callback != nullptr) {
        callback(context, static_cast<uint8_t>(start_event), g_start_letter);
    }
}

#ifndef TEST_PLUGIN_START_ONLY
TEST_PLUGIN_EXPORT void Stop() {
    ++g_stop_calls;
    // A fire either sees g_stopping and backs out, or is counted in g_active
    // before Stop looks (both sequentially consistent).
    g_stopping = true;
    while (g_active.load() != 0) {
        Sleep(1);
    }
    g_started = false;
}
#endif

// Calls the callback with an explicit context. 1 when the callback was called,
// 0 when the plug-in is not started or is stopping (the event is rejected).
TEST_PLUGIN_EXPORT int TestFireWithContext(void* context, uint8_t event_type, const wchar_t* drive_letter) {
    ++g_active;
    device_event_fn callback = g_callback.load();
    if (!g_started.load() || g_stopping.load() || callback == nullptr) {
        --g_active;
        return 0;
    }
    callback(context, event_type, drive_letter);
    --g_active;
    return 1;
}

// Calls the callback with the context Start was given.
TEST_PLUGIN_EXPORT int TestFire(uint8_t event_type, const wchar_t* drive_letter) {
    return TestFireWithContext(g_context.load(), event_type, drive_letter);
}

// Makes the next Start report one event before it returns (event_type < 0: none).
TEST_PLUGIN_EXPORT void TestSetStartEvent(int event_type, const wchar_t* drive_letter) {
    lstrcpynW(g_start_letter, drive_letter != nullptr ? drive_letter : L"", 8);
    g_start_event = event_type;
}

TEST_PLUGIN_EXPORT long TestStartCalls() { return g_start_calls.load(); }
TEST_PLUGIN_EXPORT long TestStopCalls() { return g_stop_calls.load(); }
TEST_PLUGIN_EXPORT void* TestStartContext() { return g_context.load(); }

TEST_PLUGIN_EXPORT void TestReset() {
    g_context = nullptr;
    g_callback = nullptr;
    g_started = false;
    g_stopping = false;
    g_start_calls = 0;
    g_stop_calls = 0;
    g_start_event = -1;
}
