// Folder and file name of the running executable, failures logged.
#include "util/module_path.h"

#include "log/log.h"

bool get_current_module_dir(std::wstring& module_dir, const module_file_api& api) {
    std::wstring path;
    if (!get_current_module_path(path, api)) {
        log_write_fmt(log_category_general, log_level_error, "get_current_module_dir", "get_current_module_path()");
        return false;
    }
    const size_t slash = path.rfind(L'\\');
    module_dir = slash == std::wstring::npos ? path : path.substr(0, slash);
    return true;
}

bool get_current_module_file(std::wstring& module_file, const module_file_api& api) {
    if (!get_current_module_file_silent(module_file, api)) {
        log_write_fmt(log_category_general, log_level_error, "get_current_module_file", "get_current_module_path()");
        return false;
    }
    return true;
}
