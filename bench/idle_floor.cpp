// idle_floor.exe: the floor of the idle wake-up figure. A Wine process with a
// hidden top-level window (as the agent has) whose only thread sleeps in a
// message wait, without a time-out, until a message comes or the given
// number of milliseconds has passed. Whatever wakes it is Wine's own cost.
//   idle_floor.exe <ms>
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
    const DWORD ms = argc > 1 ? static_cast<DWORD>(strtoul(argv[1], nullptr, 10)) : 40000;
    HWND window = CreateWindowExW(0, L"STATIC", L"idle_floor", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    const ULONGLONG end = GetTickCount64() + ms;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        // One timed wait for the whole run: the time-out is the run's end, not a tick.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
    }
    if (window != nullptr) DestroyWindow(window);
    return 0;
}
