// Read-only registry helpers.
#pragma once

#include "base/handles.h"

#include <windows.h>

#include <string>

// The key opened with KEY_READ, owned by the caller; null when it cannot be opened.
registry_key RUOpenKey(HKEY root, const wchar_t* sub_key);

// A string value (REG_SZ or REG_EXPAND_SZ, unexpanded) of an open key, of any
// length. A value of another type is taken as missing, with an error line
// naming it and its type.
bool RUReadString(HKEY key, const wchar_t* value_name, std::wstring& value);
