// Rows of the disk inventory's three tables, read from WMI: logical disk to
// partition, partition to disk index, and disk index to the disk's identity.
#pragma once

#include <cstdint>
#include <string>

// One Win32_LogicalDiskToPartition instance.
struct logical_disk_to_partition {
    std::wstring partition;     // "Disk #1, Partition #0"
    std::wstring logical_disk;  // "E:"
};

// One Win32_DiskPartition instance.
struct disk_partition {
    std::wstring device_id;  // "Disk #1, Partition #0"
    int32_t disk_index = -1;  // -1 (0xFFFFFFFF): no disk index
};

// One Win32_DiskDrive instance.
struct disk_drive {
    int32_t index = 0;
    std::wstring pnp_device_id;  // "NULL" when WMI gives no value
    std::wstring serial_number;  // "NULL" when WMI gives no value
};

// Disk index that stands for "no disk".
constexpr int32_t kNoDiskIndex = -1;
