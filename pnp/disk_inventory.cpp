// The disk inventory of PNPMonitor: the three WMI tables, their refresh and the
// drive letter lookup that joins them.
#include "pnp/pnp_monitor.h"

#include "log/log.h"
#include "base/com_holders.h"
#include "pnp/shown_letter.h"
#include "pnp/wmi_values.h"

#include <cwchar>

namespace {

const char* const kLookupFunction = "PNPMonitor::get_pnp_info_by_drive_letter";
const char* const kRefreshFunction = "PNPMonitor::refresh_disk_partions";
const char* const kLogicalFunction = "PNPMonitor::get_logical_to_disk_partition";
const char* const kPartitionsFunction = "PNPMonitor::get_disk_partitions";
const char* const kDrivesFunction = "PNPMonitor::get_disk_drives";

const wchar_t* const kLogicalQuery = L"SELECT Antecedent, Dependent FROM Win32_LogicalDiskToPartition";
const wchar_t* const kPartitionsQuery = L"SELECT DeviceID, DiskIndex FROM Win32_DiskPartition";
const wchar_t* const kDrivesQuery = L"SELECT Index, PNPDeviceID, SerialNumber FROM Win32_DiskDrive";

// Reads property name of object into value; logs and gives false when it fails.
bool read_property(wmi_object& object, const wchar_t* name, variant_holder& value, const char* function) {
    const HRESULT hres = object.get(name, value.put());
    if (FAILED(hres)) {
        log_write_fmt(log_category_general, log_level_error, function, "pclsObj->Get() failed. hres=%u",
                      static_cast<unsigned>(hres));
        return false;
    }
    return true;
}

// A row that cannot be joined is left out, with a warning naming the property.
void log_row_skipped(const char* function, const wchar_t* property) {
    log_write_fmt(log_category_general, log_level_warn, function, "%ws has no value, row skipped.", property);
}

void log_query_failed(const char* function, const wchar_t* query) {
    log_write_fmt(log_category_general, log_level_error, function, "query failed. query=%ws", query);
}

// PNPDeviceID and SerialNumber: "NULL" without a value, else blanks cut.
std::wstring identity_text(const VARIANT& value) {
    std::wstring text;
    if (!variant_text(value, text)) {
        return L"NULL";
    }
    return strip_chars(text, L" ");
}

}  // namespace

bool PNPMonitor::get_logical_to_disk_partition(std::list<logical_disk_to_partition>& rows) {
    const bool ran = _source.for_each_object(kLogicalQuery, [&rows](wmi_object& object) {
        variant_holder antecedent;
        variant_holder dependent;
        if (!read_property(object, L"Antecedent", antecedent, kLogicalFunction) ||
            !read_property(object, L"Dependent", dependent, kLogicalFunction)) {
            return;
        }
        logical_disk_to_partition row;
        std::wstring text;
        if (!variant_text(antecedent.get(), text) || (row.partition = object_path_key(text)).empty()) {
            log_row_skipped(kLogicalFunction, L"Antecedent");
            return;
        }
        if (!variant_text(dependent.get(), text) || (row.logical_disk = object_path_key(text)).empty()) {
            log_row_skipped(kLogicalFunction, L"Dependent");
            return;
        }
        rows.push_back(std::move(row));
    });
    if (!ran) {
        log_query_failed(kLogicalFunction, kLogicalQuery);
    }
    return ran;
}

bool PNPMonitor::get_disk_partitions(std::list<disk_partition>& rows) {
    const bool ran = _source.for_each_object(kPartitionsQuery, [&rows](wmi_object& object) {
        variant_holder device_id;
        variant_holder disk_index;
        if (!read_property(object, L"DeviceID", device_id, kPartitionsFunction) ||
            !read_property(object, L"DiskIndex", disk_index, kPartitionsFunction)) {
            return;
        }
        disk_partition row;
        std::wstring text;
        if (!variant_text(device_id.get(), text) || (row.device_id = strip_chars(text, L" ")).empty()) {
            log_row_skipped(kPartitionsFunction, L"DeviceID");
            return;
        }
        // A partition without a disk index is kept as "no disk".
        if (!variant_int32(disk_index.get(), row.disk_index)) {
            row.disk_index = kNoDiskIndex;
        }
        rows.push_back(std::move(row));
    });
    if (!ran) {
        log_query_failed(kPartitionsFunction, kPartitionsQuery);
    }
    return ran;
}

