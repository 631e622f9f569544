// Where a test runs and how it waits: the test's own folder, scratch folders,
// whole-file reads, and bounded waits for a condition.
#pragma once

#include "base/module_file.h"

#include <windows.h>

#include <functional>
#include <string>

// An executable's path as GetModuleFileNameW gives it: cut to the buffer when
// too long (size returned); no path at all (0) when empty.
struct fake_module : module_file_api {
    explicit fake_module(const std::wstring& p) : path(p) {}
    DWORD module_file_name(wchar_t* buffer, DWORD size) const override;
    std::wstring path;
};

// Folder of the running test executable, without a trailing backslash.
std::wstring test_exe_dir();

// Polls condition every 10 ms until it holds; false when timeout_ms passed first.
bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms);

// Whole contents of a file, or "<missing>".
std::string read_file(const std::wstring& path);

// A fresh, empty folder under the temporary folder, removed with its files
// when the object goes.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::wstring& path() const { return _path; }
    std::wstring file(const std::wstring& name) const { return _path + L"\\" + name; }

private:
    std::wstring _path;
};
