// Read-only registry helpers.
#pragma once

#include "base/handles.h"

#include <windows.h>

#include <string>

// The key opened with KEY_READ, owned by the caller; null when it cannot be opened.
registry_key RUOpenKey(HKEY root, const wchar_t* sub_key);

// A string value of an open key, of any length.
bool RUReadString(HKEY key, const wchar_t* value_name, std::wstring& value);
