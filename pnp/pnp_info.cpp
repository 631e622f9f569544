// A device-event record written into the service's 4,096-byte view.
#include "pnp/pnp_info.h"

#include <atomic>
#include <cstring>

static_assert(sizeof(wchar_t) == 2, "records carry UTF-16 code units");

namespace {

// Offsets of the record's fixed part in the section.
constexpr size_t kValidOffset = 0;
constexpr size_t kLengthOffset = 4;
constexpr size_t kTimeOffset = 8;
constexpr size_t kEventOffset = 16;
constexpr size_t kStringsOffset = 17;

void put_u32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void put_u64(uint8_t* at, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// Length field and code units of one string; returns the offset after them.
size_t put_string(uint8_t* view, size_t offset, const std::wstring& text) {
    put_u32(view + offset, static_cast<uint32_t>(text.size() * 2));
    offset += 4;
    for (wchar_t unit : text) {
        const uint16_t code = static_cast<uint16_t>(unit);
        view[offset] = static_cast<uint8_t>(code & 0xFF);
        view[offset + 1] = static_cast<uint8_t>(code >> 8);
        offset += 2;
    }
    return offset;
}

}  // namespace

bool pnp_info::write_to_section(void* view) const {
    if (view == nullptr) {
        return false;
    }
    // Size in 64-bit arithmetic, so huge strings cannot wrap round into a small
    // number and pass the bound.
    const uint64_t total = uint64_t(kStringsOffset) + 16 + 2 * uint64_t(drive_letter.size()) +
                           2 * uint64_t(pnp_device_id.size()) + 2 * uint64_t(serial_number.size()) +
                           2 * uint64_t(device_name.size());
    if (total > kSectionViewSize) {
        return false;
    }

    uint8_t* bytes = static_cast<uint8_t*>(view);
    put_u64(bytes + kTimeOffset, time);
    bytes[kEventOffset] = event_type;
    size_t offset = kStringsOffset;
    offset = put_string(bytes, offset, drive_letter);
    offset = put_string(bytes, offset, pnp_device_id);
    offset = put_string(bytes, offset, serial_number);
    offset = put_string(bytes, offset, device_name);

    // The header goes in last: the valid flag, then the length.
    std::atomic_thread_fence(std::memory_order_release);
    put_u32(bytes + kValidOffset, 1);
    std::atomic_thread_fence(std::memory_order_release);
    put_u32(bytes + kLengthOffset, static_cast<uint32_t>(offset - kTimeOffset));
    return true;
}
