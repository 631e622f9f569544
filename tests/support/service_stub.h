// The talvern service played inside a test: creates the request/response events
// and the section for this process and, on a thread of its own, records every
// record the agent hands over and answers it (or not).
#pragma once

#include "tools/service_side/service_objects.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

class ServiceStub {
public:
    using options = service_objects::parts;
    struct delivery {
        section_record record;
        bool decoded = false;
        bool overlapped = false;  // a new request or write arrived before the answer
    };

    ServiceStub();
    explicit ServiceStub(const options& opt);
    ~ServiceStub();
    ServiceStub(const ServiceStub&) = delete;
    ServiceStub& operator=(const ServiceStub&) = delete;

    // Creates the objects that are still missing (for late creation).
    void create(const options& opt);
    // Serves requests on a thread: answers after hold_ms (the first record after
    // first_hold_ms when that is not 0), or never.
    void serve(DWORD hold_ms, bool answer, DWORD first_hold_ms = 0);
    // Waits until count deliveries have arrived, at most timeout_ms.
    bool wait_for(size_t count, DWORD timeout_ms);
    std::vector<delivery> deliveries();
    // Request signals that carried no fresh record (the agent's stop sends one).
    size_t empty_requests() const { return _empty_requests; }
    size_t answers() const { return _answers; }
    // A thread whose end, when the first request without a record comes, is
    // kept in ended_before_empty_request().
    void watch_thread(HANDLE thread) { _watched = thread; }
    bool ended_before_empty_request() const { return _watched_ended; }

private:
    void run(DWORD hold_ms, bool answer, DWORD first_hold_ms);

    service_objects _objects;
    event_handle _quit;
    std::thread _thread;
    std::mutex _lock;
    std::condition_variable _cond;
    std::vector<delivery> _deliveries;
    std::atomic<size_t> _empty_requests{0}, _answers{0};
    std::atomic<HANDLE> _watched{nullptr};
    std::atomic<bool> _watched_ended{false};
};
