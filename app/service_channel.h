// The agent's end of its channel to the talvern service: the request and
// response events and the 4,096-byte shared section with its view, all created
// by the service for this agent process and opened here by name. TalvernTray
// owns one and forwards its channel steps to it.
#pragma once

#include "base/handles.h"

#include <windows.h>

#include <cstdint>

class ServiceChannel {
public:
    // Opening the events pauses retry_ms between attempts (handling the
    // thread's messages) and gives up after max_tries (at least one).
    ServiceChannel(DWORD retry_ms, uint32_t max_tries);
    ServiceChannel(const ServiceChannel&) = delete;
    ServiceChannel& operator=(const ServiceChannel&) = delete;

    // Opens the request and response events, retrying the missing one until
    // the service has created it. False when either is already held, when the
    // tries run out, or when WM_QUIT arrives meanwhile.
    bool open_events();
    // Opens the section and maps its view. False when either is already held.
    bool open_section();

    HANDLE request_event() const { return _request_event.get(); }
    HANDLE response_event() const { return _response_event.get(); }
    void* section_view() const { return _section_view.get(); }

    // Signals the request event when it is held (the service then looks at the section).
    void signal_request();
    // Signals the response event when it is held (wakes a wait for the answer).
    void signal_response();
    // Releases the events, the view and the section; each is set back to null.
    void close();

private:
    const DWORD _retry_ms;
    const uint32_t _max_tries;
    event_handle _request_event;
    event_handle _response_event;
    section_handle _section;
    mapped_view _section_view;
};
