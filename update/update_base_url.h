// The update server's base URL the agent posts its update request to, fixed when
// the program is built (CMake cache variable TALVERN_UPDATE_BASE_URL).
#pragma once

#include <string>

std::string talvern_update_base_url();
