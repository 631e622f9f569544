// Saving and restoring one registry string value around a test.
#include "tests/support/registry_value.h"

#include <vector>

scoped_registry_value::scoped_registry_value(HKEY root, const wchar_t* key, const wchar_t* name) : _name(name) {
    if (RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, _key.put(), nullptr) != ERROR_SUCCESS) {
        _key.release();  // nothing was opened
        return;
    }
    DWORD size = 0;
    if (RegQueryValueExW(_key.get(), name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
        _had_value = RegQueryValueExW(_key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(text.data()), &size) ==
                     ERROR_SUCCESS;
        _original = text.data();
    }
}

scoped_registry_value::~scoped_registry_value() {
    if (_key) _had_value ? set(_original) : remove();
}

bool scoped_registry_value::set(const std::wstring& text) {
    return _key && RegSetValueExW(_key.get(), _name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool scoped_registry_value::set_raw(DWORD type, const std::string& bytes) {
    return _key && RegSetValueExW(_key.get(), _name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                  static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

bool scoped_registry_value::remove() {
    const LSTATUS status = _key ? RegDeleteValueW(_key.get(), _name.c_str()) : ERROR_INVALID_HANDLE;
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}
