// The in-test talvern service: its objects, and the thread that reads and answers records.
#include "tests/support/service_stub.h"

#include <cstring>
#include <string>

ServiceStub::ServiceStub() : ServiceStub(options()) {}

ServiceStub::ServiceStub(const options& opt) : _quit(CreateEventW(nullptr, TRUE, FALSE, nullptr)) { create(opt); }

ServiceStub::~ServiceStub() {
    SetEvent(_quit.get());
    if (_thread.joinable()) _thread.join();
}

void ServiceStub::create(const options& opt) { _objects.create(GetCurrentProcessId(), opt); }

void ServiceStub::serve(DWORD hold_ms, bool answer, DWORD first_hold_ms) {
    _thread = std::thread(&ServiceStub::run, this, hold_ms, answer, first_hold_ms);
}

void ServiceStub::run(DWORD hold_ms, bool answer, DWORD first_hold_ms) {
    HANDLE handles[2] = {_quit.get(), _objects.request()};
    std::vector<uint8_t> copy;
    while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        delivery d;
        std::string error;
        const service_objects::taken taken = _objects.take_record(copy, d.record, error);
        if (taken == service_objects::taken::nothing) {
            if (_watched != nullptr && _empty_requests == 0) {
                _watched_ended = WaitForSingleObject(_watched, 0) == WAIT_OBJECT_0;
            }
            ++_empty_requests;
            continue;
        }
        d.decoded = taken == service_objects::taken::record;
        const DWORD hold = (_deliveries.empty() && first_hold_ms != 0) ? first_hold_ms : hold_ms;
        if (hold != 0) {
            // While the answer is pending the agent must neither signal again nor touch the section.
            if (WaitForSingleObject(_quit.get(), hold) == WAIT_OBJECT_0) return;
            d.overlapped = WaitForSingleObject(_objects.request(), 0) == WAIT_OBJECT_0 ||
                           std::memcmp(copy.data() + 4, _objects.view() + 4, copy.size() - 4) != 0;
        }
        {
            std::lock_guard<std::mutex> guard(_lock);
            _deliveries.push_back(d);
        }
        _cond.notify_all();
        if (answer) {
            SetEvent(_objects.response());
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
