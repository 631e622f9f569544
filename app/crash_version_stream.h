// The agent's own stream in its crash dumps: the product version of the
// program that crashed, so a dump can be matched with its debug files
// (scripts/crash-report.py reads it).
//
// Stream type 0x54560001 ("TV" in the high half, the first of the agent's
// streams; anything at or above 0x10000 is free for a program's own use).
// Layout, 12 bytes, little-endian:
//   offset 0  uint32  layout, 1
//   offset 4  uint16  major, minor, patch, build (A.B.C.D)
#pragma once

#include <cstdint>

constexpr uint32_t kCrashVersionStreamType = 0x54560001;
constexpr uint32_t kCrashVersionStreamLayout = 1;

#pragma pack(push, 1)
struct crash_version_stream {
    uint32_t layout;
    uint16_t version[4];
};
#pragma pack(pop)
static_assert(sizeof(crash_version_stream) == 12, "the stream's layout is fixed");
