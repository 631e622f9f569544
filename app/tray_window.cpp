// The entry routine, the hidden tray dialog with its notification icon and menu, and the message loop.
#include "app/tray_window.h"

#include "app/agent_policy.h"
#include "app/talvern_tray.h"
#include "log/log.h"
#include "res/resource.h"
#include "base/handles.h"

#include <commctrl.h>
#include <shlwapi.h>
#include <strsafe.h>

static_assert(sizeof(NOTIFYICONDATAW) == 976 || sizeof(void*) != 8, "full notification icon data on x64");

NOTIFYICONDATAW _notify_icon_data;

namespace {

const char kMain[] = "TalvernTrayMain";
const char kDialogProc[] = "TrayDialogProc";
constexpr UINT kTrayIconId = 1;
constexpr ULONGLONG kShellVersion5 = MAKEDLLVERULL(5, 0, 0, 0);

// Adds the notification icon described by _notify_icon_data; the shell keeps a
// copy of the icon, so ours is destroyed again.
void add_notify_icon(HINSTANCE instance) {
    _notify_icon_data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    // The small-icon size of the screen's DPI (16 px at 96 DPI, 32 at 192), as
    // the notification area shows it: the icon file's own image of that size.
    _notify_icon_data.hIcon = nullptr;
    if (FAILED(LoadIconMetric(instance, MAKEINTRESOURCEW(IDI_TALVERN), LIM_SMALL, &_notify_icon_data.hIcon))) {
        _notify_icon_data.hIcon = nullptr;
    }
    Shell_NotifyIconW(NIM_ADD, &_notify_icon_data);
    if (_notify_icon_data.hIcon != nullptr && DestroyIcon(_notify_icon_data.hIcon)) {
        _notify_icon_data.hIcon = nullptr;
    }
}

// Registered message the shell broadcasts when its taskbar (re)appears, e.g.
// after Explorer restarted: every icon must be added again.
UINT taskbar_created_message() {
    static const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    return message;
}

void show_popup_menu(HWND dialog) {
    POINT cursor = {};
    GetCursorPos(&cursor);
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) {
        return;
    }
    InsertMenuW(menu, static_cast<UINT>(-1), MF_BYPOSITION | MF_STRING, IDM_EXIT, L"Exit");
    SetForegroundWindow(dialog);
    TrackPopupMenu(menu, TPM_BOTTOMALIGN | TPM_LEFTALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0, dialog, nullptr);
    DestroyMenu(menu);
}

// True from the agent's successful start until it has been taken down; while
// start still runs (it handles the dialog's messages when it waits for the
// service) the agent must not be destroyed under it.
bool _agent_running = false;
// The options' way to end the process after the session's end.
void (*_end_process)(int exit_code) = nullptr;

// The end of the program after the message loop or at the session's end: stop
// and destroy the agent, then drain and finalise the log.
void end_agent() {
    if (_agent_running) {
        _agent_running = false;
        _talvern_tray->stop();
        delete _talvern_tray;
        _talvern_tray = nullptr;
    }
    finalize_log();
}

// The session ends (logoff, shutdown, or an installer closing the program):
// the process may be ended as soon as WM_ENDSESSION returns, so the agent is
// taken down now, as "Exit" does, and the process ends with code 0. Every step
// of the stop is bounded: the plug-in's Stop, the worker's response wait
// (stop signals it) and the update request (cancelled) all end within about a
// second. While start still waits for the service, the dialog's end makes it
// give up, and the entry routine ends as after any other close.
void end_session(HWND dialog, LPARAM reason) {
    log_write_fmt(log_category_general, log_level_info, kDialogProc, "session ends. reason=0x%x",
                  static_cast<unsigned>(reason));
    DestroyWindow(dialog);  // the icon goes, and WM_QUIT ends the loop if the process is left to it
    if (!_agent_running) {
        return;
    }
    end_agent();
    if (_end_process != nullptr) {
        _end_process(0);
    }
}

}  // namespace

