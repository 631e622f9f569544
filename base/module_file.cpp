// Path and file name of the running executable, looked up without logging.
#include "base/module_file.h"

#include <new>
#include <vector>

namespace {
// Longest path Windows hands out (\\?\ paths), in characters with terminator.
constexpr DWORD kLongestPath = 32768;

class system_module_file : public module_file_api {
public:
    DWORD module_file_name(wchar_t* buffer, DWORD size) const override {
        return GetModuleFileNameW(nullptr, buffer, size);
    }
};
}  // namespace

const module_file_api& this_process_module() {
    static const system_module_file system;
    return system;
}

bool get_current_module_path(std::wstring& module_path, const module_file_api& api) {
    // Nearly every path fits MAX_PATH: try that on the stack first, as the
    // logger asks on every line.
    wchar_t short_path[MAX_PATH];
    const DWORD short_cch = api.module_file_name(short_path, MAX_PATH);
    if (short_cch == 0) {
        return false;  // no path at all
    }
    if (short_cch < MAX_PATH) {
        module_path.assign(short_path, short_cch);
        return true;
    }
    std::vector<wchar_t> buffer;
    for (DWORD size = 2 * MAX_PATH; size <= 2 * kLongestPath; size *= 2) {
        try {
            buffer.assign(size, L'\0');
        } catch (const std::bad_alloc&) {
            return false;
        }
        const DWORD cch = api.module_file_name(buffer.data(), size);
        if (cch == 0) {
            return false;  // no path at all
        }
        if (cch < size) {
            module_path.assign(buffer.data(), cch);
            return true;
        }
        // The path was cut: try again with twice the room.
    }
    return false;
}

bool get_current_module_file_silent(std::wstring& module_file, const module_file_api& api) {
    std::wstring path;
    if (!get_current_module_path(path, api)) {
        return false;
    }
    const size_t slash = path.rfind(L'\\');
    module_file = slash == std::wstring::npos ? path : path.substr(slash + 1);
    return true;
}
