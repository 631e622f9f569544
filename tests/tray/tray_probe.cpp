// tray_probe.exe: what the tray test cannot do through X alone.
//   tray_probe --lose-icon <pid>
//                           removes the icon of the agent <pid> from the tray, as a
//                           restarting shell loses every icon
//   tray_probe --taskbar-created
//                           broadcasts "TaskbarCreated", as a shell does once it is back
#include "tools/service_side/agent_window.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>

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
    fprintf(stderr, "usage: tray_probe --lose-icon <pid> | --taskbar-created\n");
    return 2;
}
