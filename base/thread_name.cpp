// Thread names through SetThreadDescription, looked up once.
#include "base/thread_name.h"

#include <windows.h>

namespace {
using set_description_fn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

set_description_fn set_description() {
    static const set_description_fn fn = [] {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "SetThreadDescription") : nullptr;
        return reinterpret_cast<set_description_fn>(reinterpret_cast<void*>(found));
    }();
    return fn;
}
}  // namespace

void name_this_thread(const wchar_t* name) {
    if (const set_description_fn fn = set_description()) {
        fn(GetCurrentThread(), name);
    }
}
