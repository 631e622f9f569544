// The built-in base URL of the update server.
#include "update/update_base_url.h"

#ifndef TALVERN_UPDATE_BASE_URL
#error "TALVERN_UPDATE_BASE_URL must be defined by the build"
#endif

std::string talvern_update_base_url() { return TALVERN_UPDATE_BASE_URL; }
