// The process-wide table from drive letters to NT device names.
//
// One reference-counted instance per process: get_instance() takes a
// reference, release_instance() gives it back and destroys the converter with
// the last one.
#pragma once

#include "util/dos_device.h"

#include <boost/thread/mutex.hpp>

#include <cstdint>
#include <list>
#include <string>

struct dos_device {
    std::wstring dos_device_name;  // "C:"
    std::wstring device_prefix;    // "\Device\HarddiskVolume1\"
    uint32_t drive_type = 0;       // GetDriveTypeW of the root
    std::wstring remote_name;      // network name of a mapped drive
};

class NameConverter {
public:
    static NameConverter* get_instance();
    static void release_instance(NameConverter* instance);

    // A converter of its own, not the shared one, whose loads ask devices for
    // each drive's DOS device (which must outlive it). The agent uses the
    // shared converter; tests build their own.
    explicit NameConverter(const dos_device_api& devices = system_dos_devices()) : _devices(devices) {}
    ~NameConverter() = default;
    NameConverter(const NameConverter&) = delete;
    NameConverter& operator=(const NameConverter&) = delete;

    // Builds the drive table and the network prefix list; a drive whose DOS
    // device cannot be read is left out. Without force, a converter that has
    // loaded before returns at once.
    bool load(bool force);

    // NT device name (no trailing backslash) of a two-character drive letter.
    bool get_device_name_by_drive_letter(const wchar_t* drive_letter, std::wstring& device_name);

    // Read-only views of the state a load leaves, for diagnostics and tests.
    bool loaded();
    std::list<dos_device> dos_devices();
    std::list<std::wstring> mup_devices();
    std::wstring system_drive();
    std::wstring system_root();

private:
    bool update_dos_device_prefixes();
    bool update_mup_device_prefixes();

    const dos_device_api& _devices;
    bool _loaded = false;
    boost::mutex _lock;
    std::wstring _system_drive;
    std::wstring _system_root;
    std::list<dos_device> _dos_devices;
    std::list<std::wstring> _mup_devices;
};

// Forced reload of the shared converter, with a reference of its own.
bool nc_reload();

// Drive letter to NT device name through the shared converter.
bool tu_name_conv_drive_to_device(const wchar_t* drive_letter, std::wstring& device_name);
