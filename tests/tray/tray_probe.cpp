// tray_probe.exe: what the tray test cannot do through X alone.
//   tray_probe              prints the text of every visible tooltip (the tip over
//                           a notification icon) as "tip <text>", asked with WM_GETTEXT
//   tray_probe --lose-icon <pid>
//                           removes the icon of the agent <pid> from the tray, as a
//                           restarting shell loses every icon
//   tray_probe --taskbar-created
//                           broadcasts "TaskbarCreated", as a shell does once it is back
#include "tools/agent_window/agent_window.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>

namespace {

BOOL CALLBACK print_tooltip(HWND window, LPARAM) {
    wchar_t class_name[64] = {};
    GetClassNameW(window, class_name, 63);
    if (_wcsicmp(class_name, L"tooltips_class32") != 0 || !IsWindowVisible(window)) {
        return TRUE;
    }
    wchar_t text[512] = {};
    DWORD_PTR copied = 0;
    if (SendMessageTimeoutW(window, WM_GETTEXT, 511, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                            &copied) != 0) {
        char utf8[2048] = {};
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8) - 1, nullptr, nullptr);
        printf("tip %s\n", utf8);
    }
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && wcscmp(argv[1], L"--lose-icon") == 0) {
        NOTIFYICONDATAW data = {};
        data.cbSize = sizeof(data);
        data.hWnd = find_agent_dialog(wcstoul(argv[2], nullptr, 10));
        data.uID = 1;
        return data.hWnd != nullptr && Shell_NotifyIconW(NIM_DELETE, &data) ? 0 : 1;
    }
    if (argc == 2 && wcscmp(argv[1], L"--taskbar-created") == 0) {
        return PostMessageW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0) ? 0 : 1;
    }
    EnumWindows(print_tooltip, 0);
    fflush(stdout);
    return 0;
}
