// TalvernP.dll, the reference device-event plug-in of the tray agent.
//
// It reports drive letters as they come and go:
//   event byte 1  a drive letter arrived   (the agent rebuilds its disk tables)
//   event byte 2  a drive letter went away
// each with the drive letter as a two-character wide string, letter and colon
// ("E:"). Drive letters present when Start is called are not reported.
//
// A watcher thread owns a hidden window that receives the system's
// WM_DEVICECHANGE broadcasts (DBT_DEVICEARRIVAL / DBT_DEVICEREMOVECOMPLETE for
// DBT_DEVTYP_VOLUME); the window procedure only notes the change, which the
// thread reports once the procedure has returned. The window is a top-level one that is never shown: a
// message-only window does not receive broadcasts. Every second the thread also
// looks for drive letters that change without a broadcast reaching it (under
// Wine: a drive that Wine's mount manager adds to or removes from the prefix's
// dosdevices/). That look is cheap: which letters' roots answer
// GetFileAttributesW (no I/O for a local root; under Wine no wineserver round
// trip). Only when that set changes does the thread take the full picture,
// the drive map (GetLogicalDrives) and each letter's root (GetDriveTypeW),
// which under Wine costs about fifty wineserver round trips, each a wake-up of
// the thread. Letters of network drives are left out of the cheap look (a
// disconnected one could block it); a broadcast or the next full look reports
// them. Between looks the thread sleeps in its message wait.
//
// Each start, stop and reported event is also written to the debugger output
// ("TalvernP: E: arrived (event 1)").
//
// Every callback comes from the watcher thread, so callbacks never overlap.
// Stop signals the thread and waits for it: when Stop returns no callback is
// running and none can come. Exports "Start" and "Stop" (see TalvernP.def).
#include "pnp/plugin_contract.h"
#include "base/handles.h"
#include "base/thread_name.h"

#include <windows.h>
#include <dbt.h>

#include <mutex>

extern "C" {
__declspec(dllexport) void Start(void* context, device_event_fn callback);
__declspec(dllexport) void Stop();
}

namespace {

constexpr uint8_t kEventArrival = 1;
constexpr uint8_t kEventRemoval = 2;
constexpr DWORD kPollIntervalMs = 1000;
const wchar_t* const kWindowClass = L"TalvernPDeviceWatcher";

struct watcher_state {
    std::mutex lock;  // serialises Start and Stop
    unique_handle thread;
    DWORD thread_id = 0;
    event_handle stop_event;
    void* context = nullptr;
    device_event_fn callback = nullptr;
    DWORD known_drives = 0;  // watcher thread only, once it runs
    // The cheap look of the last second: letters whose root answered, and the
    // network letters it leaves out. Watcher thread only, once it runs.
    DWORD answering_roots = 0;
    DWORD remote_drives = 0;
    // A broadcast's change, noted by the window procedure and reported by the
    // thread's loop once the procedure has returned (so the broadcaster does
    // not wait for the agent). Watcher thread only.
    bool broadcast_pending = false;
    DWORD broadcast_drives = 0;
};

watcher_state g_watcher;

HMODULE this_module() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&this_module), &module);
    return module;
}

void report(uint8_t event_type, DWORD drives) {
    for (int i = 0; i < 26; ++i) {
        if ((drives & (1u << i)) != 0) {
            const wchar_t letter[3] = {static_cast<wchar_t>(L'A' + i), L':', L'\0'};
            char line[64];
            wsprintfA(line, "TalvernP: %c: %s (event %u)\n", 'A' + i,
                      event_type == kEventArrival ? "arrived" : "went away", event_type);
            OutputDebugStringA(line);
            g_watcher.callback(g_watcher.context, event_type, letter);
        }
    }
}

// Drive letters with a root behind them. A letter can stay in the drive map
// after its volume went away (Wine keeps it); its root is then gone.
DWORD present_drives() {
    DWORD drives = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        const wchar_t root[4] = {static_cast<wchar_t>(L'A' + i), L':', L'\\', L'\0'};
        if ((drives & (1u << i)) != 0 && GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR) {
            drives &= ~(1u << i);
        }
    }
    return drives;
}

// The drive letters other than network ones whose root answers now.
DWORD answering_roots(DWORD remote) {
    DWORD answering = 0;
    for (int i = 0; i < 26; ++i) {
        const wchar_t root[4] = {static_cast<wchar_t>(L'A' + i), L':', L'\\', L'\0'};
        if ((remote & (1u << i)) == 0 && GetFileAttributesW(root) != INVALID_FILE_ATTRIBUTES) {
            answering |= 1u << i;
        }
    }
    return answering;
}

// Network letters among drives.
DWORD remote_drives(DWORD drives) {
    DWORD remote = 0;
    for (int i = 0; i < 26; ++i) {
        const wchar_t root[4] = {static_cast<wchar_t>(L'A' + i), L':', L'\\', L'\0'};
        if ((drives & (1u << i)) != 0 && GetDriveTypeW(root) == DRIVE_REMOTE) {
            remote |= 1u << i;
        }
    }
    return remote;
}

