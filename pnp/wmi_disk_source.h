// The disk inventory's facts from the system: WQL queries through the monitor's
// WMI client and the process-wide device name converter.
#pragma once

#include "pnp/disk_source.h"
#include "pnp/wmi_client.h"

// How long a query's walk waits for its next result object: a stalled provider
// fails the query instead of holding the disk tables (and the agent's exit).
constexpr long kWmiObjectTimeoutMs = 30000;

// Hands every object of result to visit, in the order they come. False when the
// next object does not come within timeout_ms; an error that comes without an
// object ends the walk like the end of the result.
bool walk_wmi_result(IEnumWbemClassObject* result, long timeout_ms, const disk_source::object_visitor& visit);

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
