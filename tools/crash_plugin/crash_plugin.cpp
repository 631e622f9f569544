// TalvernP.dll for the crash runs: a device-event plug-in that crashes the
// agent on request. The way comes from the environment variable TALVERN_CRASH,
// which the driver sets before it starts the agent:
//
//   thread    a write through a null pointer on a thread of the plug-in's own
//   start     a write through a null pointer inside Start, on the agent's main thread
//   recurse   unbounded recursion on a thread of the plug-in's own (stack overflow)
//
// Anything else (or nothing) starts a plug-in that does nothing. Each crashing
// function carries a "crash-function:" mark by which the test finds its lines.
#include "pnp/plugin_contract.h"
#include "base/handles.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#define CRASH_PLUGIN_EXPORT extern "C" __declspec(dllexport)

namespace {

// Read through volatile, so the compiler can neither see the null pointer
// (and put a trap in its place) nor end the recursion.
int* volatile g_nowhere = nullptr;
volatile unsigned g_deeper = 1;
// The thread's parameter: which crash it makes.
char kRecurseTag;
void* const kRecurse = &kRecurseTag;

void write_nowhere() {  // crash-function: null write
    *g_nowhere = 1;
}

unsigned recurse(unsigned depth) {  // crash-function: recursion
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (g_deeper != 0) {
        return recurse(depth + 1) + frame[0];
    }
    return frame[0];
}

DWORD WINAPI crash_thread(void* way) {
    if (way == kRecurse) {
        return recurse(0);
    }
    write_nowhere();
    return 0;
}

}  // namespace

CRASH_PLUGIN_EXPORT void Start(void* /*context*/, device_event_fn /*callback*/) {
    const char* way = std::getenv("TALVERN_CRASH");
    if (way == nullptr) {
        return;
    }
    if (std::strcmp(way, "start") == 0) {
        write_nowhere();
    } else if (std::strcmp(way, "thread") == 0 || std::strcmp(way, "recurse") == 0) {
        unique_handle thread(
            CreateThread(nullptr, 0, &crash_thread, std::strcmp(way, "recurse") == 0 ? kRecurse : nullptr, 0, nullptr));
    }
}

CRASH_PLUGIN_EXPORT void Stop() {}
