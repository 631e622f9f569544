// Baseline of the disk-table refresh: the three WQL queries of the disk
// inventory alone, each result read to its end with the properties the
// inventory takes, over one WMI connection to ROOT\CIMV2.
//
// Prints "wmi_baseline_p50_us", "wmi_baseline_p99_us" and "wmi_baseline_rows".
#include <windows.h>
#include <wbemidl.h>

#include <cstdio>
#include <vector>

#include "bench/bench_clock.h"

namespace {

struct query {
    const wchar_t* text;
    const wchar_t* properties[3];
};

const query kQueries[] = {
    {L"SELECT Antecedent, Dependent FROM Win32_LogicalDiskToPartition", {L"Antecedent", L"Dependent", nullptr}},
    {L"SELECT DeviceID, DiskIndex FROM Win32_DiskPartition", {L"DeviceID", L"DiskIndex", nullptr}},
    {L"SELECT Index, PNPDeviceID, SerialNumber FROM Win32_DiskDrive", {L"Index", L"PNPDeviceID", L"SerialNumber"}},
};

// Runs one query and reads every row; the number of rows, or -1.
int run_query(IWbemServices* services, const query& q) {
    BSTR language = SysAllocString(L"WQL");
    BSTR text = SysAllocString(q.text);
    IEnumWbemClassObject* rows = nullptr;
    const HRESULT hr = services->ExecQuery(language, text, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                           nullptr, &rows);
    SysFreeString(language);
    SysFreeString(text);
    if (FAILED(hr)) {
        return -1;
    }
    int count = 0;
    for (;;) {
        IWbemClassObject* row = nullptr;
        ULONG returned = 0;
        rows->Next(WBEM_INFINITE, 1, &row, &returned);
        if (returned == 0 || row == nullptr) {
            break;
        }
        for (const wchar_t* name : q.properties) {
            if (name == nullptr) continue;
            VARIANT value;
            VariantInit(&value);
            row->Get(name, 0, &value, nullptr, nullptr);
            VariantClear(&value);
        }
        row->Release();
        ++count;
    }
    rows->Release();
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? atoi(argv[1]) : 50;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        return 3;
    }
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
    if (FAILED(hr)) {
        return 3;
    }
    CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);

    std::vector<double> samples;
    int rows = 0;
    for (int i = 0; i < rounds + 3; ++i) {
        const uint64_t start = bench_now_ns();
        rows = 0;
        for (const query& q : kQueries) {
            rows += run_query(services, q);
        }
        if (i >= 3) {  // the first rounds warm WMI up
            samples.push_back(static_cast<double>(bench_now_ns() - start) / 1000.0);
        }
    }
    std::printf("wmi_baseline_p50_us %.1f\n", bench_percentile(samples, 50));
    std::printf("wmi_baseline_p99_us %.1f\n", bench_percentile(samples, 99));
    std::printf("wmi_baseline_rows %d\n", rows);
    services->Release();
    locator->Release();
    CoUninitialize();
    return 0;
}
