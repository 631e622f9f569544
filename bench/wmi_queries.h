// The WMI work of the agent's disk inventory, for the floors that do it without
// the agent: one connection to ROOT\CIMV2 in the multithreaded apartment, and
// the inventory's three WQL queries, every row read with the properties the
// inventory takes.
#pragma once

#include "base/com_holders.h"

#include <windows.h>
#include <wbemidl.h>

struct wmi_connection {
    com_ptr<IWbemLocator> locator;
    com_ptr<IWbemServices> services;

    // Enters the multithreaded apartment (for the process's life), sets the
    // process's security and connects as the agent's WMI client does.
    bool open() {
        if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return false;
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                             nullptr, EOAC_NONE, nullptr);
        if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                    reinterpret_cast<void**>(locator.put())))) {
            return false;
        }
        const bstr_holder path(L"ROOT\\CIMV2");
        if (FAILED(locator->ConnectServer(path.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                          services.put()))) {
            return false;
        }
        CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                          RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
        return true;
    }
};

struct wmi_query {
    const wchar_t* text;
    const wchar_t* properties[3];
};

inline const wmi_query kInventoryQueries[] = {
    {L"SELECT Antecedent, Dependent FROM Win32_LogicalDiskToPartition", {L"Antecedent", L"Dependent", nullptr}},
    {L"SELECT DeviceID, DiskIndex FROM Win32_DiskPartition", {L"DeviceID", L"DiskIndex", nullptr}},
    {L"SELECT Index, PNPDeviceID, SerialNumber FROM Win32_DiskDrive", {L"Index", L"PNPDeviceID", L"SerialNumber"}},
};

// Runs one query and reads every row with its properties; the number of rows, or -1.
inline int run_query(IWbemServices* services, const wmi_query& q) {
    const bstr_holder language(L"WQL"), text(q.text);
    com_ptr<IEnumWbemClassObject> rows;
    if (FAILED(services->ExecQuery(language.get(), text.get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                   nullptr, rows.put()))) {
        return -1;
    }
    int count = 0;
    for (;;) {
        com_ptr<IWbemClassObject> row;
        ULONG returned = 0;
        rows->Next(WBEM_INFINITE, 1, row.put(), &returned);
        if (returned == 0 || !row) break;
        for (const wchar_t* name : q.properties) {
            if (name == nullptr) continue;
            variant_holder value;
            row->Get(name, 0, value.put(), nullptr, nullptr);
        }
        ++count;
    }
    return count;
}
