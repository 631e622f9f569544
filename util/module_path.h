// Path, folder and file name of the running executable, with failures logged
// (the lookups that never log are in base/module_file.h).
#pragma once

#include "base/module_file.h"

#include <string>

bool get_current_module_dir(std::wstring& module_dir, const module_file_api& api = this_process_module());
bool get_current_module_file(std::wstring& module_file, const module_file_api& api = this_process_module());
