// Where the disk inventory gets its facts: the WMI result objects of its three
// queries, the reload of the device name converter and the converter's lookups.
// The monitor uses the WMI implementation (wmi_disk_source); tests put in rows of
// their own through the same interface.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <functional>
#include <string>

// One result object of a query.
class wmi_object {
public:
    virtual ~wmi_object() = default;
    // Reads the property name into value (VT_EMPTY on entry; the caller clears it).
    virtual HRESULT get(const wchar_t* name, VARIANT* value) = 0;
};

class disk_source {
public:
    using object_visitor = std::function<void(wmi_object& object)>;

    virtual ~disk_source() = default;

    // Makes the source ready for queries (the WMI connection).
    virtual bool initialize() = 0;

    // Runs a WQL query and hands every result object to visit, in the order they
    // come. False when the query could not be run; a result that ends on an error
    // ends the walk like its normal end.
    virtual bool for_each_object(const wchar_t* wql, const object_visitor& visit) = 0;

    // Forced reload of the drive letter to NT device name table.
    virtual bool reload_device_names() = 0;

    // NT device name of a drive letter.
    virtual bool device_name(const wchar_t* drive_letter, std::wstring& device_name) = 0;
};
