// event_source_check: reads the agent's registered Event Log source the way an
// event viewer does and prints the text of every event the agent reports.
//
//   event_source_check [<source name>]      (default: Talvern)
//
// It reads EventMessageFile under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<source>, expands
// it, loads that file as data (LoadLibraryExW, LOAD_LIBRARY_AS_DATAFILE) and
// formats each event id of res/talvern_events.h with FormatMessageW and the one
// insertion string "check-<id>". Output, one line each:
//
//   EventMessageFile <registry type> <value as stored>
//   TypesSupported <number>
//   <id> <severity>: <text>
//
// Exit code 0 when every id resolved, 1 when the source is not registered or its
// message file does not load, 2 when an id did not resolve.
#include "base/handles.h"
#include "base/text.h"
#include "res/talvern_events.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

const wchar_t kSourcesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// Every event the agent reports; the severity is in the id's top two bits.
const DWORD kEvents[] = {
    TALVERN_EVENT_ERROR_LINE,  TALVERN_EVENT_WARNING_LINE,      TALVERN_EVENT_CRASH,
    TALVERN_EVENT_LINES_DROPPED, TALVERN_EVENT_EVENTS_SUPPRESSED,
};

const char* severity_name(DWORD id) {
    static const char* const names[] = {"success", "informational", "warning", "error"};
    return names[id >> 30];
}

const char* type_name(DWORD type) {
    switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_DWORD: return "REG_DWORD";
    default: return "other";
    }
}

std::string utf8(const std::wstring& text) { return wide_to_utf8(text); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring source = argc > 1 ? argv[1] : L"Talvern";
    registry_key key;
    const std::wstring path = kSourcesKey + source;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
        std::printf("source %s is not registered\n", utf8(source).c_str());
        return 1;
    }

    // The value as stored (no expansion by the registry), then as a viewer expands it.
    wchar_t stored[MAX_PATH * 2] = {};
    DWORD type = 0, size = sizeof(stored) - sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), L"EventMessageFile", nullptr, &type, reinterpret_cast<BYTE*>(stored), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        std::printf("EventMessageFile missing or not text\n");
        return 1;
    }
    std::printf("EventMessageFile %s %s\n", type_name(type), utf8(stored).c_str());
    DWORD types_supported = 0, dword_size = sizeof(types_supported);
    if (RegQueryValueExW(key.get(), L"TypesSupported", nullptr, &type, reinterpret_cast<BYTE*>(&types_supported),
                         &dword_size) == ERROR_SUCCESS &&
        type == REG_DWORD) {
        std::printf("TypesSupported %lu\n", static_cast<unsigned long>(types_supported));
    }

    wchar_t expanded[MAX_PATH * 2] = {};
    const DWORD length = ExpandEnvironmentStringsW(stored, expanded, MAX_PATH * 2);
    if (length == 0 || length > MAX_PATH * 2) {
        std::printf("EventMessageFile does not expand\n");
        return 1;
    }
    const module_handle messages(LoadLibraryExW(expanded, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!messages) {
        std::printf("%s does not load: error %lu\n", utf8(expanded).c_str(), GetLastError());
        return 1;
    }

    int unresolved = 0;
    for (const DWORD id : kEvents) {
        const std::wstring insertion = L"check-" + std::to_wstring(id & 0xFFFF);
        DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(insertion.c_str())};
        wchar_t text[2048];
        DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages.get(), id, 0,
                                 text, sizeof(text) / sizeof(text[0]), reinterpret_cast<va_list*>(arguments));
        if (n == 0) {
            std::printf("%lu %s: not resolved, error %lu\n", static_cast<unsigned long>(id & 0xFFFF),
                        severity_name(id), GetLastError());
            ++unresolved;
            continue;
        }
        while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n')) {
            --n;
        }
        std::printf("%lu %s: %s\n", static_cast<unsigned long>(id & 0xFFFF), severity_name(id),
                    utf8(std::wstring(text, n)).c_str());
    }
    return unresolved == 0 ? 0 : 2;
}
