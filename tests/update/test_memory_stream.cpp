// CMemoryStream: exact growth, position rules, fixed-width values, and the
// exhausted-heap path with its debugger line.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/update/debug_output_capture.h"
#include "update/memory_stream.h"

namespace {

// Records every size asked of the heap; fails the sizes from fail_from on.
struct HeapProbe {
    static std::vector<size_t> sizes;
    static size_t fail_from;
    static void* realloc_fn(void* block, size_t size) {
        sizes.push_back(size);
        return size >= fail_from ? nullptr : std::realloc(block, size);
    }
};
std::vector<size_t> HeapProbe::sizes;
size_t HeapProbe::fail_from = SIZE_MAX;

class MemoryStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        HeapProbe::sizes.clear();
        HeapProbe::fail_from = SIZE_MAX;
        previous_ = CMemoryStream::set_reallocator(&HeapProbe::realloc_fn);
    }
    void TearDown() override { CMemoryStream::set_reallocator(previous_); }
    static std::string bytes(const CMemoryStream& s) {
        return std::string(reinterpret_cast<const char*>(s.buffer()), s.size());
    }
    CMemoryStream::reallocator previous_ = nullptr;
};

TEST_F(MemoryStreamTest, NewStreamIsEmpty) {
    CMemoryStream s;
    EXPECT_EQ(nullptr, s.buffer());
    EXPECT_EQ(0u, s.size());
    EXPECT_EQ(0u, s.position());
    char c = 'x';
    EXPECT_EQ(0u, s.ReadFromStream(&c, 1));
    EXPECT_EQ('x', c);
}

TEST_F(MemoryStreamTest, WriteThenReadNeedsRewind) {
    CMemoryStream s;
    EXPECT_EQ(5u, s.WriteToStream("hello", 5));
    EXPECT_EQ(5u, s.size());
    EXPECT_EQ(5u, s.position());
    char out[8] = {};
    EXPECT_EQ(0u, s.ReadFromStream(out, 5));
    s.set_position(0);
    EXPECT_EQ(5u, s.ReadFromStream(out, sizeof(out)));  // asks for more than held
    EXPECT_STREQ("hello", out);
    EXPECT_EQ(5u, s.position());
}

TEST_F(MemoryStreamTest, WritingNothingAtZeroAllocatesNothing) {
    CMemoryStream s;
    EXPECT_EQ(0u, s.WriteToStream("abc", 0));
    EXPECT_EQ(nullptr, s.buffer());
    EXPECT_EQ(0u, s.size());
    EXPECT_TRUE(HeapProbe::sizes.empty());
}

TEST_F(MemoryStreamTest, GrowthIsExactOneReallocationPerChunk) {
    CMemoryStream s;
    s.WriteToStream("ab", 2);
    s.WriteToStream("cde", 3);
    s.WriteToStream("fghi", 4);
    EXPECT_EQ((std::vector<size_t>{2, 5, 9}), HeapProbe::sizes);
    EXPECT_EQ("abcdefghi", bytes(s));
    // Overwriting inside the buffer does not grow it.
    s.set_position(1);
    EXPECT_EQ(2u, s.WriteToStream("XY", 2));
    EXPECT_EQ("aXYdefghi", bytes(s));
    EXPECT_EQ(3u, HeapProbe::sizes.size());
}

TEST_F(MemoryStreamTest, ShrinkingMovesPositionBackAndKeepsPrefix) {
    CMemoryStream s;
    EXPECT_EQ(10u, s.WriteToStream("0123456789", 10));
    s.set_position(8);
    EXPECT_EQ(3u, s.SetSize(3));
    EXPECT_EQ(3u, s.size());
    EXPECT_EQ(3u, s.position());
    EXPECT_EQ("012", bytes(s));
    // Growing keeps the position and the prefix.
    EXPECT_EQ(6u, s.SetSize(6));
    EXPECT_EQ(3u, s.position());
    EXPECT_EQ(0, std::memcmp(s.buffer(), "012", 3));
}

TEST_F(MemoryStreamTest, ClearReleasesEverything) {
    CMemoryStream s;
    s.WriteToStream("abc", 3);
    EXPECT_EQ(0u, s.Clear());
    EXPECT_EQ(nullptr, s.buffer());
    EXPECT_EQ(0u, s.size());
    EXPECT_EQ(0u, s.position());
    EXPECT_EQ(0u, s.Clear());  // again, on an empty stream
}

