// Creating and holding the service's objects for one agent process, and taking
// the agent's record from the section.
#include "tools/service_side/service_objects.h"

#include <cstring>

namespace {

const wchar_t kRequestEventPrefix[] = L"Global\\ttosq_";
const wchar_t kResponseEventPrefix[] = L"Global\\ttosr_";
const wchar_t kSectionPrefix[] = L"Global\\ttosd_";
const uint8_t kFreshRecord[4] = {1, 0, 0, 0};  // section_valid 1, little-endian

// The process id in decimal, as the service names the objects.
std::wstring name_of(const wchar_t* prefix, DWORD pid) { return prefix + std::to_wstring(pid); }

}  // namespace

std::wstring request_event_name(DWORD pid) { return name_of(kRequestEventPrefix, pid); }
std::wstring response_event_name(DWORD pid) { return name_of(kResponseEventPrefix, pid); }
std::wstring section_name(DWORD pid) { return name_of(kSectionPrefix, pid); }

bool service_objects::create(DWORD pid, const parts& which, DWORD section_size, const note_fn& note) {
    auto tell = [&](const std::wstring& line) {
        if (note) note(line);
    };
    auto failed = [&](const wchar_t* call, const std::wstring& name) {
        const DWORD gle = GetLastError();
        tell(std::wstring(call) + L"(" + name + L") failed, gle=" + std::to_wstring(gle));
        SetLastError(gle);
        return false;
    };
    auto create_event = [&](bool wanted, event_handle& event, const std::wstring& name) {
        if (!wanted || event) return true;
        event.reset(CreateEventW(nullptr, FALSE, FALSE, name.c_str()));
        if (!event) return failed(L"CreateEventW", name);
        tell(L"created " + name);
        return true;
    };
    if (!create_event(which.request, _request, request_event_name(pid)) ||
        !create_event(which.response, _response, response_event_name(pid))) {
        return false;
    }
    if (!which.section || _view) {
        return true;
    }
    const std::wstring name = section_name(pid);
    if (!_section) {
        _section.reset(
            CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, section_size, name.c_str()));
        if (!_section) return failed(L"CreateFileMappingW", name);
    }
    _view.reset(MapViewOfFile(_section.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    if (!_view) return failed(L"MapViewOfFile", name);
    _view_size = section_size;
    tell(L"created " + name + L" (" + std::to_wstring(section_size) + L" bytes)");
    return true;
}

void service_objects::close() {
    _view.reset();
    _view_size = 0;
    _section.reset();
    _request.reset();
    _response.reset();
}

service_objects::taken service_objects::take_record(std::vector<uint8_t>& copy, section_record& record,
                                                    std::string& error) {
    if (!_view) {
        copy.clear();
        return taken::nothing;
    }
    copy.assign(view(), view() + _view_size);
    if (std::memcmp(copy.data(), kFreshRecord, sizeof(kFreshRecord)) != 0) {
        return taken::nothing;
    }
    std::memset(view(), 0, sizeof(kFreshRecord));
    return read_section_record(copy.data(), copy.size(), record, error) ? taken::record : taken::undecodable;
}
