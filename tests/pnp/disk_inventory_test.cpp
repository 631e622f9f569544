// The disk inventory: the three table builders (against Wine's WMI and against
// hand-made rows), the property conversions, the refresh and its failures, and
// the drive letter lookup with its prefix matches and log lines.
#include "pnp/pnp_monitor.h"

#include "log/log.h"
#include "tests/pnp/fake_disk_source.h"
#include "tests/pnp/pnp_test_support.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

struct lookup_result {
    bool ok = false;
    std::wstring pnp_device_id;
    std::wstring serial_number;
    std::wstring device_name;
};

lookup_result lookup(PNPMonitor& monitor, uint8_t event_type, const wchar_t* drive_letter) {
    lookup_result r;
    r.ok = monitor.get_pnp_info_by_drive_letter(event_type, drive_letter, r.pnp_device_id, r.serial_number,
                                                r.device_name);
    return r;
}

// A monitor over fake rows: the test plug-in next to the test executable makes
// initialize work; the first refresh reads whatever rows the test set up.
class DiskInventory : public testing::Test {
protected:
    void SetUp() override {
        source.device_names[L'C'] = L"\\Device\\HarddiskVolume1";
        source.device_names[L'E'] = L"\\Device\\HarddiskVolume3";
    }

    // The usual two-disk machine: C: on disk 0, E: on disk 1.
    void add_two_disks() {
        source.add_logical(L"Disk #0, Partition #0", L"C:");
        source.add_logical(L"Disk #1, Partition #0", L"E:");
        source.add_partition(L"Disk #0, Partition #0", 0);
        source.add_partition(L"Disk #1, Partition #0", 1);
        source.add_drive(0, L"IDE\\Disk\\VEN_SYS", L"SYS-1");
        source.add_drive(1, L"USBSTOR\\Disk&Ven_Kingston", L"KS-42");
    }

    void start() { ASSERT_TRUE(monitor.initialize()); }

    LogCapture log{log_level_debug};
    fake_disk_source source;
    PNPMonitor monitor{source};
};

TEST_F(DiskInventory, JoinsDriveLetterToItsDiskCaseInsensitively) {
    add_two_disks();
    start();
    for (const wchar_t* letter : {L"E:", L"e:"}) {
        const auto r = lookup(monitor, 0, letter);
        ASSERT_TRUE(r.ok) << narrow(letter);
        EXPECT_EQ(L"USBSTOR\\Disk&Ven_Kingston", r.pnp_device_id);
        EXPECT_EQ(L"KS-42", r.serial_number);
        EXPECT_EQ(L"\\Device\\HarddiskVolume3", r.device_name);
    }
    const auto c = lookup(monitor, 0, L"C:");
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(L"SYS-1", c.serial_number);
}

TEST_F(DiskInventory, ObjectPathsBecomeTheirQuotedKey) {
    add_two_disks();
    // No "=": the whole text, quotes cut; several "=": the text after the last.
    source.add_object(fake_disk_source::logical_query,
                      {{L"Antecedent", fake_value::text_of(L"\"Disk #2, Partition #3\"")},
                       {L"Dependent", fake_value::text_of(L"a=b=\"\"F:\"")}});
    start();
    const auto rows = monitor.logical_to_disk_partitions();
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ(L"Disk #0, Partition #0", rows.front().partition);
    EXPECT_EQ(L"C:", rows.front().logical_disk);
    EXPECT_EQ(L"Disk #2, Partition #3", rows.back().partition);
    EXPECT_EQ(L"F:", rows.back().logical_disk);
}

TEST_F(DiskInventory, UnknownLetterIsLogged) {
    add_two_disks();
    start();
    EXPECT_FALSE(lookup(monitor, 0, L"F:").ok);
    EXPECT_FALSE(lookup(monitor, 0, L"1:").ok);
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] no disk and partition info by drive letter=F:"));
    EXPECT_EQ(1u, log.count("[EROR] no disk and partition info by drive letter=1:"));
}

TEST_F(DiskInventory, MalformedLettersFailWithoutALine) {
    add_two_disks();
    start();
    const std::wstring long_text(300, L'E');
    for (const wchar_t* letter : {L"E", L"E:\\", L"", long_text.c_str()}) {
        EXPECT_FALSE(lookup(monitor, 0, letter).ok);
    }
    EXPECT_FALSE(lookup(monitor, 0, nullptr).ok);
    sync_log(log);
    EXPECT_EQ(1u, log.messages().size());  // only the marker
}

