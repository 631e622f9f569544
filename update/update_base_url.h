// The update server's base URL the agent posts its update request to, fixed when
// the program is built (CMake cache variable TALVERN_UPDATE_BASE_URL).
#pragma once

#include <string>

// The built-in base URL, or the one a test has set.
std::string talvern_update_base_url();

// Test seam: in-process tests point the agent at their own local server. An
// empty text restores the built-in URL. Call only while no agent starts.
void set_update_base_url_for_test(const std::string& base_url);
