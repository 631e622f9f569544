// idle_floor.exe: the floor of the idle wake-up figure. A Wine process with a
// hidden top-level window (as the agent has) whose only thread sleeps in a
// message wait until a message comes or the given number of milliseconds has
// passed. Whatever wakes it is Wine's own cost. With a tick, the wait times
// out every tick_ms instead, as a thread with a periodic look does (and
// nothing else): the floor of a once-a-second scan.
//   idle_floor.exe <ms> [tick_ms]
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
    const DWORD ms = argc > 1 ? static_cast<DWORD>(strtoul(argv[1], nullptr, 10)) : 40000;
    const DWORD tick_ms = argc > 2 ? static_cast<DWORD>(strtoul(argv[2], nullptr, 10)) : 0;
    HWND window = CreateWindowExW(0, L"STATIC", L"idle_floor", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    const ULONGLONG end = GetTickCount64() + ms;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        // Without a tick, one timed wait for the whole run: its time-out is the run's end.
        const DWORD left = static_cast<DWORD>(end - now);
        const DWORD woke =
            MsgWaitForMultipleObjects(0, nullptr, FALSE, tick_ms != 0 && tick_ms < left ? tick_ms : left, QS_ALLINPUT);
        // As a careful waiter does: the queue is looked at only when input
        // came, and without yielding (each is a wineserver request).
        MSG msg;
        while (woke == WAIT_OBJECT_0 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD)) {
            DispatchMessageW(&msg);
        }
    }
    if (window != nullptr) DestroyWindow(window);
    return 0;
}
