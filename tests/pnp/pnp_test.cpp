// Device monitoring: WmiClient through a COM table that fails one step, the disk inventory over rows of the test's
// own, and PNPMonitor with the scriptable test plug-in (*_startonly: beside one without "Stop").
#include "log/log.h"
#include "pnp/pnp_monitor.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
std::string failed(const char* call, HRESULT hres) {
    return std::string("[EROR] ") + call + " failed. hres=" + std::to_string(static_cast<unsigned>(hres));
}
uint64_t filetime_now() {
    FILETIME t;
    return GetSystemTimeAsFileTime(&t), (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
// "<event> <letter> <id> <serial> <device name>" of a record.
std::wstring describe(const pnp_info& r) {
    return std::to_wstring(r.event_type) + L" " + r.drive_letter + L" " + r.pnp_device_id + L" " + r.serial_number +
           L" " + r.device_name;
}

enum step { none, enter, security, create, connect, blanket };
struct com_state { step failing; HRESULT hres; int enters, exits; LONG locator_refs; } g;

// A locator whose ConnectServer fails with g.hres, and a query result whose Next gives g.hres and no object.
struct : IWbemLocator, IEnumWbemClassObject {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override { return *out = nullptr, E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++g.locator_refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --g.locator_refs; }
    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR, const BSTR, const BSTR, const BSTR, LONG, const BSTR,
                                            IWbemContext*, IWbemServices** services) override {
        return *services = nullptr, g.hres;
    }
    HRESULT STDMETHODCALLTYPE Next(long, ULONG, IWbemClassObject** objects, ULONG* returned) override {
        return *objects = nullptr, *returned = 0, g.hres;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Skip(long, ULONG) override { return E_NOTIMPL; }
} g_wbem;

// The failing step gives g.hres; the others go to the system (security and proxy blanket: no-ops) and count.
const com_api fake_api = {
    [](LPVOID reserved, DWORD mode) {
        return ++g.enters, g.failing == enter ? g.hres : CoInitializeEx(reserved, mode);
    },
    [](PSECURITY_DESCRIPTOR, LONG, SOLE_AUTHENTICATION_SERVICE*, void*, DWORD, DWORD, void*, DWORD, void*) {
        return g.failing == security ? g.hres : S_OK;
    },
    [](REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object) {
        if (g.failing == connect) return g_wbem.AddRef(), *object = static_cast<IWbemLocator*>(&g_wbem), S_OK;
        return g.failing == create ? (*object = nullptr, g.hres) : CoCreateInstance(clsid, outer, context, iid, object);
    },
    [](IUnknown*, DWORD, DWORD, OLECHAR*, DWORD, DWORD, RPC_AUTH_IDENTITY_HANDLE, DWORD) {
        return g.failing == blanket ? g.hres : S_OK;
    },
    [] { ++g.exits, CoUninitialize(); },
};

TEST(WmiClient, EachFailingStepLogsItsLineAndLeavesComOnce) {
    const std::string connected = "[DEBG] Connected to ROOT\\CIMV2 WMI name space.";
    const struct { step failing; HRESULT hres; std::vector<std::string> lines; } cases[] = {
        {enter, E_OUTOFMEMORY, {failed("CoInitializeEx()", E_OUTOFMEMORY)}},
        {security, E_ACCESSDENIED, {failed("CoInitializeSeciruty()", E_ACCESSDENIED)}},
        {create, REGDB_E_CLASSNOTREG, {failed("CoCreateInstance()", REGDB_E_CLASSNOTREG)}},
        {connect, E_FAIL, {failed("_locator->ConnectServer()", E_FAIL)}},
        {blanket, E_ACCESSDENIED, {connected, failed("CoSetProxyBlanket()", E_ACCESSDENIED)}},
        // Security set before is no failure: the client connects to Wine's WMI, which rejects a bad query.
        {security, RPC_E_TOO_LATE, {connected, failed("_svc->ExecQuery()", HRESULT(WBEM_E_INVALID_QUERY))}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.back());
        g = {c.failing, c.hres, 0, 0, 0};
        const bool ok = c.hres == RPC_E_TOO_LATE;
        LogCapture log(log_level_debug);
        std::thread([&] {  // a thread of its own, already in the multithreaded apartment the client asks for
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            {
                WmiClient client(fake_api);
                EXPECT_EQ(ok, client.initialize() && client.initialize());  // the second without entering COM
                EXPECT_FALSE(client.query(L"SELEKT nothing", com_ptr<IEnumWbemClassObject>().put()));
            }
            EXPECT_EQ(c.failing != enter, g.exits);  // a connected client leaves COM when it goes
            CoUninitialize();
        }).join();
        log.flush();
        EXPECT_EQ(c.lines, log.messages());
        EXPECT_EQ(1, g.enters);
        EXPECT_EQ(0, g.locator_refs);
    }
}

TEST(WmiResult, AStalledProviderFailsTheQueryAndAnErrorEndsIt) {
    LogCapture log(log_level_debug);
    for (HRESULT next : {WBEM_S_TIMEDOUT, WBEM_S_FALSE, WBEM_E_FAILED}) {
        g.hres = next;
        EXPECT_EQ(next != WBEM_S_TIMEDOUT, walk_wmi_result(&g_wbem, 30000, [](wmi_object&) {}));
    }
    log.flush();
    EXPECT_EQ(std::vector<std::string>{"[EROR] no result object within 30000 ms."}, log.messages());
}

std::wstring plugin_path() { return test_exe_dir() + L"\\TalvernP.dll"; }
// An export of the test plug-in, which the test keeps loaded with one reference of its own.
template <class F = long (*)()>
F plugin(const char* name) {
    static const HMODULE module = LoadLibraryW(plugin_path().c_str());
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
int fire(uint8_t event, const wchar_t* l) { return plugin<int (*)(uint8_t, const wchar_t*)>("TestFire")(event, l); }
// call 1 or 2: the plug-in reports event and letter from within the next Start or Stop.
void report_in(int call, uint8_t event = 0, const wchar_t* letter = L"") {
    plugin<void (*)(int, uint8_t, const wchar_t*)>("TestReportIn")(call, event, letter);
}

const wchar_t* const logical_wql = L"SELECT Antecedent, Dependent FROM Win32_LogicalDiskToPartition";
const wchar_t* const partitions_wql = L"SELECT DeviceID, DiskIndex FROM Win32_DiskPartition";
const wchar_t* const drives_wql = L"SELECT Index, PNPDeviceID, SerialNumber FROM Win32_DiskDrive";

// A property as Get gives it: a value of type vt, or the failure hres.
struct fake_value { VARTYPE vt; std::wstring text{}; LONG number = 0; HRESULT hres = S_OK; };
fake_value t(const std::wstring& text) { return {VT_BSTR, text}; }
fake_value i4(LONG n) { return {VT_I4, L"", n}; }
fake_value path(const std::wstring& key) { return t(L"\\\\VM\\ROOT\\CIMV2:Win32_Disk.DeviceID=\"" + key + L"\""); }
const std::wstring sys = L"IDE\\Disk\\SYS SYS-1 \\Device\\VolumeC",
                   usb = L"USBSTOR\\Disk&Ven_KS KS-42 \\Device\\VolumeE";

// The fixture is the monitor's disk source: query rows (values in the order the query names them), the
// converter's reload, and "\Device\Volume<letter>" for every letter but J:. C: is on disk 0, E: on disk 1.
class DiskInventory : public testing::Test, public disk_source {
protected:
    std::vector<size_t> table_sizes() {
        return {monitor->logical_to_disk_partitions().size(), monitor->disk_partitions().size(),
                monitor->disk_drives().size()};
    }

    bool initialize() override { return init_ok; }
    bool for_each_object(const wchar_t* wql, const object_visitor& visit) override {
        struct : wmi_object {
            HRESULT get(const wchar_t* name, VARIANT* value) override {
                const fake_value& v = (*row)[std::count(q.begin(), q.begin() + q.find(name), L',')];
                if (FAILED(v.hres)) return v.hres;
                value->vt = v.vt, value->lVal = v.number;  // VT_UI4 holds the same bits
                if (v.vt == VT_BSTR) value->bstrVal = SysAllocString(v.text.c_str());
                return S_OK;
            }
            std::wstring q;  // the query, which names the values in their order
            const std::vector<fake_value>* row;
        } object;
        object.q = wql;
        if (failing == wql) return false;
        // As slow as WMI: other threads run while the tables are half-built.
        for (const auto& row : rows[wql]) visit((object.row = &row, object)), SwitchToThread();
        return true;
    }
    bool reload_device_names() override {
        return reload_throws ? throw std::runtime_error("gone") : (last_reload = filetime_now(), ++reloads, reload_ok);
    }
    bool device_name(const wchar_t* letter, std::wstring& device) override {
        device = std::wstring(L"\\Device\\Volume") + wchar_t(std::towupper(letter[0]));
        return device.back() != L'J';
    }

    std::map<std::wstring, std::vector<std::vector<fake_value>>> rows = {
        {logical_wql, {{path(L"Disk #0, Partition #0"), path(L"C:")}, {path(L"Disk #1, Partition #1"), path(L"E:")}}},
        {partitions_wql, {{t(L"Disk #0, Partition #0"), i4(0)}, {t(L"Disk #1, Partition #1"), i4(1)}}},
        {drives_wql, {{i4(0), t(L"IDE\\Disk\\SYS"), t(L"SYS-1")}, {i4(1), t(L"USBSTOR\\Disk&Ven_KS"), t(L"KS-42")}}}};
    std::wstring failing;  // the query that fails
    bool init_ok = true, reload_ok = true, reload_throws = false;
    std::atomic<int> reloads{0};
    uint64_t last_reload = 0;
    LogCapture log{log_level_debug};
    std::unique_ptr<PNPMonitor> monitor{new PNPMonitor(*this)};
};

TEST_F(DiskInventory, LetterResolvesThroughPartitionAndDiskIndex) {
    // G: to M: resolve or fail each in its way; rows without a partition key or a readable serial number go.
    auto add = [this](const wchar_t* wql, std::vector<std::vector<fake_value>> more) {
        rows[wql].insert(rows[wql].end(), more.begin(), more.end());
    };
    add(logical_wql, {{t(L"x=\"\""), path(L"M:")}, {t(L"\"Disk #5, Partition #0\""), t(L"a=b=\"\"I:\"")}});
    for (const wchar_t* more : {L"G:Disk #3, Partition #0", L"H:Disk #4, Partition #0", L"J:Disk #0, Partition #0",
                                L"K:Disk #6, Partition #0", L"L:Disk #1, Partition #10"}) {
        add(logical_wql, {{path(more + 2), path({more, 2})}});
    }
    add(partitions_wql, {{t(L"Disk #3, Partition #0"), {VT_UI4, L"", -1}}, {t(L"Disk #4, Partition #0"), {VT_EMPTY}},
                         {t(L"Disk #5, Partition #0"), i4(5)}, {t(L"  disk #6, partition #0  "), i4(6)}});
    add(drives_wql, {{i4(6), t(L"  SCSI\\Disk  "), {VT_EMPTY}}, {i4(7), t(L"X"), {VT_EMPTY, L"", 0, E_FAIL}}});
    ASSERT_TRUE(monitor->initialize());
    EXPECT_EQ((std::vector<size_t>{8, 6, 3}), table_sizes());
    const std::string no_index = "[EROR] no disk index by disk and partition info=Disk #";
    const struct { const wchar_t* letter; std::wstring found; std::string line{}; } cases[] = {
        {L"e:", usb},
        {L"I:", L"  \\Device\\VolumeI"},  // disk 5 is not among the drives
        {L"K:", L"SCSI\\Disk NULL \\Device\\VolumeK"},
        {L"G:", L"failed", no_index + "3, Partition #0"}, {L"H:", L"failed", no_index + "4, Partition #0"},
        {L"L:", L"failed", no_index + "1, Partition #10"},
        {L"J:", L"failed", "[EROR] tu_name_conv_drive_to_device( drive_letter=J: ) failed."},
        {L"M:", L"failed", "[EROR] no disk and partition info by drive letter=M:"},
        // A lone surrogate would make the line unprintable: the whole line would be lost.
        {L"\xd800:", L"failed", "[EROR] no disk and partition info by drive letter=?: (2 chars)"}};
    std::vector<std::string> expected = {"[WARN] Antecedent has no value, row skipped.",
                                         failed("pclsObj->Get()", E_FAIL)};
    for (const auto& c : cases) {
        std::wstring id, serial, name;
        const bool found = monitor->get_pnp_info_by_drive_letter(0, c.letter, id, serial, name);
        EXPECT_EQ(c.found, found ? id + L" " + serial + L" " + name : L"failed") << narrow(c.letter);
        if (!c.line.empty()) expected.push_back(c.line);
    }
    log.flush();
    EXPECT_EQ(expected, log.messages());
}

TEST_F(DiskInventory, FailingStepLeavesItsTableAndTheLaterOnesEmpty) {
    reload_ok = false;
    ASSERT_TRUE(monitor->initialize());  // a failed first build is logged; the monitor starts all the same
    const struct { const wchar_t* wql; std::string step; std::vector<size_t> sizes; } cases[] = {
        {L"", "nc_reload() failed. ", {0, 0, 0}},  // the converter's reload fails
        {logical_wql, "get_logical_to_disk_partition() failed.", {0, 0, 0}},
        {partitions_wql, "get_disk_partitions() failed.", {2, 0, 0}},
        {drives_wql, "get_disk_drives() failed.", {2, 2, 0}}};
    std::vector<std::string> expected = {"[EROR] nc_reload() failed. "};
    for (const auto& c : cases) {
        reload_ok = true, failing.clear();
        ASSERT_TRUE(monitor->refresh_disk_partions());
        reload_ok = *c.wql != 0, failing = c.wql;
        EXPECT_FALSE(monitor->refresh_disk_partions());
        EXPECT_EQ(c.sizes, table_sizes());
        if (*c.wql) expected.push_back("[EROR] query failed. query=" + narrow(c.wql));
        expected.push_back("[EROR] " + c.step);
    }
    log.flush();
    EXPECT_EQ(expected, log.messages());
}

TEST_F(DiskInventory, PluginWithoutStopIsRefusedAndGivenBack_startonly) {
    EXPECT_FALSE(monitor->initialize());
    monitor->stop();
    EXPECT_EQ(nullptr, GetModuleHandleW(plugin_path().c_str()));
    log.flush();
    EXPECT_EQ(std::vector<std::string>{"[EROR] no function, Start|Stop."}, log.messages());
}

class PnpMonitor : public DiskInventory {
protected:
    void TearDown() override { monitor.reset(), report_in(0); }  // before the records go, leaving nothing to report
    void start() { ASSERT_TRUE(monitor->initialize() && monitor->run(this, &PnpMonitor::keep)); }
    // The owner's callback: keeps what each record says, and its time stamp.
    static bool keep(void* context, pnp_info* info) {
        const std::unique_ptr<pnp_info> record(info);
        auto* self = static_cast<PnpMonitor*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->records.push_back(describe(*record)), self->stamps.push_back(record->time);
        return true;
    }
    std::mutex lock;
    std::vector<std::wstring> records;
    std::vector<uint64_t> stamps;
};

TEST_F(PnpMonitor, EventsBecomeRecordsStampedWhenTheyCameAndBadLettersNone) {
    const uint64_t before = filetime_now();
    report_in(1, 1, L"C:");
    start();
    const uint8_t events[] = {0, 1, 2, 255};
    const wchar_t* const letters[] = {L"E:", L"e:", L"E:", L"e:"};
    for (int i = 0; i < 4; ++i) ASSERT_EQ(1, fire(events[i], letters[i]));
    // Bad letters make a line but no record; without a letter or a context not even a line, nor a refresh.
    std::vector<std::string> expected;
    // A long or odd letter shows as a short prefix, anything but printable ASCII as "?", and its length.
    const std::pair<std::wstring, std::string> bad_letters[] = {
        {L"E", "E"}, {L"E:\\", "E:\\"}, {L"", ""}, {L"\\\\?\\Volume{", "\\\\?\\Volu... (11 chars)"},
        {L"E:\n\x01\xd800\xdc00\x00e9", "E:????? (7 chars)"},
        {L"\\\\?\\C:" + std::wstring(5093, L'x'), "\\\\?\\C:xx... (5099 chars)"}};
    for (const auto& bad : bad_letters) {
        ASSERT_EQ(1, fire(1, bad.first.c_str()));
        expected.push_back("[EROR] get_pnp_info_by_drive_letter( drive_letter=" + bad.second + " ) failed. ");
    }
    ASSERT_EQ(1, fire(1, nullptr));
    dll_callback(nullptr, 1, L"E:");
    reload_throws = true;  // an exception drops the event, not the plug-in
    ASSERT_EQ(1, fire(1, L"E:"));
    expected.push_back("[EROR] exception, event dropped. drive_letter=E:, exception=gone");
    log.flush();
    EXPECT_EQ(expected, log.messages());
    EXPECT_EQ(3, reloads.load());  // the first build and each byte 1 with a two-character letter
    EXPECT_EQ((std::vector<std::wstring>{L"1 C: " + sys, L"0 E: " + usb, L"1 e: " + usb, L"2 E: " + usb,
                                         L"255 e: " + usb}),
              records);
    const uint64_t stamp = stamps.at(2);
    EXPECT_TRUE(before <= stamp && stamp <= last_reload);  // taken before the refresh of its byte 1
}

TEST_F(PnpMonitor, StopEndsThePluginAndGivesBackOnlyItsOwnReference) {
    report_in(2, 2, L"E:");  // as a watcher thread still busy when Stop comes
    start();
    const long stops = plugin("TestStops")();
    monitor.reset();
    EXPECT_EQ(stops + 1, plugin("TestStops")());
    EXPECT_EQ(std::vector<std::wstring>{L"2 E: " + usb}, records);
    EXPECT_NE(nullptr, GetModuleHandleW(plugin_path().c_str()));
}

// Makes dir the current directory and the first folder on PATH, for the life of the object.
class planted_dirs {
public:
    explicit planted_dirs(const std::wstring& dir)
        : _cwd(GetCurrentDirectoryW(0, nullptr), L'\0'), _path(32767, L'\0') {
        _cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(_cwd.size()), &_cwd[0]));
        _path.resize(GetEnvironmentVariableW(L"PATH", &_path[0], static_cast<DWORD>(_path.size())));
        EXPECT_TRUE(SetCurrentDirectoryW(dir.c_str()));
        EXPECT_TRUE(SetEnvironmentVariableW(L"PATH", (dir + L";" + _path).c_str()));
    }
    ~planted_dirs() { SetCurrentDirectoryW(_cwd.c_str()), SetEnvironmentVariableW(L"PATH", _path.c_str()); }
    planted_dirs(const planted_dirs&) = delete;
    planted_dirs& operator=(const planted_dirs&) = delete;

private:
    std::wstring _cwd, _path;
};

TEST_F(PnpMonitor, InitializeFailsWithoutItsFolderOrWmi) {
    // Without its folder the path would be relative to the root of the current drive (made C:, the test prefix's
    // own): a TalvernP.dll there is not loaded.
    const temp_dir scratch;
    const planted_dirs planted(scratch.path());
    const struct planted_file {
        ~planted_file() { DeleteFileW(path.c_str()); }
        std::wstring path;
    } at_root{scratch.path().substr(0, 3) + L"TalvernP.dll"};
    ASSERT_TRUE(CopyFileW(plugin_path().c_str(), at_root.path.c_str(), FALSE));
    const fake_module no_path(L"");
    EXPECT_FALSE(PNPMonitor(*this, no_path).initialize());
    init_ok = false;
    EXPECT_FALSE(monitor->initialize());
    EXPECT_FALSE(monitor->run(this, &PnpMonitor::keep));
    log.flush();
    EXPECT_EQ((std::vector<std::string>{"[EROR] get_current_module_path()", "[EROR] no dll, dll=\\TalvernP.dll",
                                        "[EROR] WmiClient::initialize() failed."}),
              log.messages());
}

// The plug-in's own imports come from its folder only: a library of the same name in the current directory or on
// PATH is never loaded, not even when the plug-in's folder lacks it.
TEST_F(PnpMonitor, PluginImportsComeFromItsOwnFolderOnly) {
    const std::wstring with_helper = test_exe_dir() + L"\\with-helper";
    const planted_dirs planted(test_exe_dir() + L"\\impostor");
    const temp_dir lone;
    ASSERT_TRUE(CopyFileW((with_helper + L"\\TalvernP.dll").c_str(), lone.file(L"TalvernP.dll").c_str(), FALSE));
    EXPECT_FALSE(PNPMonitor(*this, fake_module(lone.file(L"TalvernTray.exe"))).initialize());
    EXPECT_EQ(nullptr, GetModuleHandleW(L"TalvernPHelper.dll"));
    const fake_module beside(with_helper + L"\\TalvernTray.exe");
    monitor.reset(new PNPMonitor(*this, beside));
    start();  // the plug-in reports its library's event byte for E: from within Start
    monitor.reset();
    log.flush();
    EXPECT_EQ(std::vector<std::string>{"[EROR] no dll, dll=" + narrow(lone.file(L"TalvernP.dll"))}, log.messages());
    EXPECT_EQ(std::vector<std::wstring>{L"7 E: " + usb}, records);
}

// Byte 1 rebuilds the tables on one thread while another looks up: each record whole, in its thread's order.
TEST_F(PnpMonitor, TwoThreadsReportWhileTheTablesAreRebuilt) {
    start();
    const wchar_t* const letters[] = {L"C:", L"E:", L"e:"};
    const int per_thread = 500;
    auto report = [&](int t) {
        for (int i = 0; i < per_thread; ++i) ASSERT_EQ(1, fire(t + 1, letters[(i + t) % 3]));
    };
    std::thread first(report, 0), second(report, 1);
    first.join(), second.join();
    ASSERT_EQ(2u * per_thread, records.size());
    int next[2] = {};
    for (const std::wstring& r : records) {
        const int t = r[0] == L'2', i = next[t]++;
        const std::wstring letter = letters[(i + t) % 3];
        ASSERT_EQ(std::to_wstring(t + 1) + L" " + letter + L" " + (letter[0] == L'C' ? sys : usb), r) << i;
    }
}

}  // namespace
