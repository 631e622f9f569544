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

// Turn events of a plug-in that takes turns with a floor run (turns=<tag>):
// "agent" is the plug-in's turn, "floor" the floor's; each side waits for its
// own and, done with an event, sets the other's.
inline std::wstring load_turn_event_name(const std::wstring& side, const std::wstring& tag) {
    return L"Local\\talvern_turn_" + tag + L"_" + side;
}

// Events of thread 0 that get stamps; two FILETIME values (8 bytes each) apiece.
constexpr unsigned kLoadStampEvents = 65536;
constexpr DWORD kLoadStampsSize = 2 * sizeof(uint64_t) * kLoadStampEvents;
