// Path and file name of the running executable, without logging (the logger
// names the module in every line through these).
#pragma once

#include <windows.h>

#include <string>

// Where the executable's path comes from: GetModuleFileNameW for this process,
// or a stand-in a test gives instead.
class module_file_api {
public:
    virtual ~module_file_api() = default;
    // As GetModuleFileNameW(nullptr, buffer, size): the characters written
    // without the terminator, size when the path was cut, 0 on failure.
    virtual DWORD module_file_name(wchar_t* buffer, DWORD size) const = 0;
};

// GetModuleFileNameW of this process's executable.
const module_file_api& this_process_module();

// The whole path, however long.
bool get_current_module_path(std::wstring& module_path, const module_file_api& api = this_process_module());

// The file name after the path's last "\".
bool get_current_module_file_silent(std::wstring& module_file, const module_file_api& api = this_process_module());
