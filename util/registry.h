// Read-only registry helpers.
#pragma once

#include <windows.h>

#include <string>

// The key opened with KEY_READ, or null.
HKEY RUOpenKey(HKEY root, const wchar_t* sub_key);

// A string value of an open key, of any length.
bool RUReadString(HKEY key, const wchar_t* value_name, std::wstring& value);

void RUCloseKey(HKEY key);
