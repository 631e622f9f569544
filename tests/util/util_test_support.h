// Helpers of the utility tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace utiltest {

// Runs body with the logger started at debug level, finalises the log and
// returns the "<tag><text>" of every line the debugger sink received.
std::vector<std::string> logged(const std::function<void()>& body);

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

// Whole contents of a file, or "<missing>".
std::string read_file(const std::wstring& path);

}  // namespace utiltest
