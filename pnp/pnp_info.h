// One device event as it travels from the PNP monitor to the talvern service:
// when it was received, the plug-in's event byte and drive letter, and the disk
// behind the drive letter.
#pragma once

#include <cstdint>
#include <string>

struct pnp_info {
    uint64_t time = 0;           // FILETIME of reception (UTC)
    uint8_t event_type = 0;      // the plug-in's event byte, unchanged
    std::wstring drive_letter;   // as the plug-in sent it, e.g. "E:"
    std::wstring pnp_device_id;  // disk's plug-and-play device id; empty if unknown
    std::wstring serial_number;  // disk's serial number; empty if unknown
    std::wstring device_name;    // NT device name, e.g. \Device\HarddiskVolume3

    // Size of the mapped view the service shares with the agent.
    static constexpr uint32_t kSectionViewSize = 4096;

    // Encodes the record at the start of the service's view (packed,
    // little-endian). False when view is null or the record does not fit in
    // kSectionViewSize bytes; nothing is written then.
    bool write_to_section(void* view) const;
};

// Owner callback of the PNP monitor; ownership of info passes with the call.
using pnp_callback_fn = bool (*)(void* context, pnp_info* info);
