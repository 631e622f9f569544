// Names of the kernel objects shared with the talvern service and the logon
// session's single-instance guard. Each name is a fixed prefix followed by a
// decimal number (the agent's process id, or the session id).
#pragma once

#include <windows.h>

#include <string>

extern const wchar_t kRequestEventPrefix[];   // Global\ttosq_
extern const wchar_t kResponseEventPrefix[];  // Global\ttosr_
extern const wchar_t kSectionPrefix[];        // Global\ttosd_
extern const wchar_t kNoDupEventPrefix[];     // Global\tnodup_

// prefix followed by number in decimal, without leading zeros.
std::wstring make_object_name(const wchar_t* prefix, DWORD number);
