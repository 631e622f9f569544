// Encoding of a device-event record into the service's section: exact bytes,
// the bound of the 4096-byte view, and what a shorter record leaves behind.
#include "pnp/pnp_info.h"
#include "tools/service_simulator/section_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr size_t kView = pnp_info::section_view_size;

pnp_info make_record(uint8_t event, const std::wstring& drive, const std::wstring& id, const std::wstring& serial,
                     const std::wstring& device, uint64_t time = 0x01D9A1B2C3D4E5F6ull) {
    pnp_info info;
    info.time = time;
    info.event_type = event;
    info.drive_letter = drive;
    info.pnp_device_id = id;
    info.serial_number = serial;
    info.device_name = device;
    return info;
}

// A view filled with a marker byte, so untouched bytes show.
std::vector<uint8_t> marked_view(uint8_t marker = 0xCC) {
    return std::vector<uint8_t>(kView, marker);
}

TEST(SectionRecord, WorkedExampleIsByteExact) {
    const pnp_info info = make_record(1, L"E:", L"AB", L"", L"X", 0x0807060504030201ull);
    std::vector<uint8_t> view = marked_view();
    ASSERT_TRUE(info.write_to_section(view.data()));

    const std::vector<uint8_t> expected = {
        0x01, 0x00, 0x00, 0x00,                          // section_valid
        0x23, 0x00, 0x00, 0x00,                          // section_length = 35
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // time, little-endian
        0x01,                                            // event_type
        0x04, 0x00, 0x00, 0x00, 0x45, 0x00, 0x3A, 0x00,  // L1, "E:"
        0x04, 0x00, 0x00, 0x00, 0x41, 0x00, 0x42, 0x00,  // L2, "AB"
        0x00, 0x00, 0x00, 0x00,                          // L3, no bytes
        0x02, 0x00, 0x00, 0x00, 0x58, 0x00,              // L4, "X"
    };
    ASSERT_EQ(43u, expected.size());
    EXPECT_EQ(expected, std::vector<uint8_t>(view.begin(), view.begin() + 43));
    for (size_t i = 43; i < kView; ++i) {
        ASSERT_EQ(0xCC, view[i]) << "byte " << i << " written past the record";
    }
}

TEST(SectionRecord, EmptyStringsAreBareLengthFields) {
    const pnp_info info = make_record(0xFE, L"", L"", L"", L"", 0);
    std::vector<uint8_t> view = marked_view();
    ASSERT_TRUE(info.write_to_section(view.data()));
    std::vector<uint8_t> expected = {1, 0, 0, 0, 25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE};
    expected.resize(33, 0x00);  // four zero length fields
    EXPECT_EQ(expected, std::vector<uint8_t>(view.begin(), view.begin() + 33));
    EXPECT_EQ(0xCC, view[33]);
}

TEST(SectionRecord, NonAsciiTextIsUtf16LittleEndian) {
    // U+00E9, U+20AC and the surrogate pair of U+1F5B4 (two code units).
    const std::wstring id = L"USB\\\u00e9\u20ac";
    const std::wstring serial = L"\xD83D\xDDB4";
    const pnp_info info = make_record(2, L"F:", id, serial, L"\\Device\\Harddisk\u00c4");
    std::vector<uint8_t> view = marked_view();
    ASSERT_TRUE(info.write_to_section(view.data()));

    // L2 at 25: 6 code units = 12 bytes.
    const std::vector<uint8_t> id_bytes = {0x0C, 0, 0, 0, 'U', 0, 'S', 0, 'B', 0, '\\', 0, 0xE9, 0x00, 0xAC, 0x20};
    EXPECT_EQ(id_bytes, std::vector<uint8_t>(view.begin() + 25, view.begin() + 41));
    const std::vector<uint8_t> serial_bytes = {0x04, 0, 0, 0, 0x3D, 0xD8, 0xB4, 0xDD};
    EXPECT_EQ(serial_bytes, std::vector<uint8_t>(view.begin() + 41, view.begin() + 49));
    // L4 at 49: "\Device\HarddiskÄ" is 17 units.
    EXPECT_EQ(34, view[49]);
    EXPECT_EQ(0xC4, view[53 + 32]);
    EXPECT_EQ(0x00, view[53 + 33]);
    const uint32_t total = 33 + 4 + 12 + 4 + 34;
    EXPECT_EQ(total - 8, uint32_t(view[4]) | uint32_t(view[5]) << 8);

    section_record decoded;
    std::string error;
    ASSERT_TRUE(read_section_record(view.data(), view.size(), decoded, error)) << error;
    EXPECT_EQ(id, decoded.pnp_device_id);
    EXPECT_EQ(serial, decoded.serial_number);
    EXPECT_EQ(total, section_record_size(decoded));
}

