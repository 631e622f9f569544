// The hidden tray dialog: the notification icon it adds and deletes, and what it
// does with each message, the icon's popup menu and its "Exit" included.
#include "app/tray_window.h"
#include "res/resource.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

// The shell as the dialog sees it (Wine's null display has no notification
// area): each Shell_NotifyIconW call is recorded and succeeds.
// The size of the icon handed over, read before the agent destroys its icon.
std::vector<std::pair<DWORD, NOTIFYICONDATAW>> _shell_calls;
SIZE _icon_size;
BOOL WINAPI recording_notify_icon(DWORD message, PNOTIFYICONDATAW data) {
    _shell_calls.emplace_back(message, *data);
    ICONINFO info = {};
    BITMAP bitmap = {};
    _icon_size = SIZE{};
    if (data->hIcon != nullptr && GetIconInfo(data->hIcon, &info)) {
        if (GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap)) _icon_size = SIZE{bitmap.bmWidth, bitmap.bmHeight};
        DeleteObject(info.hbmColor), DeleteObject(info.hbmMask);
    }
    return TRUE;
}
extern "C" { decltype(&recording_notify_icon) __imp_Shell_NotifyIconW = &recording_notify_icon; }

// Popup menus the dialog opens, counted through a subclass of its window; once
// a menu waits for input it is dismissed, or its first entry is chosen.
WNDPROC _dialog_proc;
bool _choose, _acted;
size_t _menus;
std::vector<std::wstring> _entries;  // the texts of the last menu's entries, as the user reads them

LRESULT CALLBACK watching_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITMENUPOPUP) {
        ++_menus;
        _acted = false;
        const HMENU menu = reinterpret_cast<HMENU>(wParam);
        _entries.clear();
        for (int i = 0; i < GetMenuItemCount(menu); ++i) {
            wchar_t text[64] = L"";
            GetMenuStringW(menu, static_cast<UINT>(i), text, 64, MF_BYPOSITION);
            _entries.emplace_back(text);
        }
    } else if (message == WM_ENTERIDLE && wParam == MSGF_MENU && !_acted) {
        _acted = true;
        if (!_choose) EndMenu();
        for (WPARAM key : {VK_DOWN, VK_RETURN}) {
            if (_choose) PostMessageW(reinterpret_cast<HWND>(lParam), WM_KEYDOWN, key, 0);
        }
    }
    return CallWindowProcW(_dialog_proc, window, message, wParam, lParam);
}

// The agent's message loop over what is queued: the exit code once WM_QUIT comes, else -1.
int pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) return static_cast<int>(msg.wParam);
        if (!IsDialogMessageW(msg.hwnd, &msg)) DispatchMessageW(&msg);
    }
    return -1;
}

// The agent's dialog as InitInstance makes it (hidden, its icon added), watched; destroyed at the end.
struct tray_dialog {
    HWND window = nullptr;
    explicit tray_dialog(bool choose = false) {
        _shell_calls.clear();
        _menus = 0;
        _choose = choose;
        EXPECT_TRUE(InitInstance(GetModuleHandleW(nullptr), window));
        EXPECT_FALSE(IsWindowVisible(window));
        const NOTIFYICONDATAW& added = _shell_calls.at(0).second;  // hidden, with its icon added
        EXPECT_TRUE(_shell_calls[0].first == NIM_ADD && added.hIcon != nullptr && added.hWnd == window &&
                    added.cbSize == sizeof(NOTIFYICONDATAW) && added.uCallbackMessage == WM_APP);
        EXPECT_STREQ(L"Talvern agent", added.szTip);
        EXPECT_FALSE(DestroyIcon(added.hIcon));  // the shell keeps a copy: the agent gives its icon back at once
        EXPECT_EQ(sizeof(NOTIFYICONDATAW), notify_icon_data_size(MAKEDLLVERULL(5, 0, 0, 0)));  // Wine's is newer
        _dialog_proc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&watching_proc)));
    }
    ~tray_dialog() {
        if (IsWindow(window)) DestroyWindow(window);
        pump();
    }
};

TEST(TrayWindow, EachMessageDoesItsOwnThing) {
    // menus: popup menus opened; choose: the menu's entry is chosen; ends: the dialog is destroyed, the icon
    // deleted, WM_QUIT(0) posted; visible: afterwards (shown before the message).
    struct message_case {
        const char* name;
        UINT message, wParam, lParam;
        size_t menus;
        bool choose, ends, visible;
    };
    const message_case cases[] = {
        {"icon right button", WM_APP, 1, WM_RBUTTONDOWN, 1, false, false, true},
        {"icon context menu", WM_APP, 1, WM_CONTEXTMENU, 1, false, false, true},
        {"Exit from the menu", WM_APP, 1, WM_RBUTTONDOWN, 1, true, true, false},
        {"icon left button", WM_APP, 1, WM_LBUTTONDOWN, 0, false, false, true},
        {"another message", WM_APP + 1, 1, WM_RBUTTONDOWN, 0, false, false, true},
        {"OK", WM_COMMAND, IDOK, 0, 0, false, false, false},
        {"Cancel", WM_COMMAND, IDCANCEL, 0, 0, false, false, true},
        {"Exit", WM_COMMAND, IDM_EXIT, 0, 0, false, true, false},
        {"close", WM_CLOSE, 0, 0, 0, false, true, false},
    };
    for (const message_case& c : cases) {
        SCOPED_TRACE(c.name);
        tray_dialog tray(c.choose);
        ShowWindow(tray.window, SW_SHOWNA);
        // A command is handled here (TRUE); the rest is left to the dialog manager. A menu is modal: by the
        // time the call returns, any menu has been seen.
        EXPECT_EQ(c.message == WM_COMMAND, TrayDialogProc(tray.window, c.message, c.wParam, c.lParam) != FALSE);
        EXPECT_EQ(c.menus, _menus);
        if (c.menus != 0) { EXPECT_EQ(std::vector<std::wstring>{L"Exit"}, _entries); }
        EXPECT_EQ(c.ends ? 0 : -1, pump());
        EXPECT_EQ(c.visible, IsWindowVisible(tray.window) != FALSE);
        ASSERT_EQ(c.ends ? 2u : 1u, _shell_calls.size());  // the icon's addition, then its deletion
        if (c.ends) { EXPECT_EQ(static_cast<DWORD>(NIM_DELETE), _shell_calls[1].first); }
    }
}

// At the screen's DPI the icon is the small-icon size (16 px at 96 DPI, 32 at 192): the notification
// area's own, not the large size that the shell would scale down. The install test runs this at 192 DPI.
TEST(TrayWindow, IconHasTheSmallIconSizeOfTheScreensDpi) {
    tray_dialog tray;
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    const int small = GetSystemMetrics(SM_CXSMICON);
    EXPECT_EQ(small * 96, 16 * dpi);
    EXPECT_EQ(small, _icon_size.cx);
    EXPECT_EQ(small, _icon_size.cy);
    std::cout << "[ figure ] tray icon " << _icon_size.cx << "x" << _icon_size.cy << " at " << dpi << " DPI\n";
}

}  // namespace