TEST_F(DiskInventory, LookupNeedsAnInitialisedMonitor) {
    add_two_disks();
    EXPECT_FALSE(lookup(monitor, 0, L"C:").ok);
    EXPECT_FALSE(lookup(monitor, 1, L"C:").ok);
    EXPECT_EQ(0, source.reloads.load());  // not even a refresh
}

TEST_F(DiskInventory, PartitionTextMatchesTheFirstRowItBegins) {
    // "Disk #1, Partition #1" is a prefix of "Disk #1, Partition #10": the first
    // of the two rows wins, whichever it is.
    source.add_logical(L"Disk #1, Partition #1", L"E:");
    source.add_partition(L"Disk #1, Partition #10", 7);
    source.add_partition(L"Disk #1, Partition #1", 1);
    source.add_drive(1, L"ID-ONE", L"S-ONE");
    source.add_drive(7, L"ID-SEVEN", L"S-SEVEN");
    start();
    EXPECT_EQ(L"ID-SEVEN", lookup(monitor, 0, L"E:").pnp_device_id);

    source.clear_rows();
    source.add_logical(L"Disk #1, Partition #1", L"E:");
    source.add_partition(L"disk #1, partition #1", 1);  // case does not matter either
    source.add_partition(L"Disk #1, Partition #10", 7);
    source.add_drive(1, L"ID-ONE", L"S-ONE");
    source.add_drive(7, L"ID-SEVEN", L"S-SEVEN");
    EXPECT_EQ(L"ID-ONE", lookup(monitor, 1, L"E:").pnp_device_id);

    // The other way round there is no match: the row's id is shorter than the text.
    source.clear_rows();
    source.add_logical(L"Disk #1, Partition #10", L"E:");
    source.add_partition(L"Disk #1, Partition #1", 1);
    EXPECT_FALSE(lookup(monitor, 1, L"E:").ok);
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] no disk index by disk and partition info=Disk #1, Partition #10"));
}

TEST_F(DiskInventory, PartitionWithoutDiskIndexIsNotResolved) {
    source.add_logical(L"Disk #1, Partition #0", L"E:");
    source.add_logical(L"Disk #2, Partition #0", L"F:");
    source.add_logical(L"Disk #3, Partition #0", L"G:");
    source.add_object(fake_disk_source::partitions_query,
                      {{L"DeviceID", fake_value::text_of(L"Disk #1, Partition #0")},
                       {L"DiskIndex", fake_value::i4(-1)}});
    source.add_object(fake_disk_source::partitions_query,
                      {{L"DeviceID", fake_value::text_of(L"Disk #2, Partition #0")},
                       {L"DiskIndex", fake_value::ui4(0xFFFFFFFFu)}});
    source.add_object(fake_disk_source::partitions_query,
                      {{L"DeviceID", fake_value::text_of(L"Disk #3, Partition #0")},
                       {L"DiskIndex", fake_value::null_value()}});
    source.add_drive(-1, L"NEVER", L"NEVER");
    source.device_names[L'F'] = L"\\Device\\HarddiskVolume4";
    source.device_names[L'G'] = L"\\Device\\HarddiskVolume5";
    start();
    EXPECT_FALSE(lookup(monitor, 0, L"E:").ok);
    EXPECT_FALSE(lookup(monitor, 0, L"F:").ok);
    EXPECT_FALSE(lookup(monitor, 0, L"G:").ok);
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] no disk index by disk and partition info=Disk #1, Partition #0"));
    EXPECT_EQ(1u, log.count("[EROR] no disk index by disk and partition info=Disk #2, Partition #0"));
    EXPECT_EQ(1u, log.count("[EROR] no disk index by disk and partition info=Disk #3, Partition #0"));
}

TEST_F(DiskInventory, DiskMissingFromDrivesLeavesIdAndSerialAsTheyWere) {
    source.add_logical(L"Disk #5, Partition #0", L"E:");
    source.add_partition(L"Disk #5, Partition #0", 5);
    source.add_drive(0, L"IDE\\Disk\\VEN_SYS", L"SYS-1");
    start();
    const auto r = lookup(monitor, 0, L"E:");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(L"", r.pnp_device_id);
    EXPECT_EQ(L"", r.serial_number);
    EXPECT_EQ(L"\\Device\\HarddiskVolume3", r.device_name);

    std::wstring id = L"kept", serial = L"kept", name;
    ASSERT_TRUE(monitor.get_pnp_info_by_drive_letter(0, L"E:", id, serial, name));
    EXPECT_EQ(L"kept", id);
    EXPECT_EQ(L"kept", serial);
}

