// The contract between the PNP monitor and the device-event plug-in library
// "TalvernP.dll": the two exports the monitor resolves and the callback it hands
// to "Start". Plug-ins include this header to get the signatures right.
#pragma once

#include <cstdint>

// The monitor's callback as a plug-in sees it: the context given to Start, an
// event byte and the drive letter as a NUL-terminated wide string ("E:").
using device_event_fn = void (*)(void* context, uint8_t event_type, const wchar_t* drive_letter);

// Export "Start": begin reporting device events to callback with context.
using plugin_start_fn = void (*)(void* context, device_event_fn callback);

// Export "Stop": end reporting. When it returns, no call of the callback may be
// running or still come.
using plugin_stop_fn = void (*)();

// Event byte on which the monitor rebuilds its disk tables before the lookup.
constexpr uint8_t kPnpEventRefresh = 1;
