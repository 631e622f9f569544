// Path, folder and file name of the running executable.
#include "util/module_path.h"

#include <windows.h>

#include <atomic>
#include <vector>

#include "log/log.h"
#include "util/module_path_seam.h"

namespace {
// Longest path Windows hands out (\\?\ paths), in characters with terminator.
constexpr DWORD longest_path = 32768;

std::atomic<bool> _fail_module_path{false};
std::atomic<DWORD> _first_size{0};

enum class module_part { dir, file };

bool split_module_path(module_part part, std::wstring& out) {
    std::wstring path;
    if (!get_current_module_path(path)) {
        return false;
    }
    const size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) {
        out = path;
    } else if (part == module_part::dir) {
        out = path.substr(0, slash);
    } else {
        out = path.substr(slash + 1);
    }
    return true;
}
}  // namespace

void set_module_path_failure_for_test(bool fail) { _fail_module_path = fail; }

void set_module_path_first_size_for_test(DWORD chars) { _first_size = chars; }

bool get_current_module_path(std::wstring& module_path) {
    if (_fail_module_path) {
        return false;
    }
    const HMODULE module = GetModuleHandleW(nullptr);
    std::vector<wchar_t> buffer;
    const DWORD first = _first_size != 0 ? _first_size.load() : MAX_PATH;
    for (DWORD size = first; size <= 2 * longest_path; size *= 2) {
        try {
            buffer.assign(size, L'\0');
        } catch (const std::bad_alloc&) {
            return false;
        }
        const DWORD cch = GetModuleFileNameW(module, buffer.data(), size);
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

bool get_current_module_dir(std::wstring& module_dir) {
    if (!split_module_path(module_part::dir, module_dir)) {
        log_write_fmt(log_category_general, log_level_error, "get_current_module_dir", "get_current_module_path()");
        return false;
    }
    return true;
}

bool get_current_module_file(std::wstring& module_file) {
    if (!split_module_path(module_part::file, module_file)) {
        log_write_fmt(log_category_general, log_level_error, "get_current_module_file", "get_current_module_path()");
        return false;
    }
    return true;
}

bool get_current_module_file_silent(std::wstring& module_file) {
    return split_module_path(module_part::file, module_file);
}
