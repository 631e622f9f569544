// Defining and removing a drive letter through Wine's mount manager.
#include "tools/wine_drive/wine_mount.h"
#include "base/handles.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <cwctype>
#include <vector>

namespace {

// Wine's mount manager interface (Wine's ddk/mountmgr.h, Wine extensions).
const wchar_t* const kMountManagerName = L"\\\\.\\MountPointManager";
constexpr DWORD kMountManagerControlType = 0x6D;  // 'm'
constexpr DWORD kIoctlDefineUnixDrive =
    (kMountManagerControlType << 16) | ((FILE_READ_ACCESS | FILE_WRITE_ACCESS) << 14) | (32 << 2) | METHOD_BUFFERED;

struct mountmgr_unix_drive {
    ULONG size;
    ULONG type;
    ULONG fs_type;
    DWORD serial;
    ULONGLONG unix_dev;
    WCHAR letter;
    USHORT mount_point_offset;
    USHORT device_offset;
    USHORT label_offset;
};

unsigned long define(wchar_t letter, const std::string* unix_path) {
    const wchar_t lower = static_cast<wchar_t>(std::towlower(letter));
    if (lower < L'a' || lower > L'z') {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<char> buffer(sizeof(mountmgr_unix_drive) + (unix_path ? unix_path->size() + 1 : 0), 0);
    auto* request = reinterpret_cast<mountmgr_unix_drive*>(buffer.data());
    request->size = static_cast<ULONG>(buffer.size());
    request->type = DRIVE_FIXED;
    request->letter = lower;
    if (unix_path != nullptr) {
        request->mount_point_offset = sizeof(mountmgr_unix_drive);
        std::memcpy(buffer.data() + sizeof(mountmgr_unix_drive), unix_path->c_str(), unix_path->size() + 1);
    }  // no mount point: the drive is removed

    const file_handle manager(CreateFileW(kMountManagerName, GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!manager) {
        return GetLastError();
    }
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(manager.get(), kIoctlDefineUnixDrive, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    return ok ? 0 : GetLastError();
}

}  // namespace

bool wine_running() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

unsigned long wine_define_drive(wchar_t letter, const std::string& unix_path) { return define(letter, &unix_path); }

unsigned long wine_remove_drive(wchar_t letter) { return define(letter, nullptr); }
