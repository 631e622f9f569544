// Floor of the agent's memory after start: a process that does what the
// agent's start needs from its libraries and nothing of the agent: libcurl's
// global set-up, and one WMI connection to ROOT\CIMV2, made in the
// multithreaded apartment, that has run the three queries of the disk
// inventory once and stays open.
//
// The first process starts a second one that does this and then waits; after
// the same settling time the agent's runs give it (load_service: 1.5 s) the
// first reads the second's memory through its process handle, as load_service
// reads the agent's, and ends it.
//
// Prints "floor_pagefile_kb" (under Wine PagefileUsage carries the private
// bytes) and "floor_working_set_kb".
//
//   footprint_baseline [--settle-ms N]
//   footprint_baseline --hold <ready-event>   the measured process
#include <windows.h>
#include <psapi.h>
#include <wbemidl.h>

#include <curl/curl.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {
const wchar_t* const kQueries[] = {
    L"SELECT Antecedent, Dependent FROM Win32_LogicalDiskToPartition",
    L"SELECT DeviceID, DiskIndex FROM Win32_DiskPartition",
    L"SELECT Index, PNPDeviceID, SerialNumber FROM Win32_DiskDrive",
};

int hold(const wchar_t* ready_name) {
    curl_global_init(CURL_GLOBAL_ALL);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                         nullptr, EOAC_NONE, nullptr);
    IWbemLocator* locator = nullptr;
    IWbemServices* services = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(&locator)))) {
        return 3;
    }
    BSTR path = SysAllocString(L"ROOT\\CIMV2");
    const HRESULT hr = locator->ConnectServer(path, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
    SysFreeString(path);
    if (FAILED(hr)) return 3;
    CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    for (const wchar_t* text : kQueries) {
        BSTR language = SysAllocString(L"WQL");
        BSTR query = SysAllocString(text);
        IEnumWbemClassObject* rows = nullptr;
        if (SUCCEEDED(services->ExecQuery(language, query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                          nullptr, &rows))) {
            for (;;) {
                IWbemClassObject* row = nullptr;
                ULONG returned = 0;
                rows->Next(WBEM_INFINITE, 1, &row, &returned);
                if (returned == 0 || row == nullptr) break;
                row->Release();
            }
            rows->Release();
        }
        SysFreeString(language);
        SysFreeString(query);
    }
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready_name);
    if (ready != nullptr) {
        SetEvent(ready);
        CloseHandle(ready);
    }
    Sleep(INFINITE);  // ended by the measuring process
    return 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wcscmp(argv[1], L"--hold") == 0) {
        return hold(argv[2]);
    }
    DWORD settle_ms = 1500;
    if (argc >= 3 && std::wcscmp(argv[1], L"--settle-ms") == 0) {
        settle_ms = static_cast<DWORD>(_wtoi(argv[2]));
    }
    const std::wstring ready_name = L"Local\\talvern_footprint_ready_" + std::to_wstring(GetCurrentProcessId());
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --hold " + ready_name;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (ready == nullptr || !CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                                            &pi)) {
        std::fprintf(stderr, "cannot start the measured process, gle=%lu\n", GetLastError());
        return 3;
    }
    HANDLE wait[2] = {ready, pi.hProcess};
    if (WaitForMultipleObjects(2, wait, FALSE, 60000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "the measured process did not get ready\n");
        TerminateProcess(pi.hProcess, 3);
        return 3;
    }
    Sleep(settle_ms);  // the agent's runs measure after the same settling time
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(pi.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters))) {
        std::fprintf(stderr, "GetProcessMemoryInfo failed, gle=%lu\n", GetLastError());
        TerminateProcess(pi.hProcess, 3);
        return 3;
    }
    std::printf("floor_pagefile_kb %.0f\n", counters.PagefileUsage / 1024.0);
    std::printf("floor_working_set_kb %.0f\n", counters.WorkingSetSize / 1024.0);
    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(ready);
    return 0;
}
