// thread_exit_hook.dll: calls a hook from DLL_THREAD_DETACH, as a plug-in does
// that reports from its DllMain. The log tests use it to log on a thread's
// exit path, after the thread's fiber-local callbacks have run and while the
// loader lock is held.
#include <windows.h>

#include <atomic>

using thread_exit_hook = void (*)(void* context);

namespace {
std::atomic<thread_exit_hook> g_hook{nullptr};
std::atomic<void*> g_context{nullptr};
}  // namespace

// Sets (or, with null, removes) the hook every ending thread calls.
extern "C" __declspec(dllexport) void set_thread_exit_hook(thread_exit_hook hook, void* context) {
    g_hook = nullptr;
    g_context = context;
    g_hook = hook;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_THREAD_DETACH) {
        if (const thread_exit_hook hook = g_hook) hook(g_context);
    }
    return TRUE;
}
