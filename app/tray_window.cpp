// The entry routine, the hidden tray dialog with its notification icon and menu, and the message loop.
#include "app/tray_window.h"

#include "app/talvern_tray.h"
#include "log/log.h"
#include "res/resource.h"
#include "base/handles.h"

#include <shlwapi.h>
#include <strsafe.h>

static_assert(sizeof(NOTIFYICONDATAW) == 976 || sizeof(void*) != 8, "full notification icon data on x64");

NOTIFYICONDATAW _notify_icon_data;

namespace {

const char kMain[] = "TalvernTrayMain";
constexpr UINT kTrayIconId = 1;
constexpr ULONGLONG kShellVersion5 = MAKEDLLVERULL(5, 0, 0, 0);

// Adds the notification icon described by _notify_icon_data; the shell keeps a
// copy of the icon, so ours is destroyed again.
void add_notify_icon(HINSTANCE instance) {
    _notify_icon_data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    _notify_icon_data.hIcon = static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(IDI_TALVERN), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
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

int TalvernTrayMain(HINSTANCE hInstance, const tray_options& options) {
    if (!initialize_log()) {
        log_write_fmt(log_category_general, log_level_error, kMain, "initialize_log( level=%u ) failed.", 2u);
        return -1;
    }
    log_write_fmt(log_category_general, log_level_info, kMain, "logger initialized successfully.");

    HWND dialog = nullptr;
    if (!InitInstance(hInstance, dialog)) {
        log_write_fmt(log_category_general, log_level_error, kMain, "InitInstance() failed.");
        finalize_log();
        return -1;
    }

    _talvern_tray = new TalvernTray(options);
    if (!_talvern_tray->start()) {
        log_write_fmt(log_category_general, log_level_error, kMain, "_talvern_tray->start() failed.");
        // Nothing else of stop runs, but no update request may outlive libcurl.
        _talvern_tray->cancel_update_check();
        finalize_log();
        return -1;
    }

    MSG msg;
    // 0 is WM_QUIT; -1 (a failed call) also ends the loop rather than spinning.
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(msg.hwnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    _talvern_tray->stop();
    delete _talvern_tray;
    _talvern_tray = nullptr;

    finalize_log();
    return 0;
}
