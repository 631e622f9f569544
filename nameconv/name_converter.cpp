// The process-wide drive letter table: its loads, lookups and reference count.
#include "nameconv/name_converter.h"

#include "log/log.h"
#include "base/handles.h"
#include "util/dos_device.h"
#include "util/environment.h"
#include "util/registry.h"
#include "util/strings.h"

#include <windows.h>
#include <winnetwk.h>

#include <atomic>
#include <vector>

namespace {

// The one converter of the process and the number of references to it.
NameConverter* _name_converter_instance = nullptr;
std::atomic<uint64_t> _name_converter_refs{0};

const wchar_t kProviderOrderKey[] = L"System\\CurrentControlSet\\Control\\NetworkProvider\\Order";
const wchar_t kMupDevice[] = L"\\Device\\Mup";

// Gives a reference back on every path out of a convenience call.
class instance_reference {
public:
    instance_reference() : _instance(NameConverter::get_instance()) {}
    ~instance_reference() { NameConverter::release_instance(_instance); }
    instance_reference(const instance_reference&) = delete;
    instance_reference& operator=(const instance_reference&) = delete;
    NameConverter* operator->() const { return _instance; }

private:
    NameConverter* _instance;
};

// Network name of a mapped drive; empty when the provider does not give one.
std::wstring remote_name_of(const wchar_t* dos_device_name) {
    DWORD length = 0;
    DWORD ret = WNetGetConnectionW(dos_device_name, nullptr, &length);
    if (ret != ERROR_MORE_DATA) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer;
    try {
        buffer.assign(static_cast<size_t>(length) + 1, L'\0');
    } catch (const std::bad_alloc&) {
        return std::wstring();
    }
    DWORD capacity = length;
    ret = WNetGetConnectionW(dos_device_name, buffer.data(), &capacity);
    if (ret != NO_ERROR) {
        return std::wstring();
    }
    buffer.back() = L'\0';
    return std::wstring(buffer.data());
}

}  // namespace

NameConverter* NameConverter::get_instance() {
    if (_name_converter_instance == nullptr) {
        _name_converter_instance = new NameConverter();
    }
    ++_name_converter_refs;
    return _name_converter_instance;
}

void NameConverter::release_instance(NameConverter* /*instance*/) {
    uint64_t refs = _name_converter_refs.load();
    // Decrement only while the count is above zero, so surplus releases do nothing.
    while (refs != 0 && !_name_converter_refs.compare_exchange_weak(refs, refs - 1)) {
    }
    if (refs == 1) {
        delete _name_converter_instance;
        _name_converter_instance = nullptr;
    }
}

bool NameConverter::load(bool force) {
    boost::unique_lock<boost::mutex> guard(_lock);
    if (_loaded && !force) {
        return true;
    }

    std::wstring value;
    if (get_environment_value(L"%SystemDrive%", value)) {
        to_lower_string(value);
        _system_drive = value;
    }
    value.clear();
    if (get_environment_value(L"%SystemRoot%", value)) {
        to_lower_string(value);
        _system_root = value;
    }

    if (!update_dos_device_prefixes()) {
        log_write_fmt(log_category_general, log_level_error, "NameConverter::load",
                      "update_dos_device_prefixes() failed.");
        return false;
    }
    if (!update_mup_device_prefixes()) {
        log_write_fmt(log_category_general, log_level_error, "NameConverter::load",
                      "update_mup_device_prefixes() failed.");
        return false;
    }
    _loaded = true;
    return true;
}

bool NameConverter::update_dos_device_prefixes() {
    static const char* const kFunction = "NameConverter::update_dos_device_prefixes";
    _dos_devices.clear();

    wchar_t drives[129] = {};
    const DWORD length = GetLogicalDriveStringsW(128, drives);
    if (length == 0) {
        log_write_fmt(log_category_general, log_level_error, kFunction, "GetLogicalDriveStringsW(), gle = %u",
                      GetLastError());
        return false;
    }
    // A longer answer means the buffer was too small; only whole entries inside
    // it are read.
    const DWORD entries = (length <= 128 ? length : 128) / 4;
    for (DWORD i = 0; i < entries; ++i) {
        wchar_t* entry = drives + i * 4;
        entry[2] = L'\0';
        if (entry[0] == L'A' || entry[0] == L'a') {
            continue;
        }
        dos_device device;
        device.dos_device_name.assign(entry, 2);

        std::wstring target;
        if (!_devices.query(device.dos_device_name.c_str(), target)) {
            // The drive went away after the listing (as during its removal):
            // the other drives still count.
            log_write_fmt(log_category_general, log_level_warn, kFunction,
                          "query_dos_device( dos_device_name = %s ) failed, drive skipped.",
                          WcsToMbsEx(device.dos_device_name.c_str()).c_str());
            continue;
        }
        device.device_prefix = target + L"\\";

        const std::wstring root = device.dos_device_name + L"\\";
        device.drive_type = GetDriveTypeW(root.c_str());
        if (device.drive_type == DRIVE_REMOTE) {
            device.remote_name = remote_name_of(device.dos_device_name.c_str());
        }
        _dos_devices.push_back(device);
    }
    return true;
}

