// The first target of a DOS device name (C: -> \Device\HarddiskVolume1).
#pragma once

#include <string>

bool query_dos_device(const wchar_t* dos_device_name, std::wstring& target);

// Where DOS device targets come from: query_dos_device, or a stand-in a test
// gives (as when a drive goes away between the listing and the question).
class dos_device_api {
public:
    virtual ~dos_device_api() = default;
    virtual bool query(const wchar_t* dos_device_name, std::wstring& target) const = 0;
};

// query_dos_device itself.
const dos_device_api& system_dos_devices();
