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
    // How the worker signals the service's request event (a test's stand-in
    // may fail), and how long it pauses after a failed signal before it waits
    // for the answer; stop() ends the pause.
    BOOL(WINAPI* signal_request)(HANDLE event) = &SetEvent;
    DWORD signal_failure_pause_ms = 3000;
    // Where the update request goes, and how it is made.
    std::string update_base_url = talvern_update_base_url();
    curl_options http;
    // How the entry routine ends the process once the end of the session has
    // taken the agent down (Windows may end it as soon as WM_ENDSESSION has
    // returned). Null leaves it to the message loop, which then ends as after
    // "Exit" (a test's agent in the test's process).
    void (*end_process)(int exit_code) = nullptr;
};
