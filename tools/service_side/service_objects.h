// The objects the talvern service creates for one agent process: the request and
// response events and the section, named after the agent's process id.
#pragma once

#include "tools/service_side/section_reader.h"
#include "base/handles.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The names, spelled here once for every stand-in and apart from the agent's own
// spelling, so that a wrong name in the agent shows as an object it cannot open.
std::wstring request_event_name(DWORD pid);   // Global\ttosq_<pid>
std::wstring response_event_name(DWORD pid);  // Global\ttosr_<pid>
std::wstring section_name(DWORD pid);         // Global\ttosd_<pid>

// The agent maps the section's first 4,096 bytes.
constexpr DWORD kSectionSize = 4096;

// Which of the three objects to create.
struct service_parts {
    bool request = true, response = true, section = true;
};

class service_objects {
public:
    using parts = service_parts;
    enum class taken { nothing, record, undecodable };
    using note_fn = std::function<void(const std::wstring& line)>;

    // Creates for agent pid those of which that are still missing: the events
    // (auto-reset), then the section of section_size bytes, mapped whole. note,
    // when given, hears "created <name>" for each and what failed, with its gle.
    // False at the first failure, with GetLastError() as the failed call left it.
    bool create(DWORD pid, const parts& which = parts(), DWORD section_size = kSectionSize,
                const note_fn& note = nullptr);
    // Unmaps the view and closes every object, as the service's end does.
    void close();

    HANDLE request() const { return _request.get(); }
    HANDLE response() const { return _response.get(); }
    uint8_t* view() const { return static_cast<uint8_t*>(_view.get()); }
    DWORD view_size() const { return _view_size; }

    // For a request: copies the view into copy. When it holds a fresh record
    // (section_valid 1) it marks that record read in the view, so that a later
    // signal without a new record shows (the agent signals once when it stops),
    // and decodes the copy into record, or says in error why it cannot.
    taken take_record(std::vector<uint8_t>& copy, section_record& record, std::string& error);

private:
    event_handle _request;
    event_handle _response;
    section_handle _section;
    mapped_view _view;
    DWORD _view_size = 0;
};
