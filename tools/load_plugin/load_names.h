// Names of the objects the load service makes for the load plug-in, by the
// agent's process id, and the size of the stamps section: both sides use these.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Events: of kind "started", "pace" and "go<batch>"; the section: "stamps".
inline std::wstring load_object_name(const std::wstring& kind, DWORD pid) {
    return L"Global\\talvern_load_" + kind + L"_" + std::to_wstring(pid);
}

inline std::wstring load_go_event_name(unsigned batch, DWORD pid) {
    return load_object_name(L"go" + std::to_wstring(batch), pid);
}

// Events of thread 0 that get stamps; two FILETIME values (8 bytes each) apiece.
constexpr unsigned kLoadStampEvents = 65536;
constexpr DWORD kLoadStampsSize = 2 * sizeof(uint64_t) * kLoadStampEvents;
