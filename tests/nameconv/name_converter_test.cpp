// The shared drive-letter table: lookups, reloads, the network prefix list read
// from the registry, and the reference count that keeps the one instance alive.
#include "nameconv/name_converter.h"

#include "log/log.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

const wchar_t kOrderKey[] = L"System\\CurrentControlSet\\Control\\NetworkProvider\\Order";

// Replaces (or removes) the ProviderOrder value for one test and puts the
// original back afterwards.
class ProviderOrderOverride {
public:
    ProviderOrderOverride() {
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kOrderKey, 0, nullptr, 0,
                                                 KEY_READ | KEY_WRITE, nullptr, &_key, nullptr));
        wchar_t buffer[1024] = {};
        DWORD size = sizeof(buffer) - sizeof(wchar_t);
        _had_value = RegQueryValueExW(_key, L"ProviderOrder", nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(buffer), &size) == ERROR_SUCCESS;
        _original = buffer;
    }
    ~ProviderOrderOverride() {
        if (_had_value) {
            set(_original);
        } else {
            remove();
        }
        RegCloseKey(_key);
    }
    void set(const std::wstring& order) {
        RegSetValueExW(_key, L"ProviderOrder", 0, REG_SZ, reinterpret_cast<const BYTE*>(order.c_str()),
                       static_cast<DWORD>((order.size() + 1) * sizeof(wchar_t)));
    }
    void remove() { RegDeleteValueW(_key, L"ProviderOrder"); }

private:
    HKEY _key = nullptr;
    bool _had_value = false;
    std::wstring _original;
};

std::wstring first_target(const wchar_t* drive) {
    wchar_t buffer[1024] = {};
    if (QueryDosDeviceW(drive, buffer, 1023) == 0) {
        return std::wstring();
    }
    return buffer;
}

// Every test starts and ends without a converter in the process.
class NameConverterTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (int i = 0; i < 8; ++i) {
            NameConverter::release_instance(nullptr);
        }
    }
    LogCapture _log{log_level_debug};
};

TEST_F(NameConverterTest, LookupsAcceptOnlyLetterAndColon) {
    NameConverter* nc = NameConverter::get_instance();
    ASSERT_TRUE(nc->load(false));

    std::wstring name = L"unchanged";
    ASSERT_TRUE(nc->get_device_name_by_drive_letter(L"c:", name));
    const std::wstring expected = first_target(L"C:");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(expected, name);
    EXPECT_NE(L'\\', name.back());
    ASSERT_TRUE(nc->get_device_name_by_drive_letter(L"C:", name));
    EXPECT_EQ(expected, name);

    name = L"unchanged";
    EXPECT_FALSE(nc->get_device_name_by_drive_letter(L"C:\\", name));
    EXPECT_FALSE(nc->get_device_name_by_drive_letter(L"C", name));
    EXPECT_FALSE(nc->get_device_name_by_drive_letter(L"", name));
    EXPECT_FALSE(nc->get_device_name_by_drive_letter(L"1:", name));
    EXPECT_FALSE(nc->get_device_name_by_drive_letter(L"A:", name));
    EXPECT_FALSE(nc->get_device_name_by_drive_letter(nullptr, name));
    EXPECT_EQ(L"unchanged", name);

    finalize_log();
    EXPECT_EQ(1u, _log.count("[EROR] Invalid drive letter. drive_letter=C:\\"));
    EXPECT_EQ(1u, _log.count("[EROR] Invalid drive letter. drive_letter=C"));
    EXPECT_EQ(1u, _log.count("[EROR] Invalid drive letter. drive_letter="));
    EXPECT_EQ(1u, _log.count("[EROR] Can not find device name. drive letter=1:"));
    EXPECT_EQ(1u, _log.count("[EROR] Can not find device name. drive letter=A:"));
    EXPECT_EQ(5u, _log.lines().size());  // the null argument logs nothing
}

