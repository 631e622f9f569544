// The program's entry routine and its only window: a hidden dialog that owns the
// notification-area icon ("Talvern agent") and its one-entry popup menu ("Exit"),
// and the message loop that runs until the dialog is destroyed.
#pragma once

#include "app/tray_options.h"

#include <windows.h>
#include <shellapi.h>

// The notification icon's data, shared by InitInstance and TrayDialogProc.
extern NOTIFYICONDATAW _notify_icon_data;

// Starts the logger, the window and the agent, runs the message loop, and takes
// everything down again. 0 after a normal end, -1 when the start fails. The
// agent is made with options.
int TalvernTrayMain(HINSTANCE hInstance, const tray_options& options = tray_options());

// Creates the hidden dialog (template 129) and adds the notification icon.
// False only when the dialog cannot be created.
bool InitInstance(HINSTANCE hInstance, HWND& dialog);

// Besides the icon's messages: WM_QUERYENDSESSION is answered TRUE, and
// WM_ENDSESSION with wParam TRUE takes the agent down before it returns and
// ends the process through tray_options::end_process.
INT_PTR CALLBACK TrayDialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);

// The shell's version as MAKEDLLVERULL(major, minor, 0, 0) from the named
// library's DllGetVersion; 0 when the library, the export or the call fails.
ULONGLONG get_shell_version(const wchar_t* library);

// cbSize of the notification icon data for a shell version: the full structure
// (976 bytes) from version 5.0 on, the version-2 size (952) before.
DWORD notify_icon_data_size(ULONGLONG shell_version);
