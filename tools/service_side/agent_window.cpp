// Finding the agent's dialog among the top-level windows by process id, and
// closing it as the tray's "Exit" does.
#include "tools/service_side/agent_window.h"

#include <cwchar>

namespace {

const wchar_t kDialogClass[] = L"#32770";  // the window class of every dialog

struct dialog_search {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK check_window(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<dialog_search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->pid) {
        return TRUE;
    }
    wchar_t class_name[16] = {};
    GetClassNameW(window, class_name, 15);
    if (std::wcscmp(class_name, kDialogClass) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND find_agent_dialog(DWORD pid) {
    dialog_search search{pid, nullptr};
    EnumWindows(check_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool close_agent_dialog(DWORD pid) {
    const HWND dialog = find_agent_dialog(pid);
    return dialog != nullptr && PostMessageW(dialog, WM_CLOSE, 0, 0) != FALSE;
}
