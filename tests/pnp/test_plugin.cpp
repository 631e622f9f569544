// The scriptable TalvernP.dll of the monitor tests: the test fires events through its extra exports and reads the
// calls it got. Built a second time with TEST_PLUGIN_START_ONLY, exporting "Start" but no "Stop", and a third time
// with TEST_PLUGIN_HELPER, importing TalvernPHelper.dll and reporting its event byte for "E:" from within Start.
#include "pnp/plugin_contract.h"

#include <string>

#define EXPORT extern "C" __declspec(dllexport)

namespace {
void* g_context = nullptr;
device_event_fn g_callback = nullptr;
bool g_running = false;
long g_stops = 0;
int g_report_in = 0;  // 1: the next Start reports one event from within, 2: the next Stop
uint8_t g_event = 0;
std::wstring g_letter;
void report_in(int call) {
    if (g_report_in == call) g_report_in = 0, g_callback(g_context, g_event, g_letter.c_str());
}
}  // namespace

#ifdef TEST_PLUGIN_HELPER
extern "C" __declspec(dllimport) uint8_t HelperEvent();
#endif

EXPORT void Start(void* context, device_event_fn callback) {
    g_context = context, g_callback = callback, g_running = true, report_in(1);
#ifdef TEST_PLUGIN_HELPER
    callback(context, HelperEvent(), L"E:");
#endif
}
#ifndef TEST_PLUGIN_START_ONLY
EXPORT void Stop() { ++g_stops, g_running = false, report_in(2); }
#endif
// Reports an event as the plug-in's watcher would; 0 when it is not running and turns the event away.
EXPORT int TestFire(uint8_t e, const wchar_t* l) { return g_running ? (g_callback(g_context, e, l), 1) : 0; }
EXPORT void TestReportIn(int call, uint8_t e, const wchar_t* l) { g_report_in = call, g_event = e, g_letter = l; }
EXPORT long TestStops() { return g_stops; }
