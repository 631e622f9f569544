// Decoding of the device-event record the agent leaves in the section, as the
// talvern service reads it: little-endian fields, every length checked.
#include "tools/service_side/section_reader.h"

namespace {

uint32_t get_u32(const uint8_t* at) {
    return uint32_t(at[0]) | (uint32_t(at[1]) << 8) | (uint32_t(at[2]) << 16) | (uint32_t(at[3]) << 24);
}

uint64_t get_u64(const uint8_t* at) {
    return uint64_t(get_u32(at)) | (uint64_t(get_u32(at + 4)) << 32);
}

bool get_string(const uint8_t* bytes, size_t end, size_t& offset, std::wstring& text, const char* field,
                std::string& error) {
    if (offset + 4 > end) {
        error = std::string("length field of ") + field + " lies beyond the record";
        return false;
    }
    const uint32_t length = get_u32(bytes + offset);
    offset += 4;
    if (length % 2 != 0) {
        error = std::string("odd byte length of ") + field;
        return false;
    }
    if (length > end - offset) {
        error = std::string(field) + " runs beyond the record";
        return false;
    }
    text.clear();
    for (uint32_t i = 0; i < length; i += 2) {
        text.push_back(static_cast<wchar_t>(bytes[offset + i] | (bytes[offset + i + 1] << 8)));
    }
    offset += length;
    return true;
}

}  // namespace

bool read_section_record(const void* view, size_t view_size, section_record& record, std::string& error) {
    const uint8_t* bytes = static_cast<const uint8_t*>(view);
    if (bytes == nullptr || view_size < 33) {
        error = "view too small";
        return false;
    }
    section_record out;
    out.section_valid = get_u32(bytes);
    out.section_length = get_u32(bytes + 4);
    if (out.section_length < 25 || out.section_length > view_size - 8) {
        error = "section_length " + std::to_string(out.section_length) + " does not fit the view";
        return false;
    }
    const size_t end = 8 + static_cast<size_t>(out.section_length);
    out.time = get_u64(bytes + 8);
    out.event_type = bytes[16];
    size_t offset = 17;
    if (!get_string(bytes, end, offset, out.drive_letter, "drive_letter", error) ||
        !get_string(bytes, end, offset, out.pnp_device_id, "pnp_device_id", error) ||
        !get_string(bytes, end, offset, out.serial_number, "serial_number", error) ||
        !get_string(bytes, end, offset, out.device_name, "device_name", error)) {
        return false;
    }
    if (offset != end) {
        error = "record ends at " + std::to_string(offset) + ", section_length says " + std::to_string(end);
        return false;
    }
    record = out;
    return true;
}
