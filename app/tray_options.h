// What an agent is given at construction: the product's values by default,
// shorter waits or another update server when a test builds one.
#pragma once

#include "update/curl_client.h"
#include "update/update_base_url.h"

#include <windows.h>

#include <cstdint>
#include <string>

struct tray_options {
    // Pause between attempts to open the service's events, and how many
    // attempts are made before start gives up (at least one).
    DWORD connect_retry_ms = 5000;
    uint32_t connect_max_tries = 0xFFFFFFFF;
    // Where the update request goes, and how it is made.
    std::string update_base_url = talvern_update_base_url();
    curl_options http;
};
