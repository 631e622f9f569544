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
// message-only window does not receive broadcasts. The watcher waits without a
// time-out: for a message, for Stop, or for the look thread's word.
//
// A look thread catches drive letters that change without a broadcast reaching
// the watcher (under Wine: a drive that Wine's mount manager adds to or removes
// from the prefix's dosdevices/). Every second it looks which letters' roots
// answer GetFileAttributesW (no I/O for a local root; under Wine no wineserver
// round trip), and only when that set changes does it wake the watcher, which
// takes the full picture: the drive map (GetLogicalDrives) and each letter's
// root (GetDriveTypeW), about fifty wineserver round trips under Wine, each a
// wake-up. Letters of network drives are left out of the cheap look (a
// disconnected one could block it); a broadcast or the next full picture
// reports them. The look thread sleeps with Sleep, which Wine runs in the
// process itself: one wake-up a second, where a wait on an object that times
// out costs two. It cannot be woken early, so Stop does not wait for it: it
// keeps its own reference on the library and its own state, sees the stop at
// its next turn and leaves, at most a second later. It never calls back.
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

#include <atomic>
#include <memory>
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

// What the look thread and the watcher share: one per Start, held by both
// threads, so that the look thread may outlive Stop and a later Start.
struct look_state {
    std::atomic<bool> stopped{false};
    std::atomic<DWORD> remote_drives{0};  // network letters, left out of the look; set by the watcher
    event_handle roots_changed{CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // the look's word to the watcher
    DWORD answering_roots = 0;  // letters whose root answered at the last look; look thread only, once it runs
};

struct watcher_state {
    std::mutex lock;  // serialises Start and Stop
    unique_handle thread;
    DWORD thread_id = 0;
    event_handle stop_event;
    std::shared_ptr<look_state> look;
    void* context = nullptr;
    device_event_fn callback = nullptr;
    DWORD known_drives = 0;  // watcher thread only, once it runs
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

// The look thread's turns until Stop; returns to leave the library.
void look_until_stopped(look_state& look) {
    name_this_thread(L"TalvernPLook");
    for (;;) {
        Sleep(kPollIntervalMs);
        if (look.stopped) {
            return;
        }
        const DWORD answering = answering_roots(look.remote_drives);
        if (answering != look.answering_roots) {
            look.answering_roots = answering;
            SetEvent(look.roots_changed.get());
        }
    }
}

DWORD WINAPI look_thread(void* param) {
    // Like the watcher, the thread holds a reference of its own on the library,
    // and gives it back as it leaves; the state goes with its last holder.
    {
        std::unique_ptr<std::shared_ptr<look_state>> look(static_cast<std::shared_ptr<look_state>*>(param));
        look_until_stopped(**look);
    }
    FreeLibraryAndExitThread(this_module(), 0);
    return 0;
}

// Starts the look thread for look; false when it cannot run.
bool start_look_thread(const std::shared_ptr<look_state>& look) {
    module_handle module;
    if (!look->roots_changed || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                                    reinterpret_cast<LPCWSTR>(&this_module), module.put())) {
        return false;
    }
    auto held = std::make_unique<std::shared_ptr<look_state>>(look);
    const unique_handle thread(CreateThread(nullptr, 0, &look_thread, held.get(), 0, nullptr));
    if (!thread) {
        return false;
    }
    held.release();  // the thread's now
    module.release();  // given back by FreeLibraryAndExitThread
    return true;
}

DWORD WINAPI watcher_thread(void* param) {
    // The thread holds a reference of its own on the library, so its code stays
    // mapped until it has left it.
    module_handle module(static_cast<HMODULE>(param));
    const std::shared_ptr<look_state> look = g_watcher.look;
    // Without a window (no desktop) the look alone finds the changes.
    HWND window = create_watcher_window(module.get());
    OutputDebugStringA(window != nullptr ? "TalvernP: watching drive letters.\n"
                                         : "TalvernP: watching drive letters (no window, polling only).\n");

    name_this_thread(L"TalvernPWatcher");
    const HANDLE wake[2] = {g_watcher.stop_event.get(), look->roots_changed.get()};
    for (;;) {
        const DWORD woke = MsgWaitForMultipleObjects(2, wake, FALSE, INFINITE, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) {
            break;
        }
        MSG msg;
        while (woke == WAIT_OBJECT_0 + 2 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (g_watcher.broadcast_pending) {
            g_watcher.broadcast_pending = false;
            update_drives(g_watcher.broadcast_drives);
        }
        if (woke == WAIT_OBJECT_0 + 1) {  // the look saw the roots change
            const DWORD present = present_drives();
            look->remote_drives = remote_drives(present);
            update_drives(present);
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
    g_watcher.look = std::make_shared<look_state>();
    g_watcher.look->remote_drives = remote_drives(g_watcher.known_drives);
    g_watcher.look->answering_roots = answering_roots(g_watcher.look->remote_drives);
    if (!start_look_thread(g_watcher.look)) {
        g_watcher.look.reset();
        g_watcher.stop_event.reset();
        return;
    }
    g_watcher.thread.reset(CreateThread(nullptr, 0, &watcher_thread, module.get(), 0, &g_watcher.thread_id));
    if (!g_watcher.thread) {
        g_watcher.look->stopped = true;  // the look thread leaves at its next turn
        g_watcher.look.reset();
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
    g_watcher.look->stopped = true;  // the look thread leaves at its next turn; nobody waits for it
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
    g_watcher.look.reset();
    g_watcher.callback = nullptr;
    g_watcher.context = nullptr;
}
