// Test hook of the service channel: shortens the pause between attempts to open
// the service's events and bounds their number. The agent itself never calls
// it and keeps the defaults (5000 ms, 4294967295 attempts).
#pragma once

#include <windows.h>

#include <cstdint>

void set_service_connect_retry_for_test(DWORD interval_ms, uint32_t max_tries);
void reset_service_connect_retry_for_test();
