// The agent's source of device events: loads the plug-in library "TalvernP.dll"
// from the agent's directory, starts it with dll_callback, and turns each event
// it reports (event byte, drive letter) into a pnp_info record naming the disk
// behind the drive letter, which it hands to the owner's callback. The monitor
// also keeps the disk inventory: three tables read from WMI and their join.
#pragma once

#include "pnp/disk_rows.h"
#include "pnp/disk_source.h"
#include "pnp/plugin_contract.h"
#include "pnp/pnp_info.h"
#include "pnp/wmi_client.h"
#include "pnp/wmi_disk_source.h"
#include "base/handles.h"
#include "base/module_file.h"

#include <windows.h>

#include <cstdint>
#include <list>
#include <mutex>
#include <string>

class PNPMonitor {
public:
    PNPMonitor();
    // A monitor whose disk facts come from source instead of WMI and the device
    // name converter, and which looks for the plug-in in the folder of module's
    // file (both must outlive it).
    explicit PNPMonitor(disk_source& source, const module_file_api& module = this_process_module());
    ~PNPMonitor();
    PNPMonitor(const PNPMonitor&) = delete;
    PNPMonitor& operator=(const PNPMonitor&) = delete;

    // Loads the plug-in, resolves "Start" and "Stop", connects to WMI and builds
    // the disk tables.
    bool initialize();
    // Starts the plug-in; records go to callback with context. False only when
    // the monitor is not initialised.
    bool run(void* context, pnp_callback_fn callback);
    // Stops the plug-in and unloads it. May be called more than once.
    void stop();

    // Disk inventory. The lookup resolves a two-character drive letter to its
    // disk's plug-and-play device id and serial number and its NT device name;
    // event byte 1 rebuilds the tables first.
    bool get_pnp_info_by_drive_letter(uint8_t event_type, const wchar_t* drive_letter,
                                      std::wstring& pnp_device_id, std::wstring& serial_number,
                                      std::wstring& device_name);
    bool refresh_disk_partions();
    bool get_logical_to_disk_partition(std::list<logical_disk_to_partition>& rows);
    bool get_disk_partitions(std::list<disk_partition>& rows);
    bool get_disk_drives(std::list<disk_drive>& rows);

    // Copies of the tables as they stand, for diagnostics and tests.
    std::list<logical_disk_to_partition> logical_to_disk_partitions();
    std::list<disk_partition> disk_partitions();
    std::list<disk_drive> disk_drives();

    bool initialized() const { return _initialized; }

private:
    friend void dll_callback(void* context, uint8_t event_type, const wchar_t* drive_letter);

    // The refresh, with _tables_lock held by the caller.
    bool refresh_tables();

    bool _initialized = false;
    WmiClient _wmi;
    module_handle _module;
    plugin_start_fn _start_fn = nullptr;
    plugin_stop_fn _stop_fn = nullptr;
    void* _context = nullptr;
    pnp_callback_fn _callback = nullptr;
    std::list<logical_disk_to_partition> _logical_to_disk_partitions;
    std::list<disk_partition> _disk_partitions;
    std::list<disk_drive> _disk_drives;

    // Guards the three tables: a plug-in may report from several threads at
    // once, and a refresh must not run under a lookup. Taken before the device
    // name converter's lock.
    std::mutex _tables_lock;
    wmi_disk_source _wmi_source;
    disk_source& _source;
    const module_file_api& _module_file;
};

// What run() hands to the plug-in's "Start"; context is the monitor.
void dll_callback(void* context, uint8_t event_type, const wchar_t* drive_letter);
