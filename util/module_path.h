// Path, folder and file name of the running executable.
#pragma once

#include <string>

bool get_current_module_path(std::wstring& module_path);
bool get_current_module_dir(std::wstring& module_dir);
bool get_current_module_file(std::wstring& module_file);

// get_current_module_file() without its failure message: the logger names the
// module in every line through this one, so a failed lookup cannot log again.
bool get_current_module_file_silent(std::wstring& module_file);