TEST_F(NameConverterTest, TableMirrorsTheSystemDrivesWithoutA) {
    NameConverter* nc = NameConverter::get_instance();
    ASSERT_TRUE(nc->load(false));
    EXPECT_TRUE(nc->loaded());

    wchar_t drives[129] = {};
    const DWORD length = GetLogicalDriveStringsW(128, drives);
    ASSERT_GT(length, 0u);
    std::vector<std::wstring> expected;
    for (DWORD i = 0; i + 4 <= length; i += 4) {
        if (drives[i] != L'A' && drives[i] != L'a') {
            expected.push_back(std::wstring(drives + i, 2));
        }
    }
    const std::list<dos_device> table = nc->dos_devices();
    ASSERT_EQ(expected.size(), table.size());
    size_t i = 0;
    for (const dos_device& row : table) {
        EXPECT_EQ(expected[i], row.dos_device_name);
        EXPECT_EQ(first_target(expected[i].c_str()) + L"\\", row.device_prefix);
        EXPECT_EQ(GetDriveTypeW((expected[i] + L"\\").c_str()), row.drive_type);
        if (row.drive_type != DRIVE_REMOTE) {
            EXPECT_TRUE(row.remote_name.empty());
        }
        ++i;
    }

    wchar_t system_drive[MAX_PATH] = {};
    ASSERT_GT(ExpandEnvironmentStringsW(L"%SystemDrive%", system_drive, MAX_PATH), 0u);
    std::wstring lower = system_drive;
    for (auto& c : lower) c = towlower(c);
    EXPECT_EQ(lower, nc->system_drive());
    EXPECT_FALSE(nc->system_root().empty());
    EXPECT_EQ(nc->system_root().find_first_of(L"ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::wstring::npos);
}

TEST_F(NameConverterTest, ReloadsKeepOneMupEntryFollowedByTheProviders) {
    NameConverter* nc = NameConverter::get_instance();
    const std::list<std::wstring> expected = {L"\\Device\\Mup", L"\\Device\\RdpDr", L"\\Device\\LanmanRedirector",
                                              L"\\Device\\WebDavRedirector"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(nc->load(true));
        EXPECT_EQ(expected, nc->mup_devices());
    }
}

TEST_F(NameConverterTest, UnreadableProviderIsSkippedAndLoadSucceeds) {
    ProviderOrderOverride order;
    order.set(L"RDPNP,NoSuchProvider,,webclient");
    NameConverter* nc = NameConverter::get_instance();
    ASSERT_TRUE(nc->load(true));
    const std::list<std::wstring> expected = {L"\\Device\\Mup", L"\\Device\\RdpDr", L"\\Device\\WebDavRedirector"};
    EXPECT_EQ(expected, nc->mup_devices());
    finalize_log();
    EXPECT_EQ(1u, _log.count("[EROR] RUOpenKey() failed. key=SYSTEM\\CurrentControlSet\\Services\\NoSuchProvider\\NetworkProvider"));
}

TEST_F(NameConverterTest, LoadWithoutForceKeepsTheFirstLoad) {
    NameConverter* nc = NameConverter::get_instance();
    ASSERT_TRUE(nc->load(false));
    ProviderOrderOverride order;
    order.remove();

    // Not forced: nothing is read again, so the missing value goes unnoticed.
    EXPECT_TRUE(nc->load(false));
    EXPECT_EQ(4u, nc->mup_devices().size());

    // Forced: the registry is read again and the load fails, still loaded.
    EXPECT_FALSE(nc->load(true));
    EXPECT_TRUE(nc->loaded());
    EXPECT_TRUE(nc->mup_devices().empty());
    EXPECT_FALSE(nc_reload());
    finalize_log();
    const std::vector<std::string> expected = {
        "[EROR] RUReadString( value=ProviderOrder ) failed.", "[EROR] update_mup_device_prefixes() failed.",
        "[EROR] RUReadString( value=ProviderOrder ) failed.", "[EROR] update_mup_device_prefixes() failed."};
    EXPECT_EQ(expected, _log.messages());
}

TEST_F(NameConverterTest, FirstLoadFailsWithoutProviderOrder) {
    ProviderOrderOverride order;
    order.remove();
    NameConverter* nc = NameConverter::get_instance();
    EXPECT_FALSE(nc->load(false));
    EXPECT_FALSE(nc->loaded());
    // The drive table was rebuilt before the network list failed.
    EXPECT_FALSE(nc->dos_devices().empty());
}

TEST_F(NameConverterTest, ReferenceCountKeepsOneInstance) {
    NameConverter* first = NameConverter::get_instance();
    NameConverter* second = NameConverter::get_instance();
    EXPECT_EQ(first, second);
    ASSERT_TRUE(first->load(false));

    NameConverter::release_instance(second);
    // One reference is left: the loaded converter is still there.
    NameConverter* third = NameConverter::get_instance();
    EXPECT_EQ(first, third);
    EXPECT_TRUE(third->loaded());
    NameConverter::release_instance(third);
    NameConverter::release_instance(first);

    // Surplus releases are ignored: the count stays at zero and does not wrap.
    NameConverter::release_instance(nullptr);
    NameConverter::release_instance(nullptr);
    NameConverter* fresh = NameConverter::get_instance();
    EXPECT_FALSE(fresh->loaded());
    ASSERT_TRUE(fresh->load(false));
    NameConverter* again = NameConverter::get_instance();
    NameConverter::release_instance(again);
    EXPECT_TRUE(fresh->loaded());  // still alive: one reference left
    NameConverter::release_instance(fresh);
    EXPECT_FALSE(NameConverter::get_instance()->loaded());  // the last release destroyed it
}

TEST_F(NameConverterTest, ConvenienceCallsGiveTheirReferenceBack) {
    // Without a reference of the caller's own, each call makes and destroys a converter.
    EXPECT_TRUE(nc_reload());
    std::wstring name;
    EXPECT_FALSE(tu_name_conv_drive_to_device(L"C:", name));  // fresh and not loaded
    NameConverter* nc = NameConverter::get_instance();
    EXPECT_FALSE(nc->loaded());

    // With a reference held, they act on the shared instance.
    EXPECT_TRUE(nc_reload());
    EXPECT_TRUE(nc->loaded());
    ASSERT_TRUE(tu_name_conv_drive_to_device(L"C:", name));
    EXPECT_EQ(first_target(L"C:"), name);
    NameConverter::release_instance(nc);
    EXPECT_FALSE(NameConverter::get_instance()->loaded());
}

TEST_F(NameConverterTest, NewDriveIsFoundOnlyAfterReload) {
    NameConverter* nc = NameConverter::get_instance();
    ASSERT_TRUE(nc->load(false));
    wchar_t windows_dir[MAX_PATH] = {};
    ASSERT_GT(GetWindowsDirectoryW(windows_dir, MAX_PATH), 0u);
    if (!DefineDosDeviceW(0, L"Q:", windows_dir)) {
        GTEST_SKIP() << "cannot define drive Q:, gle=" << GetLastError();
    }
    std::wstring name;
    EXPECT_FALSE(tu_name_conv_drive_to_device(L"Q:", name));
    EXPECT_TRUE(nc_reload());
    const bool found = tu_name_conv_drive_to_device(L"q:", name);
    const std::wstring target = first_target(L"Q:");
    DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, L"Q:", windows_dir);
    EXPECT_TRUE(nc_reload());
    ASSERT_TRUE(found);
    EXPECT_EQ(target, name);
}

}  // namespace
