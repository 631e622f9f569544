// The crash's Event Log entry: the faulting module and offset, the code and the dump.
#include "app/crash_event.h"

#include "base/handles.h"
#include "res/talvern_events.h"

#include <cstdint>
#include <cwchar>

namespace {

constexpr size_t kTextChars = 1024;

}  // namespace

void report_crash_event(DWORD code, const void* address, const wchar_t* dump, DWORD dump_error) {
    wchar_t where[MAX_PATH + 64];
    HMODULE module = nullptr;
    wchar_t module_path[MAX_PATH];
    const DWORD path_length =
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCWSTR>(address), &module)
            ? GetModuleFileNameW(module, module_path, MAX_PATH)
            : 0;
    if (path_length > 0 && path_length < MAX_PATH) {
        const wchar_t* slash = std::wcsrchr(module_path, L'\\');
        std::swprintf(where, MAX_PATH + 64, L"in %ls at offset 0x%llX", slash != nullptr ? slash + 1 : module_path,
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address) -
                                                      reinterpret_cast<uintptr_t>(module)));
    } else {
        std::swprintf(where, MAX_PATH + 64, L"in an unknown module at address 0x%llX",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
    }

    wchar_t text[kTextChars];
    if (dump != nullptr) {
        std::swprintf(text, kTextChars, L"0x%08lX %ls, dump %ls", static_cast<unsigned long>(code), where,
                      dump);
    } else {
        std::swprintf(text, kTextChars, L"0x%08lX %ls, no dump written (error %lu)",
                      static_cast<unsigned long>(code), where, static_cast<unsigned long>(dump_error));
    }
    text[kTextChars - 1] = L'\0';

    const event_source_handle source(RegisterEventSourceW(nullptr, L"Talvern"));
    if (!source) {
        return;
    }
    const wchar_t* strings[] = {text};
    ReportEventW(source.get(), EVENTLOG_ERROR_TYPE, 0, TALVERN_EVENT_CRASH, nullptr, 1, 0, strings, nullptr);
}