// Every string is whole UTF-16 code units, so a record is always 33 bytes plus
// an even number: 4095 bytes is the largest record that fits the 4096-byte view
// and 4097 bytes the smallest one that does not.
TEST(SectionRecord, RecordUpToTheViewFitsAndOneUnitMoreIsRefused) {
    const std::wstring id(2, L'I');
    const std::wstring name(2027, L'N');
    pnp_info fits = make_record(1, L"E:", id, L"", name);
    std::vector<uint8_t> view(kView + 16, 0xCC);
    ASSERT_TRUE(fits.write_to_section(view.data()));
    EXPECT_EQ(4095u - 8, uint32_t(view[4]) | uint32_t(view[5]) << 8 | uint32_t(view[6]) << 16);
    EXPECT_EQ(L'N', view[4093]);
    EXPECT_EQ(0, view[4094]);
    for (size_t i = kView - 1; i < view.size(); ++i) {
        ASSERT_EQ(0xCC, view[i]) << "byte " << i << " written past the record";
    }

    // The same record with one more code unit in any string is 4097 bytes.
    std::vector<uint8_t> untouched(kView + 16, 0xAB);
    const std::vector<pnp_info> too_long = {
        make_record(1, L"E:", id, L"", name + L"N"),
        make_record(1, L"E:", id + L"I", L"", name),
        make_record(1, L"E:", id, L"S", name),
        make_record(1, L"E:\\", id, L"", name),
    };
    for (const pnp_info& info : too_long) {
        EXPECT_FALSE(info.write_to_section(untouched.data()));
        EXPECT_EQ(std::vector<uint8_t>(kView + 16, 0xAB), untouched);
    }

}

TEST(SectionRecord, NullViewIsRefused) {
    EXPECT_FALSE(make_record(1, L"E:", L"AB", L"", L"X").write_to_section(nullptr));
}

TEST(SectionRecord, ShorterRecordLeavesTheOlderTailAndItsOwnLength) {
    std::vector<uint8_t> view = marked_view();
    ASSERT_TRUE(make_record(1, L"E:", L"LONG-DEVICE-ID", L"SERIAL", L"\\Device\\HarddiskVolume7")
                    .write_to_section(view.data()));
    const std::vector<uint8_t> before = view;
    ASSERT_TRUE(make_record(2, L"E:", L"AB", L"", L"X").write_to_section(view.data()));

    section_record decoded;
    std::string error;
    ASSERT_TRUE(read_section_record(view.data(), view.size(), decoded, error)) << error;
    EXPECT_EQ(43u, section_record_size(decoded));
    EXPECT_EQ(2, decoded.event_type);
    EXPECT_EQ(L"AB", decoded.pnp_device_id);
    EXPECT_EQ(L"X", decoded.device_name);
    // Past the new record's end the older record's bytes are untouched.
    EXPECT_TRUE(std::equal(view.begin() + 43, view.end(), before.begin() + 43));
}

TEST(SectionReader, RejectsLengthsOutsideTheRecord) {
    std::vector<uint8_t> view = marked_view(0);
    ASSERT_TRUE(make_record(1, L"E:", L"AB", L"", L"X").write_to_section(view.data()));
    section_record decoded;
    std::string error;

    std::vector<uint8_t> bad = view;
    bad[4] = 0xFF;
    bad[5] = 0xFF;  // section_length beyond the view
    EXPECT_FALSE(read_section_record(bad.data(), bad.size(), decoded, error));

    bad = view;
    bad[25] = 0x40;  // L2 runs past the record's end
    EXPECT_FALSE(read_section_record(bad.data(), bad.size(), decoded, error));

    bad = view;
    bad[4] = 0x24;  // one byte more than the strings account for
    EXPECT_FALSE(read_section_record(bad.data(), bad.size(), decoded, error));
}

}  // namespace