TEST_F(DiskInventory, ValuesWithoutContentBecomeNullAndBlanksAreCut) {
    source.add_logical(L"Disk #1, Partition #0", L"E:");
    source.add_logical(L"Disk #2, Partition #0", L"F:");
    source.add_logical(L"Disk #0, Partition #0", L"C:");
    source.add_object(fake_disk_source::partitions_query,
                      {{L"DeviceID", fake_value::text_of(L"  Disk #1, Partition #0  ")},
                       {L"DiskIndex", fake_value::i4(1)}});
    source.add_partition(L"Disk #2, Partition #0", 2);
    source.add_partition(L"Disk #0, Partition #0", 0);
    source.add_object(fake_disk_source::drives_query, {{L"Index", fake_value::i4(1)},
                                                       {L"PNPDeviceID", fake_value::null_value()},
                                                       {L"SerialNumber", fake_value::empty_value()}});
    source.add_object(fake_disk_source::drives_query, {{L"Index", fake_value::i4(2)},
                                                       {L"PNPDeviceID", fake_value::text_of(L"  SCSI\\Disk  ")},
                                                       {L"SerialNumber", fake_value::text_of(L"\t WD-123 \t")}});
    // No Index: the row counts as disk 0.
    source.add_object(fake_disk_source::drives_query, {{L"Index", fake_value::null_value()},
                                                       {L"PNPDeviceID", fake_value::text_of(L"   ")},
                                                       {L"SerialNumber", fake_value::text_of(L"SYS")}});
    source.device_names[L'F'] = L"\\Device\\HarddiskVolume4";
    start();

    const auto e = lookup(monitor, 0, L"E:");
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(L"NULL", e.pnp_device_id);
    EXPECT_EQ(L"NULL", e.serial_number);

    const auto f = lookup(monitor, 0, L"F:");
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(L"SCSI\\Disk", f.pnp_device_id);
    EXPECT_EQ(L"\t WD-123 \t", f.serial_number);  // only the blank (U+0020) is cut

    const auto c = lookup(monitor, 0, L"C:");
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(L"", c.pnp_device_id);  // all blanks
    EXPECT_EQ(L"SYS", c.serial_number);
    EXPECT_EQ(L"Disk #1, Partition #0", monitor.disk_partitions().front().device_id);
}

TEST_F(DiskInventory, UnreadablePropertySkipsTheWholeRow) {
    const HRESULT not_found = static_cast<HRESULT>(0x80041002);
    source.add_object(fake_disk_source::logical_query,
                      {{L"Antecedent", fake_value::text_of(L"x.DeviceId=\"Disk #1, Partition #0\"")},
                       {L"Dependent", fake_value::failing(not_found)}});
    source.add_logical(L"Disk #0, Partition #0", L"C:");
    source.add_object(fake_disk_source::partitions_query,
                      {{L"DeviceID", fake_value::text_of(L"Disk #0, Partition #0")},
                       {L"DiskIndex", fake_value::failing(E_FAIL)}});
    source.add_partition(L"Disk #0, Partition #0", 0);
    source.add_object(fake_disk_source::drives_query, {{L"Index", fake_value::i4(0)},
                                                       {L"PNPDeviceID", fake_value::text_of(L"BAD")},
                                                       {L"SerialNumber", fake_value::failing(E_FAIL)}});
    source.add_drive(0, L"GOOD", L"G-1");
    start();
    const auto logical = monitor.logical_to_disk_partitions();
    ASSERT_EQ(1u, logical.size());  // the Antecedent of the skipped row is not kept
    EXPECT_EQ(L"C:", logical.front().logical_disk);
    EXPECT_EQ(1u, monitor.disk_partitions().size());
    ASSERT_EQ(1u, monitor.disk_drives().size());
    EXPECT_EQ(L"GOOD", lookup(monitor, 0, L"C:").pnp_device_id);
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] pclsObj->Get() failed. hres=2147749890"));
    EXPECT_EQ(2u, log.count("[EROR] pclsObj->Get() failed. hres=2147500037"));
}

