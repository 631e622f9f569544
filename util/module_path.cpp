// Path, folder and file name of the running executable.
#include "util/module_path.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "log/log.h"
#include "util/module_path_seam.h"

namespace {
// Longest path Windows hands out (\\?\ paths), in characters with terminator.
constexpr DWORD longest_path = 32768;

std::atomic<bool> _fail_module_path{false};
std::atomic<DWORD> _first_size{0};

// The executable's file name once it has been found: it cannot change while
// the process runs, and the logger names it in every line. Kept for the
// process's life.
std::atomic<const std::wstring*> _module_file{nullptr};

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
        out.assign(path, 0, slash);
    } else {
        out.assign(path, slash + 1, std::wstring::npos);
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
    DWORD first = _first_size.load();
    if (first == 0) {
        // Nearly every path fits MAX_PATH: try that on the stack first, as the
        // logger asks on every line.
        wchar_t short_path[MAX_PATH];
        const DWORD cch = GetModuleFileNameW(module, short_path, MAX_PATH);
        if (cch == 0) {
            return false;  // no path at all
        }
        if (cch < MAX_PATH) {
            module_path.assign(short_path, cch);
            return true;
        }
        first = 2 * MAX_PATH;
    }
    std::vector<wchar_t> buffer;
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

bool get_current_module_file_silent(wchar_t* module_file, size_t cch) {
    if (module_file == nullptr || cch == 0 || _fail_module_path) {
        return false;
    }
    const std::wstring* file = _module_file.load(std::memory_order_acquire);
    if (file == nullptr) {
        // The path on the stack first: no heap for the common case.
        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(GetModuleHandleW(nullptr), path, MAX_PATH);
        if (length == 0) {
            return false;
        }
        std::wstring long_path;
        const wchar_t* full = path;
        size_t full_length = length;
        if (length >= MAX_PATH) {  // cut: the long way
            if (!get_current_module_path(long_path)) {
                return false;
            }
            full = long_path.c_str();
            full_length = long_path.size();
        }
        size_t start = full_length;
        while (start > 0 && full[start - 1] != L'\\') {
            --start;
        }
        const std::wstring* found = nullptr;
        try {
            found = new std::wstring(full + start, full_length - start);
        } catch (const std::bad_alloc&) {
            return false;
        }
        const std::wstring* expected = nullptr;
        if (_module_file.compare_exchange_strong(expected, found, std::memory_order_acq_rel)) {
            file = found;
        } else {  // another thread was first
            delete found;
            file = expected;
        }
    }
    const size_t file_length = file->size();
    if (file_length >= cch) {
        return false;
    }
    memcpy(module_file, file->c_str(), file_length * sizeof(wchar_t));
    module_file[file_length] = L'\0';
    return true;
}
