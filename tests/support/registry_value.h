// One registry value changed for the length of a test: the value as it
// was (or its absence) is put back when the object goes, whatever the test did.
#pragma once

#include "base/handles.h"

#include <windows.h>

#include <string>

class scoped_registry_value {
public:
    scoped_registry_value(HKEY root, const wchar_t* key, const wchar_t* name);
    ~scoped_registry_value();
    scoped_registry_value(const scoped_registry_value&) = delete;
    scoped_registry_value& operator=(const scoped_registry_value&) = delete;
    bool set(const std::wstring& text);
    // Any type with any bytes, as a hostile installer might leave it.
    bool set_raw(DWORD type, const std::string& bytes);
    bool remove();

private:
    registry_key _key;
    std::wstring _name;
    bool _had_value = false;
    std::wstring _original;
};