ULONGLONG get_shell_version(const wchar_t* library) {
    const module_handle module(LoadLibraryW(library));
    if (!module) {
        return 0;
    }
    ULONGLONG version = 0;
    auto get_version = reinterpret_cast<DLLGETVERSIONPROC>(
        reinterpret_cast<void*>(GetProcAddress(module.get(), "DllGetVersion")));
    if (get_version != nullptr) {
        DLLVERSIONINFO info;
        ZeroMemory(&info, sizeof(info));
        info.cbSize = sizeof(info);
        if (SUCCEEDED(get_version(&info))) {
            version = MAKEDLLVERULL(info.dwMajorVersion, info.dwMinorVersion, 0, 0);
        }
    }
    return version;
}

DWORD notify_icon_data_size(ULONGLONG shell_version) {
    return shell_version >= kShellVersion5 ? static_cast<DWORD>(sizeof(NOTIFYICONDATAW))
                                           : static_cast<DWORD>(NOTIFYICONDATAW_V2_SIZE);
}

bool InitInstance(HINSTANCE hInstance, HWND& dialog) {
    HWND window = CreateDialogParamW(hInstance, MAKEINTRESOURCEW(IDD_TRAY), nullptr, TrayDialogProc, 0);
    if (window == nullptr) {
        return false;
    }
    dialog = window;

    ZeroMemory(&_notify_icon_data, sizeof(_notify_icon_data));
    _notify_icon_data.cbSize = notify_icon_data_size(get_shell_version(L"Shell32.dll"));
    _notify_icon_data.hWnd = window;
    _notify_icon_data.uID = kTrayIconId;
    _notify_icon_data.uCallbackMessage = WM_APP;
    StringCchCopyW(_notify_icon_data.szTip, 128, L"Talvern agent");
    taskbar_created_message();  // registered before the shell can broadcast it
    add_notify_icon(hInstance);
    return true;
}

INT_PTR CALLBACK TrayDialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DESTROY:
        _notify_icon_data.uFlags = 0;
        Shell_NotifyIconW(NIM_DELETE, &_notify_icon_data);
        PostQuitMessage(0);
        return FALSE;
    case WM_CLOSE:
        DestroyWindow(hDlg);
        return FALSE;
    case WM_QUERYENDSESSION:
        // The agent never holds up the end of the session.
        SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_ENDSESSION:
        // wParam FALSE: the end was called off, and the agent goes on.
        if (wParam != FALSE) {
            end_session(hDlg, lParam);
        }
        return FALSE;  // the default answer, 0, once the dialog may be gone
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
        case IDM_SHOW:
            ShowWindow(hDlg, SW_HIDE);
            break;
        case IDM_EXIT:
            DestroyWindow(hDlg);
            break;
        default:
            break;
        }
        return TRUE;
    case WM_APP:
        if (lParam == WM_CONTEXTMENU || lParam == WM_RBUTTONDOWN) {
            show_popup_menu(hDlg);
        }
        return FALSE;
    default:
        if (message != 0 && message == taskbar_created_message()) {
            add_notify_icon(reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hDlg, GWLP_HINSTANCE)));
        }
        return FALSE;
    }
}

int TalvernTrayMain(HINSTANCE hInstance, const tray_options& given) {
    if (!initialize_log()) {
        log_write_fmt(log_category_general, log_level_error, kMain, "initialize_log( level=%u ) failed.", 2u);
        return -1;
    }
    // The administrator's policy, read once: its own warnings already go to
    // the Event Log, which is on unless the policy turns it off.
    log_set_targets(log_get_targets() | log_to_evt);
    tray_options options = given;
    apply_agent_policy(read_agent_policy(), options.update_base_url);
    log_write_fmt(log_category_general, log_level_info, kMain, "logger initialized successfully.");

    HWND dialog = nullptr;
    if (!InitInstance(hInstance, dialog)) {
        log_write_fmt(log_category_general, log_level_error, kMain, "InitInstance() failed.");
        finalize_log();
        return -1;
    }

    _end_process = options.end_process;
    _talvern_tray = new TalvernTray(options);
    if (!_talvern_tray->start()) {
        log_write_fmt(log_category_general, log_level_error, kMain, "_talvern_tray->start() failed.");
        // Nothing else of stop runs, but no update request may outlive libcurl.
        _talvern_tray->cancel_update_check();
        finalize_log();
        return -1;
    }
    _agent_running = true;

    MSG msg;
    // 0 is WM_QUIT; -1 (a failed call) also ends the loop rather than spinning.
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(msg.hwnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    end_agent();  // nothing left to do when the session's end took the agent down
    return 0;
}
