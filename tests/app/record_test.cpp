// A device-event record as the agent writes it into the service's 4096-byte view:
// the exact bytes, and the bound beyond which nothing at all is written.
#include "pnp/pnp_info.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Record, BytesAreExactAndNothingIsWrittenPastThem) {
    // U+00E9 and U+20AC, and U+1F5B4 as its surrogate pair.
    const pnp_info info{0x0807060504030201ull, 0xFE, L"E:", L"", L"\xD83D\xDDB4", L"\u00e9\u20ac"};
    std::vector<uint8_t> expected = {
        0x01, 0, 0, 0,                                   // valid
        0x25, 0, 0, 0,                                   // length: 37 bytes after the length field
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // time, little-endian
        0xFE,                                            // event byte
        4, 0, 0, 0, 'E', 0, ':', 0,                      // drive letter
        0, 0, 0, 0,                                      // device id, empty
        4, 0, 0, 0, 0x3D, 0xD8, 0xB4, 0xDD,              // serial number
        4, 0, 0, 0, 0xE9, 0x00, 0xAC, 0x20};             // device name
    std::vector<uint8_t> view(pnp_info::kSectionViewSize, 0xCC);
    ASSERT_TRUE(info.write_to_section(view.data()));
    expected.resize(pnp_info::kSectionViewSize, 0xCC);
    EXPECT_EQ(expected, view);
}

// A record is 33 bytes plus whole UTF-16 code units: 4095 bytes is the largest
// that fits the view, and one code unit more in any string makes 4097.
TEST(Record, ViewBoundIsKeptAndABiggerRecordWritesNothing) {
    const std::wstring id(2, L'I'), name(2027, L'N');
    std::vector<uint8_t> view(pnp_info::kSectionViewSize, 0xCC);
    EXPECT_TRUE((pnp_info{1, 1, L"E:", id, L"", name}.write_to_section(view.data())));
    const pnp_info too_big[] = {{1, 1, L"E:\\", id, L"", name}, {1, 1, L"E:", id + L"I", L"", name},
                                {1, 1, L"E:", id, L"S", name}, {1, 1, L"E:", id, L"", name + L"N"}};
    for (const pnp_info& info : too_big) {
        std::vector<uint8_t> untouched(pnp_info::kSectionViewSize + 16, 0xAB);
        EXPECT_FALSE(info.write_to_section(untouched.data()));
        EXPECT_EQ(std::vector<uint8_t>(pnp_info::kSectionViewSize + 16, 0xAB), untouched);
    }
    EXPECT_FALSE(pnp_info{}.write_to_section(nullptr));
}

}  // namespace
