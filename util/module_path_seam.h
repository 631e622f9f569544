// Test hooks of the module path lookup. Tests only.
#pragma once

#include <windows.h>

// Makes get_current_module_path() fail as if the system could not name the
// executable.
void set_module_path_failure_for_test(bool fail);

// Size in characters of the first buffer get_current_module_path() tries
// (0: the normal MAX_PATH), so the growth of the buffer can be seen with a
// short path.
void set_module_path_first_size_for_test(DWORD chars);
