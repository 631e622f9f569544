// Finds the agent's hidden dialog by process id, and asks the agent to exit the
// way the tray's "Exit" does: WM_CLOSE to that dialog. Used by the stand-in
// services and the tests that drive a real agent process.
#pragma once

#include <windows.h>

// The agent's dialog (window class "#32770") among the top-level windows of
// process pid; null while it does not exist.
HWND find_agent_dialog(DWORD pid);

// Posts WM_CLOSE to the agent's dialog; false while the dialog does not exist.
bool close_agent_dialog(DWORD pid);
