// The update server's base URL the agent posts its update request to, fixed when
// the program is built (CMake cache variable TALVERN_UPDATE_BASE_URL).
#pragma once

const char* talvern_update_base_url();
