// Target of a DOS device name through QueryDosDeviceW, with a growing buffer.
#include "util/dos_device.h"

#include <windows.h>

#include <cstdlib>
#include <memory>

#include "log/log.h"
#include "util/strings.h"

namespace {
struct free_deleter {
    void operator()(void* p) const { free(p); }
};
}  // namespace

bool query_dos_device(const wchar_t* dos_device_name, std::wstring& target) {
    if (dos_device_name == nullptr) {
        return false;
    }
    // The capacity doubles until the targets fit; the loop ends when the call
    // succeeds, fails otherwise, or the buffer can no longer be allocated.
    DWORD capacity = MAX_PATH;
    for (;;) {
        const size_t bytes = (static_cast<size_t>(capacity) + 1) * sizeof(wchar_t);
        std::unique_ptr<wchar_t, free_deleter> buffer(static_cast<wchar_t*>(malloc(bytes)));
        if (!buffer) {
            log_write_fmt(log_category_general, log_level_error, "query_dos_device", "insufficient memory, malloc( %u )",
                          static_cast<unsigned>(bytes));
            return false;
        }
        const DWORD cch_ret = QueryDosDeviceW(dos_device_name, buffer.get(), capacity);
        if (cch_ret == 0) {
            const DWORD gle = GetLastError();
            if (gle == ERROR_INSUFFICIENT_BUFFER && capacity <= MAXDWORD / 4) {
                capacity *= 2;
                continue;
            }
            log_write_fmt(log_category_general, log_level_error, "query_dos_device", "QueryDosDevice( dos = %s ), gle = %u",
                          WcsToMbsEx(dos_device_name).c_str(), gle);
            return false;
        }
        if (cch_ret > capacity) {
            log_write_fmt(log_category_general, log_level_error, "query_dos_device",
                          "unexpected cch_ret(%u) : cch_buf(%u), QueryDosDevice( %s )", cch_ret, capacity,
                          WcsToMbsEx(dos_device_name).c_str());
            return false;
        }
        buffer.get()[cch_ret] = L'\0';
        target = buffer.get();  // the first of the targets
        return true;
    }
}

namespace {
class system_dos_devices_t : public dos_device_api {
public:
    bool query(const wchar_t* dos_device_name, std::wstring& target) const override {
        return query_dos_device(dos_device_name, target);
    }
};
}  // namespace

const dos_device_api& system_dos_devices() {
    static const system_dos_devices_t devices;
    return devices;
}
