// Targets of DOS device names, including targets longer than the first buffer.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/util/util_test_support.h"
#include "util/dos_device.h"

namespace {
// A drive letter the prefix does not use, or an empty string.
std::wstring unused_drive() {
    const DWORD drives = GetLogicalDrives();
    wchar_t buffer[MAX_PATH];
    for (wchar_t letter = L'Y'; letter >= L'M'; --letter) {
        const std::wstring name{letter, L':'};
        if (!(drives & (1u << (letter - L'A'))) && QueryDosDeviceW(name.c_str(), buffer, MAX_PATH) == 0) {
            return name;
        }
    }
    return std::wstring();
}

// A DOS device defined for one test, removed afterwards.
class defined_device {
public:
    defined_device(const std::wstring& name, const std::wstring& target) : _name(name) {
        _defined = DefineDosDeviceW(DDD_RAW_TARGET_PATH, _name.c_str(), target.c_str()) != FALSE;
    }
    ~defined_device() {
        while (DefineDosDeviceW(DDD_REMOVE_DEFINITION, _name.c_str(), nullptr)) {
        }
    }
    bool defined() const { return _defined; }

private:
    std::wstring _name;
    bool _defined = false;
};
}  // namespace

TEST(DosDeviceTarget, DriveCIsAVolume) {
    std::wstring target;
    ASSERT_TRUE(query_dos_device(L"C:", target));
    wchar_t direct[MAX_PATH] = {};
    ASSERT_NE(0u, QueryDosDeviceW(L"C:", direct, MAX_PATH));
    EXPECT_EQ(std::wstring(direct), target);
    EXPECT_EQ(0u, target.find(L"\\Device\\HarddiskVolume")) << target.c_str();
}

TEST(DosDeviceTarget, MissingDriveFailsWithItsError) {
    const std::wstring drive = unused_drive();
    ASSERT_FALSE(drive.empty());
    std::wstring target = L"kept";
    bool found = true;
    const auto lines = utiltest::logged([&] { found = query_dos_device(drive.c_str(), target); });
    EXPECT_FALSE(found);
    EXPECT_EQ(L"kept", target);
    const std::string narrow(drive.begin(), drive.end());
    EXPECT_EQ((std::vector<std::string>{"[EROR] QueryDosDevice( dos = " + narrow + " ), gle = 2"}), lines);
}

TEST(DosDeviceTarget, LongTargetIsReadWhole) {
    const std::wstring drive = unused_drive();
    ASSERT_FALSE(drive.empty());
    for (size_t length : {300u, 1200u}) {
        const std::wstring long_target = L"\\Device\\" + std::wstring(length, L'v');
        defined_device device(drive, long_target);
        ASSERT_TRUE(device.defined()) << "gle=" << GetLastError();
        std::wstring target;
        ASSERT_TRUE(query_dos_device(drive.c_str(), target));
        EXPECT_EQ(long_target, target);
    }
}

TEST(DosDeviceTarget, NullNameFailsQuietly) {
    std::wstring target = L"kept";
    bool found = true;
    const auto lines = utiltest::logged([&] { found = query_dos_device(nullptr, target); });
    EXPECT_FALSE(found);
    EXPECT_EQ(L"kept", target);
    EXPECT_TRUE(lines.empty());
}