bool PNPMonitor::get_disk_drives(std::list<disk_drive>& rows) {
    const bool ran = _source.for_each_object(kDrivesQuery, [&rows](wmi_object& object) {
        variant_holder index;
        variant_holder pnp_device_id;
        variant_holder serial_number;
        if (!read_property(object, L"Index", index, kDrivesFunction) ||
            !read_property(object, L"PNPDeviceID", pnp_device_id, kDrivesFunction) ||
            !read_property(object, L"SerialNumber", serial_number, kDrivesFunction)) {
            return;
        }
        disk_drive row;
        if (!variant_int32(index.get(), row.index)) {
            row.index = 0;
        }
        row.pnp_device_id = identity_text(pnp_device_id.get());
        row.serial_number = identity_text(serial_number.get());
        rows.push_back(std::move(row));
    });
    if (!ran) {
        log_query_failed(kDrivesFunction, kDrivesQuery);
    }
    return ran;
}

bool PNPMonitor::refresh_disk_partions() {
    std::lock_guard<std::mutex> guard(_tables_lock);
    return refresh_tables();
}

bool PNPMonitor::refresh_tables() {
    _logical_to_disk_partitions.clear();
    _disk_partitions.clear();
    _disk_drives.clear();

    if (!_source.reload_device_names()) {
        log_write_fmt(log_category_general, log_level_error, kRefreshFunction, "nc_reload() failed. ");
        return false;
    }
    if (!get_logical_to_disk_partition(_logical_to_disk_partitions)) {
        log_write_fmt(log_category_general, log_level_error, kRefreshFunction, "get_logical_to_disk_partition() failed.");
        return false;
    }
    if (!get_disk_partitions(_disk_partitions)) {
        log_write_fmt(log_category_general, log_level_error, kRefreshFunction, "get_disk_partitions() failed.");
        return false;
    }
    if (!get_disk_drives(_disk_drives)) {
        log_write_fmt(log_category_general, log_level_error, kRefreshFunction, "get_disk_drives() failed.");
        return false;
    }
    return true;
}

bool PNPMonitor::get_pnp_info_by_drive_letter(uint8_t event_type, const wchar_t* drive_letter,
                                              std::wstring& pnp_device_id, std::wstring& serial_number,
                                              std::wstring& device_name) {
    if (!_initialized || drive_letter == nullptr || wcslen(drive_letter) != 2) {
        return false;
    }

    std::lock_guard<std::mutex> guard(_tables_lock);
    if (event_type == kPnpEventRefresh) {
        // The lookup runs on whatever the refresh leaves; its failure is logged there.
        refresh_tables();
    }

    const logical_disk_to_partition* logical = nullptr;
    for (const auto& row : _logical_to_disk_partitions) {
        if (_wcsnicmp(row.logical_disk.c_str(), drive_letter, 2) == 0) {
            logical = &row;
            break;
        }
    }
    if (logical == nullptr || logical->partition.empty()) {
        log_write_fmt(log_category_general, log_level_error, kLookupFunction,
                      "no disk and partition info by drive letter=%ws", shown_letter(drive_letter).c_str());
        return false;
    }
    const std::wstring& partition = logical->partition;

    // A device id that merely begins with the partition text matches too.
    const disk_partition* part = nullptr;
    for (const auto& row : _disk_partitions) {
        if (_wcsnicmp(row.device_id.c_str(), partition.c_str(), partition.size()) == 0) {
            part = &row;
            break;
        }
    }
    if (part == nullptr || part->disk_index == kNoDiskIndex) {
        log_write_fmt(log_category_general, log_level_error, kLookupFunction,
                      "no disk index by disk and partition info=%ws", partition.c_str());
        return false;
    }

    // A disk index missing from the disk drives leaves id and serial number as they are.
    for (const auto& row : _disk_drives) {
        if (row.index == part->disk_index) {
            pnp_device_id = row.pnp_device_id;
            serial_number = row.serial_number;
            break;
        }
    }

    if (!_source.device_name(drive_letter, device_name)) {
        log_write_fmt(log_category_general, log_level_error, kLookupFunction,
                      "tu_name_conv_drive_to_device( drive_letter=%ws ) failed.", drive_letter);
        return false;
    }
    return true;
}

std::list<logical_disk_to_partition> PNPMonitor::logical_to_disk_partitions() {
    std::lock_guard<std::mutex> guard(_tables_lock);
    return _logical_to_disk_partitions;
}

std::list<disk_partition> PNPMonitor::disk_partitions() {
    std::lock_guard<std::mutex> guard(_tables_lock);
    return _disk_partitions;
}

std::list<disk_drive> PNPMonitor::disk_drives() {
    std::lock_guard<std::mutex> guard(_tables_lock);
    return _disk_drives;
}