// Brings known_drives to present, reporting what went away, then what came.
void update_drives(DWORD present) {
    const DWORD removed = g_watcher.known_drives & ~present;
    const DWORD arrived = present & ~g_watcher.known_drives;
    g_watcher.known_drives = present;
    report(kEventRemoval, removed);
    report(kEventArrival, arrived);
}

LRESULT CALLBACK watcher_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DEVICECHANGE && (wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE)) {
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
        if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_VOLUME) {
            const DWORD units = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(lparam)->dbcv_unitmask;
            const DWORD drives = g_watcher.broadcast_pending ? g_watcher.broadcast_drives : g_watcher.known_drives;
            g_watcher.broadcast_drives = wparam == DBT_DEVICEARRIVAL ? (drives | units) : (drives & ~units);
            g_watcher.broadcast_pending = true;
        }
        return TRUE;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

HWND create_watcher_window(HINSTANCE instance) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &watcher_proc;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return nullptr;
    }
    return CreateWindowExW(0, kWindowClass, L"TalvernP", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, instance,
                           nullptr);
}

DWORD WINAPI watcher_thread(void* param) {
    // The thread holds a reference of its own on the library, so its code stays
    // mapped until it has left it.
    module_handle module(static_cast<HMODULE>(param));
    // Without a window (no desktop) the poll alone finds the changes.
    HWND window = create_watcher_window(module.get());
    OutputDebugStringA(window != nullptr ? "TalvernP: watching drive letters.\n"
                                         : "TalvernP: watching drive letters (no window, polling only).\n");

    name_this_thread(L"TalvernPWatcher");
    ULONGLONG next_poll = GetTickCount64() + kPollIntervalMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD wait_ms = next_poll > now ? static_cast<DWORD>(next_poll - now) : 0;
        const HANDLE stop_event = g_watcher.stop_event.get();
        const DWORD woke = MsgWaitForMultipleObjects(1, &stop_event, FALSE, wait_ms, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) {
            break;
        }
        // Only a wait that input ended has messages to take: after a time-out
        // the look at the queue would be one more wineserver round trip.
        MSG msg;
        while (woke == WAIT_OBJECT_0 + 1 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (g_watcher.broadcast_pending) {
            g_watcher.broadcast_pending = false;
            update_drives(g_watcher.broadcast_drives);
        }
        // A wait that timed out is the look's turn, even when it ended a
        // moment before the tick count reached it (which would cost a second
        // wait of a millisecond or so).
        if (woke == WAIT_TIMEOUT || GetTickCount64() >= next_poll) {
            const DWORD answering = answering_roots(g_watcher.remote_drives);
            if (answering != g_watcher.answering_roots) {
                g_watcher.answering_roots = answering;
                const DWORD present = present_drives();
                g_watcher.remote_drives = remote_drives(present);
                update_drives(present);
            }
            next_poll = GetTickCount64() + kPollIntervalMs;
        }
    }

    if (window != nullptr) {
        DestroyWindow(window);
    }
    UnregisterClassW(kWindowClass, module.get());
    OutputDebugStringA("TalvernP: stopped.\n");
    FreeLibraryAndExitThread(module.release(), 0);
    return 0;
}

}  // namespace

void Start(void* context, device_event_fn callback) {
    std::lock_guard<std::mutex> guard(g_watcher.lock);
    if (g_watcher.thread && WaitForSingleObject(g_watcher.thread.get(), 0) == WAIT_OBJECT_0) {
        // The thread of a Stop made from inside a callback has ended by now.
        g_watcher.thread.reset();
        g_watcher.stop_event.reset();
    }
    if (g_watcher.thread || callback == nullptr) {
        return;  // already started, or nobody to report to
    }
    module_handle module;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&this_module),
                            module.put())) {
        return;
    }
    g_watcher.stop_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!g_watcher.stop_event) {
        return;
    }
    g_watcher.context = context;
    g_watcher.callback = callback;
    // Drives present now are the baseline; only later changes are reported.
    g_watcher.known_drives = present_drives();
    g_watcher.remote_drives = remote_drives(g_watcher.known_drives);
    g_watcher.answering_roots = answering_roots(g_watcher.remote_drives);
    g_watcher.thread.reset(CreateThread(nullptr, 0, &watcher_thread, module.get(), 0, &g_watcher.thread_id));
    if (!g_watcher.thread) {
        g_watcher.stop_event.reset();
        return;
    }
    module.release();  // the thread's reference now, given back by FreeLibraryAndExitThread
}

void Stop() {
    std::lock_guard<std::mutex> guard(g_watcher.lock);
    if (!g_watcher.thread) {
        return;
    }
    SetEvent(g_watcher.stop_event.get());
    if (GetCurrentThreadId() == g_watcher.thread_id) {
        // Called from inside a callback: the thread ends after that callback
        // returns; it cannot wait for itself. Its handles stay open until the
        // next Start (or the library's unload) closes them.
        return;
    }
    WaitForSingleObject(g_watcher.thread.get(), INFINITE);
    g_watcher.thread.reset();
    g_watcher.thread_id = 0;
    g_watcher.stop_event.reset();
    g_watcher.callback = nullptr;
    g_watcher.context = nullptr;
}
