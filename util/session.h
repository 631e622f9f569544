// Logon session of a process.
#pragma once

#include <windows.h>

bool get_session_id_by_pid(DWORD pid, DWORD& session_id);
