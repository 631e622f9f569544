// The hidden tray dialog and its resources: the exact dialog template, the icon
// group and manifest, the notification icon data that InitInstance fills, and
// the dialog procedure's answer to every message of its table, driven on a real
// window created from the template linked into this test.
#include "app/tray_window.h"
#include "res/resource.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Reads a resource of this executable.
std::vector<uint8_t> resource_bytes(const wchar_t* type, const wchar_t* name) {
    HRSRC info = FindResourceW(nullptr, name, type);
    if (info == nullptr) return {};
    HGLOBAL data = LoadResource(nullptr, info);
    const uint8_t* bytes = static_cast<const uint8_t*>(LockResource(data));
    return std::vector<uint8_t>(bytes, bytes + SizeofResource(nullptr, info));
}

struct reader {
    const std::vector<uint8_t>& bytes;
    size_t at = 0;
    uint16_t u16() { uint16_t v; std::memcpy(&v, &bytes.at(at + 1) - 1, 2); at += 2; return v; }
    uint32_t u32() { uint32_t v; std::memcpy(&v, &bytes.at(at + 3) - 3, 4); at += 4; return v; }
    uint8_t u8() { return bytes.at(at++); }
    std::wstring text() {
        std::wstring s;
        for (uint16_t c = u16(); c != 0; c = u16()) s.push_back(static_cast<wchar_t>(c));
        return s;
    }
    void align4() { at = (at + 3) & ~size_t(3); }
};

TEST(TrayResources, DialogTemplateIsTheHiddenExtendedDialog) {
    const std::vector<uint8_t> bytes = resource_bytes(RT_DIALOG, MAKEINTRESOURCEW(IDD_TRAY));
    ASSERT_FALSE(bytes.empty());
    reader r{bytes};
    EXPECT_EQ(1, r.u16());       // dlgVer
    EXPECT_EQ(0xFFFF, r.u16());  // signature of DIALOGEX
    EXPECT_EQ(0u, r.u32());      // helpID
    EXPECT_EQ(0u, r.u32());      // exStyle
    const uint32_t style = r.u32();
    EXPECT_EQ(static_cast<uint32_t>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS),
              style);
    EXPECT_EQ(0u, style & WS_VISIBLE);
    EXPECT_EQ(2, r.u16());  // controls
    EXPECT_EQ(0, r.u16());
    EXPECT_EQ(0, r.u16());
    EXPECT_EQ(310, r.u16());
    EXPECT_EQ(176, r.u16());
    EXPECT_EQ(0, r.u16());  // no menu
    EXPECT_EQ(0, r.u16());  // standard dialog class
    EXPECT_EQ(L"Dialog", r.text());
    EXPECT_EQ(8, r.u16());    // points
    EXPECT_EQ(400, r.u16());  // weight
    EXPECT_EQ(0, r.u8());     // not italic
    EXPECT_EQ(1, r.u8());     // character set
    EXPECT_EQ(L"MS Shell Dlg", r.text());

    struct expected_control {
        uint32_t kind;
        int16_t x, y, cx, cy;
        uint32_t id;
        const wchar_t* text;
    };
    const expected_control controls[] = {{BS_DEFPUSHBUTTON, 199, 155, 50, 14, IDOK, L"OK"},
                                         {BS_PUSHBUTTON, 253, 155, 50, 14, IDCANCEL, L"Cancel"}};
    for (const expected_control& c : controls) {
        r.align4();
        EXPECT_EQ(0u, r.u32());  // helpID
        EXPECT_EQ(0u, r.u32());  // exStyle
        const uint32_t control_style = r.u32();
        EXPECT_EQ(c.kind, control_style & 0x0F);
        EXPECT_EQ(static_cast<uint32_t>(WS_CHILD | WS_VISIBLE), control_style & (WS_CHILD | WS_VISIBLE));
        EXPECT_EQ(c.x, static_cast<int16_t>(r.u16()));
        EXPECT_EQ(c.y, static_cast<int16_t>(r.u16()));
        EXPECT_EQ(c.cx, static_cast<int16_t>(r.u16()));
        EXPECT_EQ(c.cy, static_cast<int16_t>(r.u16()));
        EXPECT_EQ(c.id, r.u32());
        EXPECT_EQ(0xFFFF, r.u16());
        EXPECT_EQ(0x0080, r.u16());  // the button class
        EXPECT_EQ(c.text, r.text());
        EXPECT_EQ(0, r.u16());  // no creation data
    }
    EXPECT_LE(r.at, bytes.size());
}