TEST_F(DiskInventory, RowsWithoutKeysAreSkipped) {
    source.add_object(fake_disk_source::logical_query,
                      {{L"Antecedent", fake_value::null_value()}, {L"Dependent", fake_value::text_of(L"x=\"E:\"")}});
    source.add_object(fake_disk_source::logical_query,
                      {{L"Antecedent", fake_value::text_of(L"x=\"Disk #1, Partition #0\"")},
                       {L"Dependent", fake_value::null_string()}});
    source.add_object(fake_disk_source::logical_query,
                      {{L"Antecedent", fake_value::text_of(L"x=\"\"")},
                       {L"Dependent", fake_value::text_of(L"x=\"G:\"")}});
    source.add_object(fake_disk_source::logical_query,
                      {{L"Antecedent", fake_value::text_of(L"x=\"Disk #1, Partition #0\"")},
                       {L"Dependent", fake_value::empty_value()}});
    source.add_object(fake_disk_source::partitions_query,
                      {{L"DeviceID", fake_value::null_value()}, {L"DiskIndex", fake_value::i4(1)}});
    source.add_object(fake_disk_source::partitions_query,
                      {{L"DeviceID", fake_value::text_of(L"   ")}, {L"DiskIndex", fake_value::i4(1)}});
    source.add_logical(L"Disk #0, Partition #0", L"C:");
    source.add_partition(L"Disk #0, Partition #0", 0);
    source.add_drive(0, L"ID", L"SN");
    start();
    EXPECT_EQ(1u, monitor.logical_to_disk_partitions().size());
    EXPECT_EQ(1u, monitor.disk_partitions().size());
    EXPECT_TRUE(lookup(monitor, 0, L"C:").ok);
    EXPECT_FALSE(lookup(monitor, 0, L"E:").ok);
    EXPECT_FALSE(lookup(monitor, 0, L"G:").ok);
    sync_log(log);
    EXPECT_EQ(2u, log.count("[WARN] Antecedent has no value, row skipped."));
    EXPECT_EQ(2u, log.count("[WARN] Dependent has no value, row skipped."));
    EXPECT_EQ(2u, log.count("[WARN] DeviceID has no value, row skipped."));
}

TEST_F(DiskInventory, FailingDriveQueryKeepsTheFirstTwoTables) {
    add_two_disks();
    source.failing_queries.insert(fake_disk_source::drives_query);
    start();  // the first build fails; initialize does not
    EXPECT_EQ(2u, monitor.logical_to_disk_partitions().size());
    EXPECT_EQ(2u, monitor.disk_partitions().size());
    EXPECT_EQ(0u, monitor.disk_drives().size());
    const auto r = lookup(monitor, 0, L"E:");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(L"", r.pnp_device_id);
    EXPECT_EQ(L"", r.serial_number);
    EXPECT_FALSE(monitor.refresh_disk_partions());
    sync_log(log);
    EXPECT_EQ(2u, log.count("[EROR] query failed. query=SELECT Index, PNPDeviceID, SerialNumber FROM Win32_DiskDrive"));
    EXPECT_EQ(2u, log.count("[EROR] get_disk_drives() failed."));
}

TEST_F(DiskInventory, FailingFirstQueriesLeaveLaterTablesEmpty) {
    add_two_disks();
    start();
    source.failing_queries.insert(fake_disk_source::partitions_query);
    EXPECT_FALSE(monitor.refresh_disk_partions());
    EXPECT_EQ(2u, monitor.logical_to_disk_partitions().size());
    EXPECT_EQ(0u, monitor.disk_partitions().size());
    EXPECT_EQ(0u, monitor.disk_drives().size());

    source.failing_queries = {fake_disk_source::logical_query};
    EXPECT_FALSE(monitor.refresh_disk_partions());
    EXPECT_EQ(0u, monitor.logical_to_disk_partitions().size());
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] query failed. query=SELECT DeviceID, DiskIndex FROM Win32_DiskPartition"));
    EXPECT_EQ(1u, log.count("[EROR] get_disk_partitions() failed."));
    EXPECT_EQ(1u, log.count("[EROR] query failed. query=SELECT Antecedent, Dependent FROM "
                            "Win32_LogicalDiskToPartition"));
    EXPECT_EQ(1u, log.count("[EROR] get_logical_to_disk_partition() failed."));
}