TEST_F(MemoryStreamTest, FixedWidthValuesKeepMemoryOrder) {
    CMemoryStream s;
    EXPECT_EQ(2u, s.WriteUint16(0x1234));
    EXPECT_EQ(4u, s.WriteUint32(0xA1B2C3D4u));
    ASSERT_EQ(6u, s.size());
    const uint16_t w = 0x1234;
    const uint32_t d = 0xA1B2C3D4u;
    EXPECT_EQ(0, std::memcmp(s.buffer(), &w, 2));
    EXPECT_EQ(0, std::memcmp(s.buffer() + 2, &d, 4));
    s.set_position(0);
    uint16_t w2 = 0;
    uint32_t d2 = 0;
    EXPECT_EQ(2u, s.ReadUint16(&w2));
    EXPECT_EQ(4u, s.ReadUint32(&d2));
    EXPECT_EQ(w, w2);
    EXPECT_EQ(d, d2);
}

TEST_F(MemoryStreamTest, ReadUint32WithTwoBytesLeftReadsTwo) {
    CMemoryStream s;
    const unsigned char data[] = {1, 2, 3, 4, 0x55, 0x66};
    s.WriteToStream(data, sizeof(data));
    s.set_position(4);
    uint32_t value = 0xFFFFFFFFu;
    EXPECT_EQ(2u, s.ReadUint32(&value));
    unsigned char got[4];
    std::memcpy(got, &value, 4);
    EXPECT_EQ(0x55, got[0]);
    EXPECT_EQ(0x66, got[1]);
    EXPECT_EQ(0xFF, got[2]);  // the rest is left alone
    EXPECT_EQ(0xFF, got[3]);
    EXPECT_EQ(6u, s.position());
    EXPECT_EQ(0u, s.ReadUint32(&value));
}

TEST_F(MemoryStreamTest, NullPointersAreRefused) {
    CMemoryStream s;
    s.WriteToStream("abc", 3);
    s.set_position(0);
    EXPECT_EQ(0u, s.ReadFromStream(nullptr, 3));
    EXPECT_EQ(0u, s.position());
    EXPECT_EQ(stream_error, s.WriteToStream(nullptr, 3));
    EXPECT_EQ("abc", bytes(s));
}

TEST_F(MemoryStreamTest, WriteWhoseEndWouldWrapIsRefused) {
    CMemoryStream s;
    s.WriteToStream("abc", 3);  // position 3
    const size_t reallocations = HeapProbe::sizes.size();
    std::vector<char> source(16, 'z');
    // position + count wraps to 2, below the size: must not write 4 GiB.
    EXPECT_EQ(stream_error, s.WriteToStream(source.data(), 0xFFFFFFFFu));
    EXPECT_EQ("abc", bytes(s));
    EXPECT_EQ(3u, s.position());
    EXPECT_EQ(reallocations, HeapProbe::sizes.size());
}

TEST_F(MemoryStreamTest, FailedReallocationChangesNothingAndTellsTheDebugger) {
    CMemoryStream s;
    s.WriteToStream("abc", 3);
    const uint8_t* before = s.buffer();
    HeapProbe::fail_from = 4;
    DebugOutputCapture debug;
    EXPECT_EQ(stream_error, s.WriteToStream("defgh", 5));
    EXPECT_EQ(stream_error, s.SetSize(100));
    EXPECT_EQ(stream_error, s.WriteUint32(7));
    EXPECT_EQ(before, s.buffer());
    EXPECT_EQ(3u, s.size());
    EXPECT_EQ(3u, s.position());
    EXPECT_EQ("abc", bytes(s));
    EXPECT_EQ((std::vector<std::string>{
                  "CMemoryStream::SetSize(), can not reallocate memory, new memory size=8 bytes",
                  "CMemoryStream::SetSize(), can not reallocate memory, new memory size=100 bytes",
                  "CMemoryStream::SetSize(), can not reallocate memory, new memory size=7 bytes",
              }),
              debug.texts());
}

// A stream whose growth always fails: shows that the write and the
// fixed-width calls go through the virtual slots.
class RefusingStream : public CMemoryStream {
public:
    uint32_t SetSize(uint32_t) override {
        ++set_size_calls;
        return stream_error;
    }
    uint32_t ReadFromStream(void* destination, uint32_t count) override {
        last_read_count = count;
        return CMemoryStream::ReadFromStream(destination, count);
    }
    int set_size_calls = 0;
    uint32_t last_read_count = 0;
};

TEST_F(MemoryStreamTest, OperationsDispatchThroughVirtualSlots) {
    RefusingStream s;
    EXPECT_EQ(stream_error, s.WriteUint16(1));
    EXPECT_EQ(stream_error, s.WriteToStream("ab", 2));
    EXPECT_EQ(2, s.set_size_calls);
    EXPECT_EQ(nullptr, s.buffer());
    uint32_t d = 0;
    uint16_t w = 0;
    s.ReadUint32(&d);
    EXPECT_EQ(4u, s.last_read_count);
    s.ReadUint16(&w);
    EXPECT_EQ(2u, s.last_read_count);
    CStream* base = &s;
    EXPECT_EQ(stream_error, base->Clear());  // Clear is SetSize(0) through the slot
    EXPECT_EQ(3, s.set_size_calls);
}

}  // namespace
