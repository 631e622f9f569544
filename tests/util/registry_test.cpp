// Reading string values of any length from the registry. The values live under
// a key of this test process in HKCU of the test prefix, deleted afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/util/util_test_support.h"
#include "util/registry.h"

namespace {
class Registry : public testing::Test {
protected:
    void SetUp() override {
        _sub_key = L"Software\\TalvernTests\\registry_" + std::to_wstring(GetCurrentProcessId());
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, _sub_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &_writer, nullptr));
    }
    void TearDown() override {
        if (_writer != nullptr) {
            RegCloseKey(_writer);
        }
        RegDeleteTreeW(HKEY_CURRENT_USER, _sub_key.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, _sub_key.c_str());
    }

    // Stores data as given: bytes counts the exact size, terminator or not.
    void set(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(_writer, name, 0, type, static_cast<const BYTE*>(data), bytes));
    }
    void set_string(const wchar_t* name, const std::wstring& text) {
        set(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

    std::wstring _sub_key;
    HKEY _writer = nullptr;
};
}  // namespace

TEST_F(Registry, ReadsShortAndLongValues) {
    const std::wstring exact(511, L'e');  // 1,024 bytes with its terminator
    const std::wstring over(512, L'o');   // 1,026 bytes
    const std::wstring long_text(3000, L'l');
    set_string(L"short", L"{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}");
    set_string(L"exact", exact);
    set_string(L"over", over);
    set_string(L"long", long_text);
    set_string(L"empty", L"");

    HKEY key = RUOpenKey(HKEY_CURRENT_USER, _sub_key.c_str());
    ASSERT_NE(nullptr, key);
    std::wstring value;
    ASSERT_TRUE(RUReadString(key, L"short", value));
    EXPECT_EQ(L"{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}", value);
    ASSERT_TRUE(RUReadString(key, L"exact", value));
    EXPECT_EQ(exact, value);
    ASSERT_TRUE(RUReadString(key, L"over", value));
    EXPECT_EQ(over, value);
    ASSERT_TRUE(RUReadString(key, L"long", value));
    EXPECT_EQ(long_text, value);
    ASSERT_TRUE(RUReadString(key, L"empty", value));
    EXPECT_EQ(L"", value);
    RUCloseKey(key);
}

TEST_F(Registry, UnterminatedDataIsReadNoFurtherThanItsSize) {
    const std::wstring full(512, L'u');  // exactly 1,024 bytes, no terminator
    set(L"unterminated", REG_SZ, full.data(), 1024);
    const std::wstring big(700, L'w');  // 1,400 bytes, no terminator
    set(L"unterminated_big", REG_SZ, big.data(), 1400);
    const std::wstring multi = std::wstring(L"first") + L'\0' + L"second" + L'\0' + L'\0';
    set(L"multi", REG_MULTI_SZ, multi.data(), static_cast<DWORD>(multi.size() * sizeof(wchar_t)));

    HKEY key = RUOpenKey(HKEY_CURRENT_USER, _sub_key.c_str());
    ASSERT_NE(nullptr, key);
    std::wstring value;
    ASSERT_TRUE(RUReadString(key, L"unterminated", value));
    EXPECT_EQ(full, value);
    ASSERT_TRUE(RUReadString(key, L"unterminated_big", value));
    EXPECT_EQ(big, value);
    ASSERT_TRUE(RUReadString(key, L"multi", value));
    EXPECT_EQ(L"first", value);
    RUCloseKey(key);
}

TEST_F(Registry, MissingKeyOrValueFailsWithoutAMessage) {
    std::wstring value = L"kept";
    HKEY missing = reinterpret_cast<HKEY>(1);
    bool read = true;
    const auto lines = utiltest::logged([&] {
        missing = RUOpenKey(HKEY_CURRENT_USER, (_sub_key + L"\\no_such_key").c_str());
        HKEY key = RUOpenKey(HKEY_CURRENT_USER, _sub_key.c_str());
        ASSERT_NE(nullptr, key);
        read = RUReadString(key, L"no_such_value", value);
        EXPECT_FALSE(RUReadString(key, nullptr, value));
        RUCloseKey(key);
    });
    EXPECT_EQ(nullptr, missing);
    EXPECT_FALSE(read);
    EXPECT_EQ(L"kept", value);
    EXPECT_FALSE(RUReadString(nullptr, L"x", value));
    EXPECT_EQ(L"kept", value);
    RUCloseKey(nullptr);  // nothing to close
    EXPECT_TRUE(lines.empty());
}

TEST_F(Registry, ReadsTheHostGuidOfThePrefix) {
    HKEY key = RUOpenKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Torvi\\Talvern");
    ASSERT_NE(nullptr, key);
    std::wstring value;
    EXPECT_TRUE(RUReadString(key, L"HostGuid", value));
    EXPECT_EQ(L"{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}", value);
    RUCloseKey(key);
}