TEST(TrayResources, IconGroupHoldsFive32BitSizes) {
    const std::vector<uint8_t> bytes = resource_bytes(RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_TALVERN));
    ASSERT_FALSE(bytes.empty());
    reader r{bytes};
    EXPECT_EQ(0, r.u16());
    EXPECT_EQ(1, r.u16());
    ASSERT_EQ(5, r.u16());
    const int sizes[] = {16, 32, 48, 64, 128};
    for (int size : sizes) {
        EXPECT_EQ(size, r.u8());  // width
        EXPECT_EQ(size, r.u8());  // height
        r.u8();
        r.u8();
        EXPECT_EQ(1, r.u16());   // planes
        EXPECT_EQ(32, r.u16());  // bits per pixel
        const uint32_t image_size = r.u32();
        EXPECT_EQ(40u + size * size * 4 + ((size + 31) / 32) * 4 * size, image_size);
        r.u16();  // the image's resource id
        HICON icon = static_cast<HICON>(
            LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TALVERN), IMAGE_ICON, size, size, 0));
        EXPECT_NE(nullptr, icon) << size;
        if (icon != nullptr) DestroyIcon(icon);
    }
}

TEST(TrayResources, ManifestRunsAsInvokerWithoutUiAccess) {
    const std::vector<uint8_t> bytes = resource_bytes(RT_MANIFEST, MAKEINTRESOURCEW(1));
    const std::string manifest(bytes.begin(), bytes.end());
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));
    EXPECT_NE(std::string::npos, manifest.find("uiAccess=\"false\""));
}

TEST(NotifyIconSize, FullStructureFromShellFiveOn) {
    EXPECT_EQ(976u, sizeof(NOTIFYICONDATAW));
    EXPECT_EQ(952u, notify_icon_data_size(0));
    EXPECT_EQ(952u, notify_icon_data_size(MAKEDLLVERULL(4, 71, 0, 0)));
    EXPECT_EQ(952u, notify_icon_data_size(MAKEDLLVERULL(4, 0xFFFF, 0, 0)));
    EXPECT_EQ(976u, notify_icon_data_size(MAKEDLLVERULL(5, 0, 0, 0)));
    EXPECT_EQ(976u, notify_icon_data_size(MAKEDLLVERULL(6, 1, 0, 0)));
}

TEST(NotifyIconSize, ShellVersionQuery) {
    EXPECT_EQ(0u, get_shell_version(L"no-such-library.dll"));
    EXPECT_EQ(0u, get_shell_version(L"kernel32.dll"));  // no DllGetVersion
    const ULONGLONG shell = get_shell_version(L"Shell32.dll");
    EXPECT_GE(shell, MAKEDLLVERULL(5, 0, 0, 0));
    EXPECT_EQ(0u, shell & 0xFFFFFFFFull);  // build and revision are not part of it
}

// Watches for popup menus of this process, records their entries and closes
// them (choosing "Exit" when asked to).
class MenuWatcher {
public:
    explicit MenuWatcher(bool choose_exit) : _choose(choose_exit), _thread([this] { run(); }) {}
    ~MenuWatcher() {
        _quit = true;
        _thread.join();
    }
    int menus() const { return _menus; }
    std::vector<std::pair<UINT, std::wstring>> entries() const { return _entries; }

private:
    void run() {
        while (!_quit) {
            HWND popup = FindWindowW(L"#32768", nullptr);
            if (popup != nullptr && IsWindowVisible(popup)) {
                HMENU menu = reinterpret_cast<HMENU>(SendMessageW(popup, 0x01E1 /* MN_GETHMENU */, 0, 0));
                std::vector<std::pair<UINT, std::wstring>> entries;
                for (int i = 0; menu != nullptr && i < GetMenuItemCount(menu); ++i) {
                    wchar_t text[64] = {};
                    GetMenuStringW(menu, i, text, 63, MF_BYPOSITION);
                    entries.emplace_back(GetMenuItemID(menu, i), text);
                }
                _entries = entries;
                ++_menus;
                if (_choose) {
                    PostMessageW(popup, WM_KEYDOWN, VK_DOWN, 0);
                    PostMessageW(popup, WM_KEYDOWN, VK_RETURN, 0);
                } else {
                    PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 0);
                }
                while (!_quit && IsWindow(popup) && IsWindowVisible(popup)) Sleep(10);
            }
            Sleep(10);
        }
    }
    bool _choose;
    std::atomic<bool> _quit{false};
    std::atomic<int> _menus{0};
    std::vector<std::pair<UINT, std::wstring>> _entries;
    std::thread _thread;
};

class TrayDialog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(InitInstance(GetModuleHandleW(nullptr), _dialog));
        ASSERT_NE(nullptr, _dialog);
    }
    void TearDown() override {
        if (IsWindow(_dialog)) DestroyWindow(_dialog);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    // Dispatches what is queued; true when WM_QUIT was among it, with its code.
    bool pump(WPARAM* quit_code = nullptr) {
        MSG msg;
        bool quit = false;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                if (quit_code) *quit_code = msg.wParam;
                continue;
            }
            if (!IsDialogMessageW(msg.hwnd, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        return quit;
    }
    HWND _dialog = nullptr;
};

TEST_F(TrayDialog, InitInstanceCreatesAHiddenDialogAndFillsTheIconData) {
    EXPECT_FALSE(IsWindowVisible(_dialog));
    wchar_t caption[32] = {};
    GetWindowTextW(_dialog, caption, 31);
    EXPECT_STREQ(L"Dialog", caption);
    EXPECT_NE(nullptr, GetDlgItem(_dialog, IDOK));
    EXPECT_NE(nullptr, GetDlgItem(_dialog, IDCANCEL));

    EXPECT_EQ(976u, _notify_icon_data.cbSize);
    EXPECT_EQ(_dialog, _notify_icon_data.hWnd);
    EXPECT_EQ(1u, _notify_icon_data.uID);
    EXPECT_EQ(static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP), _notify_icon_data.uFlags);
    EXPECT_EQ(static_cast<UINT>(WM_APP), _notify_icon_data.uCallbackMessage);
    EXPECT_EQ(nullptr, _notify_icon_data.hIcon);  // destroyed once the shell has it
    EXPECT_STREQ(L"Talvern agent", _notify_icon_data.szTip);
    EXPECT_EQ(0u, _notify_icon_data.dwState);
}

