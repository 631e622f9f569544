// Test hook of the module path lookup: makes get_current_module_path() fail as
// if the system could not name the executable. Tests only.
#pragma once

void set_module_path_failure_for_test(bool fail);
