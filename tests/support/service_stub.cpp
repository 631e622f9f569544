// The in-test talvern service: its objects, and the thread that reads and answers records.
#include "tests/support/service_stub.h"

#include <cstring>
#include <string>

namespace {
constexpr DWORD kViewSize = 4096;

std::wstring name(const wchar_t* prefix) { return prefix + std::to_wstring(GetCurrentProcessId()); }
}  // namespace

ServiceStub::ServiceStub() : ServiceStub(options()) {}

ServiceStub::ServiceStub(const options& opt) : _quit(CreateEventW(nullptr, TRUE, FALSE, nullptr)) { create(opt); }

ServiceStub::~ServiceStub() {
    SetEvent(_quit);
    if (_thread.joinable()) _thread.join();
    if (_view != nullptr) UnmapViewOfFile(_view);
    for (HANDLE handle : {_section, _request, _response, _quit}) {
        if (handle != nullptr) CloseHandle(handle);
    }
}

void ServiceStub::create(const options& opt) {
    if (opt.request && _request == nullptr) {
        _request = CreateEventW(nullptr, FALSE, FALSE, name(L"Global\\ttosq_").c_str());
    }
    if (opt.response && _response == nullptr) {
        _response = CreateEventW(nullptr, FALSE, FALSE, name(L"Global\\ttosr_").c_str());
    }
    if (opt.section && _section == nullptr) {
        _section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kViewSize,
                                      name(L"Global\\ttosd_").c_str());
        _view = static_cast<uint8_t*>(MapViewOfFile(_section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    }
}

void ServiceStub::serve(DWORD hold_ms, bool answer, DWORD first_hold_ms) {
    _thread = std::thread(&ServiceStub::run, this, hold_ms, answer, first_hold_ms);
}

void ServiceStub::run(DWORD hold_ms, bool answer, DWORD first_hold_ms) {
    HANDLE handles[2] = {_quit, _request};
    while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        std::vector<uint8_t> copy(_view, _view + kViewSize);
        if (copy[0] != 1) {
            if (_watched != nullptr && _empty_requests == 0) {
                _watched_ended = WaitForSingleObject(_watched, 0) == WAIT_OBJECT_0;
            }
            ++_empty_requests;
            continue;
        }
        std::memset(_view, 0, 4);  // read: a later signal without a record shows
        delivery d;
        std::string error;
        d.decoded = read_section_record(copy.data(), copy.size(), d.record, error);
        const DWORD hold = (_deliveries.empty() && first_hold_ms != 0) ? first_hold_ms : hold_ms;
        if (hold != 0) {
            // While the answer is pending the agent must neither signal again nor touch the section.
            if (WaitForSingleObject(_quit, hold) == WAIT_OBJECT_0) return;
            d.overlapped = WaitForSingleObject(_request, 0) == WAIT_OBJECT_0 ||
                           std::memcmp(copy.data() + 4, _view + 4, kViewSize - 4) != 0;
        }
        {
            std::lock_guard<std::mutex> guard(_lock);
            _deliveries.push_back(d);
        }
        _cond.notify_all();
        if (answer) {
            SetEvent(_response);
            ++_answers;
        }
    }
}

bool ServiceStub::wait_for(size_t count, DWORD timeout_ms) {
    std::unique_lock<std::mutex> guard(_lock);
    return _cond.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] { return _deliveries.size() >= count; });
}

std::vector<ServiceStub::delivery> ServiceStub::deliveries() {
    std::lock_guard<std::mutex> guard(_lock);
    return _deliveries;
}
