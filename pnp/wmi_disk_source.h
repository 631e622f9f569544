// The disk inventory's facts from the system: WQL queries through the monitor's
// WMI client and the process-wide device name converter.
#pragma once

#include "pnp/disk_source.h"
#include "pnp/wmi_client.h"

class wmi_disk_source : public disk_source {
public:
    explicit wmi_disk_source(WmiClient& wmi) : _wmi(wmi) {}

    bool initialize() override;
    bool for_each_object(const wchar_t* wql, const object_visitor& visit) override;
    bool reload_device_names() override;
    bool device_name(const wchar_t* drive_letter, std::wstring& device_name) override;

private:
    WmiClient& _wmi;
};