bool NameConverter::update_mup_device_prefixes() {
    static const char* const kFunction = "NameConverter::update_mup_device_prefixes";
    _mup_devices.clear();

    std::wstring provider_order;
    {
        const registry_key order_key = RUOpenKey(HKEY_LOCAL_MACHINE, kProviderOrderKey);
        if (!order_key) {
            log_write_fmt(log_category_general, log_level_error, kFunction, "RUOpenKey() failed. key=%ws",
                          kProviderOrderKey);
            return false;
        }
        if (!RUReadString(order_key.get(), L"ProviderOrder", provider_order)) {
            log_write_fmt(log_category_general, log_level_error, kFunction,
                          "RUReadString( value=ProviderOrder ) failed.");
            return false;
        }
    }

    _mup_devices.push_back(kMupDevice);

    std::vector<std::wstring> providers;
    if (!split_stringw(provider_order.c_str(), providers)) {
        log_write_fmt(log_category_general, log_level_error, kFunction, "split_stringw( provider_order=%ws ) failed.",
                      provider_order.c_str());
        return false;
    }

    for (const std::wstring& provider : providers) {
        const std::wstring key_path = L"SYSTEM\\CurrentControlSet\\Services\\" + provider + L"\\NetworkProvider";
        const registry_key provider_key = RUOpenKey(HKEY_LOCAL_MACHINE, key_path.c_str());
        if (!provider_key) {
            log_write_fmt(log_category_general, log_level_error, kFunction, "RUOpenKey() failed. key=%ws",
                          key_path.c_str());
            continue;
        }
        std::wstring device_name;
        if (!RUReadString(provider_key.get(), L"DeviceName", device_name)) {
            log_write_fmt(log_category_general, log_level_error, kFunction, "RUReadString( DeviceName ) failed.");
            continue;
        }
        _mup_devices.push_back(device_name);
    }
    return true;
}

bool NameConverter::get_device_name_by_drive_letter(const wchar_t* drive_letter, std::wstring& device_name) {
    static const char* const kFunction = "NameConverter::get_device_name_by_drive_letter";
    if (drive_letter == nullptr) {
        return false;
    }
    if (wcslen(drive_letter) != 2 || drive_letter[1] != L':') {
        log_write_fmt(log_category_general, log_level_error, kFunction, "Invalid drive letter. drive_letter=%ws",
                      drive_letter);
        return false;
    }
    {
        boost::unique_lock<boost::mutex> guard(_lock);
        for (const dos_device& device : _dos_devices) {
            if (_wcsnicmp(device.dos_device_name.c_str(), drive_letter, 2) == 0) {
                const std::wstring& prefix = device.device_prefix;
                device_name = prefix.empty() ? prefix : prefix.substr(0, prefix.size() - 1);
                return true;
            }
        }
    }
    log_write_fmt(log_category_general, log_level_error, kFunction, "Can not find device name. drive letter=%ws",
                  drive_letter);
    return false;
}

bool NameConverter::loaded() {
    boost::unique_lock<boost::mutex> guard(_lock);
    return _loaded;
}

std::list<dos_device> NameConverter::dos_devices() {
    boost::unique_lock<boost::mutex> guard(_lock);
    return _dos_devices;
}

std::list<std::wstring> NameConverter::mup_devices() {
    boost::unique_lock<boost::mutex> guard(_lock);
    return _mup_devices;
}

std::wstring NameConverter::system_drive() {
    boost::unique_lock<boost::mutex> guard(_lock);
    return _system_drive;
}

std::wstring NameConverter::system_root() {
    boost::unique_lock<boost::mutex> guard(_lock);
    return _system_root;
}

bool nc_reload() {
    instance_reference converter;
    return converter->load(true);
}

bool tu_name_conv_drive_to_device(const wchar_t* drive_letter, std::wstring& device_name) {
    instance_reference converter;
    return converter->get_device_name_by_drive_letter(drive_letter, device_name);
}
