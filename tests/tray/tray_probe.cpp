// tray_probe.exe: reads what the tray test cannot see through X alone. It
// prints the text of every visible tooltip window (the shell's tip over a
// notification icon), one per line, asking each tooltip for its text with
// WM_GETTEXT, which the tooltip control answers with the tip it shows.
#include <windows.h>

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
        text[511] = L'\0';
        char utf8[2048] = {};
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8) - 1, nullptr, nullptr);
        printf("tip %s\n", utf8);
    }
    return TRUE;
}

}  // namespace

int main() {
    EnumWindows(print_tooltip, 0);
    fflush(stdout);
    return 0;
}
