// Conversions of WMI property values (VARIANTs) into the disk inventory's row
// fields. Free of COM calls other than the variant helpers, so they can be
// checked with hand-made variants.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string>

// text with every character of set cut from both ends.
std::wstring strip_chars(const std::wstring& text, const wchar_t* set);

// The identifier at the end of a WMI object path: the text after the last "="
// (the whole text without one), with double quotes cut from both ends.
// \\VM\ROOT\CIMV2:Win32_LogicalDisk.DeviceId="E:" gives E:.
std::wstring object_path_key(const std::wstring& path);

// Text of a value. False when the value is empty or null, or cannot be shown as
// text. A null BSTR gives empty text.
bool variant_text(const VARIANT& value, std::wstring& text);

// 32-bit integer of a value (unsigned values keep their bits, so 0xFFFFFFFF
// gives -1). False when the value is empty or null, or is not a number.
bool variant_int32(const VARIANT& value, int32_t& number);
