// The process-wide drive letter table: the drive table, a drive that comes later and the lookups, the network
// prefix list from the registry, loads, and the reference count that keeps one instance.
#include "nameconv/name_converter.h"

#include "log/log.h"
#include "tests/support/log_capture.h"
#include "tests/support/registry_value.h"
#include "util/dos_device.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>

namespace {

std::wstring target_of(const std::wstring& drive) {
    wchar_t buffer[1024] = {};
    return QueryDosDeviceW(drive.c_str(), buffer, 1023) != 0 ? buffer : L"";
}

// Holds a reference for the test; the last release destroys the converter.
class NameConverterTest : public testing::Test {
protected:
    ~NameConverterTest() override { NameConverter::release_instance(nc); }
    LogCapture log{log_level_debug};
    NameConverter* nc = NameConverter::get_instance();
};

// A: (defined if the system has none) and a new drive come after the first load: a reload takes the new one in,
// and never A:, nor a drive that goes away between the listing and the question.
TEST_F(NameConverterTest, DriveTableMirrorsTheSystemWithoutAAndLearnsNewDrivesOnReload) {
    ASSERT_TRUE(nc->load(false));
    wchar_t added[] = L"Q:";
    while (added[0] < L'Z' && !target_of(added).empty()) ++added[0];
    struct defined_drives : std::vector<std::wstring> {  // removed again when the test ends
        ~defined_drives() { for (const auto& d : *this) DefineDosDeviceW(DDD_REMOVE_DEFINITION, d.c_str(), nullptr); }
    } defined;
    for (const std::wstring drive : {L"A:", static_cast<const wchar_t*>(added)}) {
        if (target_of(drive).empty()) defined.push_back(drive);
    }
    for (const auto& d : defined) ASSERT_TRUE(DefineDosDeviceW(0, d.c_str(), L"C:\\")) << GetLastError();
    std::wstring name;
    EXPECT_FALSE(tu_name_conv_drive_to_device(added, name));
    ASSERT_TRUE(nc_reload());
    for (const std::wstring letter : {static_cast<const wchar_t*>(added), L"C:", L"c:"}) {
        EXPECT_TRUE(nc->get_device_name_by_drive_letter(letter.c_str(), name));
        EXPECT_EQ(target_of(letter), name);
    }
    EXPECT_FALSE(nc->get_device_name_by_drive_letter(L"CC", name));
    wchar_t drives[129] = {};
    ASSERT_NE(0u, GetLogicalDriveStringsW(128, drives));
    std::vector<std::wstring> expected, table;
    for (const wchar_t* d = drives; *d != 0; d += 4) {
        const std::wstring drive(d, 2);
        if (*d != L'A') expected.push_back(drive + L"=" + target_of(drive) + L"\\ " + wchar_t(L'0' + GetDriveTypeW(d)));
    }
    for (const dos_device& row : nc->dos_devices()) {
        table.push_back(row.dos_device_name + L"=" + row.device_prefix + L" " + wchar_t(L'0' + row.drive_type));
    }
    EXPECT_EQ(expected, table);
    struct : dos_device_api {  // C: goes away between the listing and the question
        bool query(const wchar_t* drive, std::wstring& target) const override {
            return _wcsicmp(drive, L"C:") != 0 && query_dos_device(drive, target);
        }
    } c_gone;
    NameConverter own(c_gone);
    EXPECT_TRUE(own.load(true));
    EXPECT_FALSE(own.get_device_name_by_drive_letter(L"C:", name));
    EXPECT_TRUE(own.get_device_name_by_drive_letter(added, name));  // the others stay
    log.flush();
    const std::string unknown = "[EROR] Can not find device name. drive letter=";
    EXPECT_EQ((std::vector<std::string>{unknown + std::string{char(*added), ':'},
                                        "[EROR] Invalid drive letter. drive_letter=CC",
                                        "[WARN] query_dos_device( dos_device_name = C: ) failed, drive skipped.",
                                        unknown + "C:"}),
              log.messages());
}

TEST_F(NameConverterTest, NetworkPrefixesAreMupThenEachReadableProvider) {
    scoped_registry_value order(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\NetworkProvider\\Order",
                                L"ProviderOrder");
    ASSERT_TRUE(order.remove());
    EXPECT_FALSE(nc->load(false));  // a first load reads the registry
    EXPECT_FALSE(nc->loaded());
    ASSERT_TRUE(order.set(L"RDPNP,NoSuchProvider,,webclient"));
    for (bool force : {false, true}) {  // the forced load builds the list again, not adds to it
        ASSERT_TRUE(nc->load(force));
        EXPECT_EQ((std::list<std::wstring>{L"\\Device\\Mup", L"\\Device\\RdpDr", L"\\Device\\WebDavRedirector"}),
                  nc->mup_devices());
    }
    ASSERT_TRUE(order.remove());
    EXPECT_TRUE(nc->load(false));  // loaded before: nothing is read again
    log.flush();
    const std::string no_key = "[EROR] RUOpenKey() failed. key=SYSTEM\\CurrentControlSet\\Services\\NoSuchProvider\\"
                               "NetworkProvider";
    EXPECT_EQ((std::vector<std::string>{"[EROR] RUReadString( value=ProviderOrder ) failed.",
                                        "[EROR] update_mup_device_prefixes() failed.", no_key, no_key}),
              log.messages());
}

TEST(NameConverter, OneInstanceUntilTheLastReleaseAndConvenienceCallsGiveTheirsBack) {
    NameConverter::release_instance(nullptr);  // surplus: ignored
    NameConverter* first = NameConverter::get_instance();
    EXPECT_EQ(first, NameConverter::get_instance());
    EXPECT_TRUE(first->load(false));
    NameConverter::release_instance(first);
    EXPECT_TRUE(NameConverter::get_instance()->loaded());  // a reference was left
    NameConverter::release_instance(first);
    NameConverter::release_instance(first);  // the last: destroys it
    EXPECT_TRUE(nc_reload());                // on a converter of its own, gone with the call
    NameConverter* fresh = NameConverter::get_instance();
    EXPECT_FALSE(fresh->loaded());
    NameConverter::release_instance(fresh);
}

}  // namespace
