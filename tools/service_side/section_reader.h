// Reading side of the section shared by the agent and the talvern service:
// decodes the packed little-endian device-event record at the start of a view,
// checking every length against the record's end and the view's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct section_record {
    uint32_t section_valid = 0;
    uint32_t section_length = 0;  // bytes from offset 8 to the record's end
    uint64_t time = 0;            // FILETIME value
    uint8_t event_type = 0;
    std::wstring drive_letter;
    std::wstring pnp_device_id;
    std::wstring serial_number;
    std::wstring device_name;
};

// Decodes the record at view[0]. False with a reason in error when the header's
// length or a string's length does not fit the view or the record.
bool read_section_record(const void* view, size_t view_size, section_record& record, std::string& error);

// Whole size of a record as it was encoded: 8 + section_length.
inline size_t section_record_size(const section_record& record) {
    return 8 + static_cast<size_t>(record.section_length);
}
