#include "tests/app/service_stub.h"

#include <cstring>

ServiceStub::ServiceStub() : ServiceStub(options()) {}

ServiceStub::ServiceStub(const options& opt) {
    _quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    create(opt);
}

ServiceStub::~ServiceStub() {
    SetEvent(_quit);
    if (_thread.joinable()) {
        _thread.join();
    }
    if (_view != nullptr) UnmapViewOfFile(_view);
    if (_section != nullptr) CloseHandle(_section);
    if (_request != nullptr) CloseHandle(_request);
    if (_response != nullptr) CloseHandle(_response);
    CloseHandle(_quit);
}

std::wstring ServiceStub::name(const wchar_t* prefix) {
    return std::wstring(prefix) + std::to_wstring(GetCurrentProcessId());
}

void ServiceStub::create(const options& opt) {
    if (opt.request && _request == nullptr) {
        _request = CreateEventW(nullptr, FALSE, FALSE, name(L"Global\\ttosq_").c_str());
    }
    if (opt.response && _response == nullptr) {
        _response = CreateEventW(nullptr, FALSE, FALSE, name(L"Global\\ttosr_").c_str());
    }
    if (opt.section && _section == nullptr) {
        _section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, opt.section_size,
                                      name(L"Global\\ttosd_").c_str());
        if (_section != nullptr) {
            _view = static_cast<uint8_t*>(MapViewOfFile(_section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
            _view_size = opt.section_size;
        }
    }
}

void ServiceStub::serve(DWORD hold_ms, bool answer) {
    _thread = std::thread(&ServiceStub::run, this, hold_ms, answer);
}

void ServiceStub::run(DWORD hold_ms, bool answer) {
    HANDLE handles[2] = {_quit, _request};
    for (;;) {
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
            return;
        }
        delivery d;
        d.tick = GetTickCount64();
        std::vector<uint8_t> copy(_view, _view + _view_size);
        if (copy[0] != 1) {
            ++_empty_requests;
            continue;
        }
        std::memset(_view, 0, 4);  // read: a later signal without a record shows
        std::string error;
        d.decoded = read_section_record(copy.data(), copy.size(), d.record, error);
        if (hold_ms != 0) {
            // While the answer is pending the agent must neither signal again nor
            // touch the section.
            if (WaitForSingleObject(_quit, hold_ms) == WAIT_OBJECT_0) {
                return;
            }
            d.overlapped = WaitForSingleObject(_request, 0) == WAIT_OBJECT_0 ||
                           std::memcmp(copy.data() + 4, _view + 4, _view_size - 4) != 0;
        }
        {
            std::lock_guard<std::mutex> guard(_lock);
            _deliveries.push_back(d);
        }
        _cond.notify_all();
        if (answer) {
            SetEvent(_response);
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