TEST_F(DiskInventory, FailingConverterReloadEmptiesEveryTable) {
    add_two_disks();
    start();
    ASSERT_TRUE(lookup(monitor, 0, L"E:").ok);
    const int queries_before = source.queries.load();

    source.reload_result = false;
    EXPECT_FALSE(lookup(monitor, 1, L"E:").ok);
    EXPECT_EQ(queries_before, source.queries.load());  // no query after the failed reload
    EXPECT_EQ(0u, monitor.logical_to_disk_partitions().size());
    EXPECT_EQ(0u, monitor.disk_partitions().size());
    EXPECT_EQ(0u, monitor.disk_drives().size());
    EXPECT_FALSE(lookup(monitor, 0, L"C:").ok);  // until a refresh works

    source.reload_result = true;
    EXPECT_TRUE(lookup(monitor, 1, L"C:").ok);
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] nc_reload() failed. "));
    EXPECT_EQ(1u, log.count("[EROR] no disk and partition info by drive letter=E:"));
    EXPECT_EQ(1u, log.count("[EROR] no disk and partition info by drive letter=C:"));
}

TEST_F(DiskInventory, OnlyEventByteOneRefreshes) {
    source.add_logical(L"Disk #0, Partition #0", L"C:");
    source.add_partition(L"Disk #0, Partition #0", 0);
    source.add_drive(0, L"IDE\\Disk\\VEN_SYS", L"SYS-1");
    start();
    EXPECT_EQ(1, source.reloads.load());

    // E: comes after the last refresh.
    source.add_logical(L"Disk #1, Partition #0", L"E:");
    source.add_partition(L"Disk #1, Partition #0", 1);
    source.add_drive(1, L"USBSTOR\\X", L"X-1");
    for (uint8_t byte : {0, 2, 255}) {
        EXPECT_FALSE(lookup(monitor, byte, L"E:").ok) << int(byte);
    }
    EXPECT_EQ(1, source.reloads.load());
    const auto r = lookup(monitor, 1, L"E:");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(L"X-1", r.serial_number);
    EXPECT_EQ(2, source.reloads.load());

    // Gone again: byte 2 still finds it in the tables of the last refresh.
    source.clear_rows();
    source.add_logical(L"Disk #0, Partition #0", L"C:");
    EXPECT_TRUE(lookup(monitor, 2, L"E:").ok);
    EXPECT_FALSE(lookup(monitor, 1, L"E:").ok);
}

TEST_F(DiskInventory, ConverterWithoutTheLetterFailsTheLookup) {
    add_two_disks();
    source.device_names.erase(L'E');
    start();
    EXPECT_FALSE(lookup(monitor, 0, L"E:").ok);
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] tu_name_conv_drive_to_device( drive_letter=E: ) failed."));
}

// Against Wine's WMI and the real device name converter.
TEST(DiskInventoryWine, BuildersReadWineWmiAndResolveC) {
    LogCapture log(log_level_debug);
    converter_reference converter;
    ASSERT_TRUE(converter.loaded());
    PNPMonitor monitor;
    ASSERT_TRUE(monitor.initialize());

    std::list<logical_disk_to_partition> logical;
    std::list<disk_partition> partitions;
    std::list<disk_drive> drives;
    ASSERT_TRUE(monitor.get_logical_to_disk_partition(logical));
    ASSERT_TRUE(monitor.get_disk_partitions(partitions));
    ASSERT_TRUE(monitor.get_disk_drives(drives));
    ASSERT_FALSE(logical.empty());
    EXPECT_EQ(L"Disk #0, Partition #0", logical.front().partition);
    EXPECT_EQ(L"C:", logical.front().logical_disk);
    EXPECT_EQ(L"Disk #0, Partition #0", partitions.front().device_id);
    EXPECT_EQ(0, partitions.front().disk_index);
    ASSERT_FALSE(drives.empty());
    EXPECT_EQ(0, drives.front().index);
    EXPECT_EQ(L"IDE\\Disk\\VEN_WINE", drives.front().pnp_device_id);
    EXPECT_EQ(L"WINEHDISK", drives.front().serial_number);

    // The builders append; the monitor's own tables hold the same rows.
    EXPECT_TRUE(monitor.get_disk_drives(drives));
    EXPECT_EQ(2 * monitor.disk_drives().size(), drives.size());

    wchar_t target[MAX_PATH] = {};
    ASSERT_NE(0u, QueryDosDeviceW(L"C:", target, MAX_PATH));
    for (uint8_t byte : {0, 1}) {
        const auto c = lookup(monitor, byte, L"c:");
        ASSERT_TRUE(c.ok);
        EXPECT_EQ(L"IDE\\Disk\\VEN_WINE", c.pnp_device_id);
        EXPECT_EQ(L"WINEHDISK", c.serial_number);
        EXPECT_EQ(std::wstring(target), c.device_name);
    }
    monitor.stop();
}

}  // namespace
