// The hidden tray dialog: the notification icon it adds and deletes, and what it
// does with each message, the icon's popup menu and its "Exit" included.
#include "app/tray_window.h"
#include "pnp/plugin_contract.h"
#include "tests/support/test_env.h"
#include "res/resource.h"

#include <dbt.h>
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <atomic>
#include <utility>
#include <vector>

namespace {

// The shell as the dialog sees it (Wine's null display has no notification
// area): each Shell_NotifyIconW call is recorded and succeeds.
std::vector<std::pair<DWORD, NOTIFYICONDATAW>> _shell_calls;
BOOL WINAPI recording_notify_icon(DWORD message, PNOTIFYICONDATAW data) {
    _shell_calls.emplace_back(message, *data);
    return TRUE;
}
extern "C" { decltype(&recording_notify_icon) __imp_Shell_NotifyIconW = &recording_notify_icon; }

// Popup menus the dialog opens, counted through a subclass of its window; once
// a menu waits for input it is dismissed, or its first entry is chosen.
WNDPROC _dialog_proc;
bool _choose, _acted;
size_t _menus;

LRESULT CALLBACK watching_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITMENUPOPUP) {
        ++_menus;
        _acted = false;
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

// The agent's dialog as InitInstance makes it, watched; destroyed at the end.
struct tray_dialog {
    HWND window = nullptr;
    explicit tray_dialog(bool choose = false) {
        _shell_calls.clear();
        _menus = 0;
        _choose = choose;
        EXPECT_TRUE(InitInstance(GetModuleHandleW(nullptr), window));
        _dialog_proc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&watching_proc)));
    }
    ~tray_dialog() {
        if (IsWindow(window)) DestroyWindow(window);
        pump();
    }
};

TEST(TrayWindow, InitInstanceMakesAHiddenDialogAndAddsTheIcon) {
    tray_dialog tray;
    EXPECT_FALSE(IsWindowVisible(tray.window));
    ASSERT_EQ(1u, _shell_calls.size());
    EXPECT_EQ(static_cast<DWORD>(NIM_ADD), _shell_calls[0].first);
    const NOTIFYICONDATAW& added = _shell_calls[0].second;
    EXPECT_EQ(sizeof(NOTIFYICONDATAW), added.cbSize);
    EXPECT_EQ(sizeof(NOTIFYICONDATAW), notify_icon_data_size(MAKEDLLVERULL(5, 0, 0, 0)));  // Wine's is newer
    EXPECT_EQ(tray.window, added.hWnd);
    EXPECT_EQ(static_cast<UINT>(WM_APP), added.uCallbackMessage);
    EXPECT_STREQ(L"Talvern agent", added.szTip);
    // The shell keeps a copy: the agent gives its icon back at once.
    ASSERT_NE(nullptr, added.hIcon);
    EXPECT_FALSE(DestroyIcon(added.hIcon));
}

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
        EXPECT_EQ(c.ends ? 0 : -1, pump());
        EXPECT_EQ(c.visible, IsWindowVisible(tray.window) != FALSE);
        ASSERT_EQ(c.ends ? 2u : 1u, _shell_calls.size());  // the icon's addition, then its deletion
        if (c.ends) { EXPECT_EQ(static_cast<DWORD>(NIM_DELETE), _shell_calls[1].first); }
    }
}

}  // namespace

TEST(VersionResource, AgentAndPluginCarryTheProductVersion) {
    for (const wchar_t* file : {L"TalvernTray.exe", L"TalvernP.dll"}) {
        const std::wstring path = bin_dir() + L"\\" + file;
        std::vector<BYTE> info(GetFileVersionInfoSizeW(path.c_str(), nullptr));
        ASSERT_FALSE(info.empty());
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT size = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
        EXPECT_EQ((std::vector<DWORD>{0x10000, 2, 0x10000, 2}),
                  (std::vector<DWORD>{fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
                                      fixed->dwProductVersionLS}));
        const std::pair<const wchar_t*, const wchar_t*> strings[] = {
            {L"FileVersion", L"1.0.0.2"}, {L"ProductVersion", L"1.0.0.2"}, {L"ProductName", L"Talvern"}};
        for (const auto& value : strings) {
            wchar_t* text = nullptr;
            const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + value.first;
            ASSERT_TRUE(VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&text), &size));
            EXPECT_STREQ(value.second, text);
        }
    }
}

// The reference plug-in notes a volume broadcast in its window procedure and
// reports it from its own loop, so the broadcaster does not wait for the agent.
TEST(ReferencePlugin, BroadcastIsReportedAfterItsWindowProcedureReturned) {
    HMODULE module = LoadLibraryW((bin_dir() + L"\\TalvernP.dll").c_str());
    ASSERT_NE(nullptr, module);
    auto start = reinterpret_cast<plugin_start_fn>(reinterpret_cast<void*>(GetProcAddress(module, "Start")));
    auto stop = reinterpret_cast<plugin_stop_fn>(reinterpret_cast<void*>(GetProcAddress(module, "Stop")));
    static std::atomic<int> events{0}, inside{0};
    start(nullptr, [](void*, uint8_t, const wchar_t*) {
        inside += InSendMessage() ? 1 : 0;
        ++events;
    });
    HWND window = nullptr;
    ASSERT_TRUE(wait_until([&] { return (window = FindWindowW(L"TalvernPDeviceWatcher", nullptr)) != nullptr; }, 10000));
    DWORD free_letters = ~GetLogicalDrives() & 0x3FFFFFF;
    DEV_BROADCAST_VOLUME volume = {sizeof(volume), DBT_DEVTYP_VOLUME};
    volume.dbcv_unitmask = free_letters & (0u - free_letters);  // the first letter with no drive behind it
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume));
    EXPECT_TRUE(wait_until([] { return events > 0; }, 10000));
    stop();
    EXPECT_EQ(0, inside.load()) << "the plug-in called the agent inside the broadcast";
    FreeLibrary(module);
}