TEST_F(TrayDialog, OkAndShowCommandsHideCancelAndOthersDoNothing) {
    ShowWindow(_dialog, SW_SHOWNA);
    ASSERT_TRUE(IsWindowVisible(_dialog));
    EXPECT_EQ(TRUE, TrayDialogProc(_dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0));
    EXPECT_TRUE(IsWindowVisible(_dialog));
    EXPECT_EQ(TRUE, TrayDialogProc(_dialog, WM_COMMAND, 12345, 0));
    EXPECT_TRUE(IsWindowVisible(_dialog));
    EXPECT_EQ(TRUE, TrayDialogProc(_dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0));
    EXPECT_FALSE(IsWindowVisible(_dialog));
    ShowWindow(_dialog, SW_SHOWNA);
    EXPECT_EQ(TRUE, TrayDialogProc(_dialog, WM_COMMAND, IDM_SHOW, 0));
    EXPECT_FALSE(IsWindowVisible(_dialog));
    // Sent through the window as well: Cancel leaves the dialog alone.
    SendMessageW(_dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(IsWindow(_dialog));
    EXPECT_FALSE(pump());
}

TEST_F(TrayDialog, ExitCommandDestroysTheDialogRemovesTheIconAndQuits) {
    SendMessageW(_dialog, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_FALSE(IsWindow(_dialog));
    EXPECT_EQ(0u, _notify_icon_data.uFlags);
    WPARAM code = 99;
    EXPECT_TRUE(pump(&code));
    EXPECT_EQ(0u, code);
}

TEST_F(TrayDialog, CloseEndsTheProgramLikeExit) {
    EXPECT_EQ(FALSE, TrayDialogProc(_dialog, WM_CLOSE, 0, 0));
    EXPECT_FALSE(IsWindow(_dialog));
    EXPECT_EQ(0u, _notify_icon_data.uFlags);
    EXPECT_TRUE(pump());
}

TEST_F(TrayDialog, OtherMessagesAreLeftToTheDialogManager) {
    EXPECT_EQ(FALSE, TrayDialogProc(_dialog, WM_TIMER, 1, 0));
    EXPECT_EQ(FALSE, TrayDialogProc(_dialog, WM_APP + 1, 0, WM_RBUTTONDOWN));
    EXPECT_TRUE(IsWindow(_dialog));
}

TEST_F(TrayDialog, IconClicksOtherThanRightButtonOpenNoMenu) {
    MenuWatcher watcher(false);
    for (LPARAM mouse : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONUP, WM_MOUSEMOVE, WM_LBUTTONUP}) {
        EXPECT_EQ(FALSE, TrayDialogProc(_dialog, WM_APP, 1, mouse));
    }
    Sleep(100);
    EXPECT_EQ(0, watcher.menus());
    EXPECT_TRUE(IsWindow(_dialog));
}

TEST_F(TrayDialog, RightButtonAndContextMenuOpenTheExitMenu) {
    MenuWatcher watcher(false);
    for (LPARAM mouse : {WM_RBUTTONDOWN, WM_CONTEXTMENU}) {
        const int before = watcher.menus();
        EXPECT_EQ(FALSE, TrayDialogProc(_dialog, WM_APP, 1, mouse));
        EXPECT_EQ(before + 1, watcher.menus());
        const auto entries = watcher.entries();
        ASSERT_EQ(1u, entries.size());
        EXPECT_EQ(static_cast<UINT>(IDM_EXIT), entries[0].first);
        EXPECT_EQ(L"Exit", entries[0].second);
    }
    EXPECT_TRUE(IsWindow(_dialog));  // dismissed without a choice
}

TEST_F(TrayDialog, ChoosingExitFromTheMenuEndsTheLoop) {
    MenuWatcher watcher(true);
    SendMessageW(_dialog, WM_APP, 1, WM_RBUTTONDOWN);
    WPARAM code = 99;
    bool quit = false;
    for (int i = 0; i < 200 && !quit; ++i) {
        quit = pump(&code);
        Sleep(10);
    }
    EXPECT_EQ(1, watcher.menus());
    EXPECT_TRUE(quit);
    EXPECT_EQ(0u, code);
    EXPECT_FALSE(IsWindow(_dialog));
}

}  // namespace
