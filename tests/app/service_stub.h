// The talvern service's side of the channel, played inside a test: creates the
// request/response events and the section for this process and, on a thread of
// its own, records every record the agent hands over and answers it (or not).
#pragma once

#include "tools/service_simulator/section_reader.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ServiceStub {
public:
    struct options {
        bool request = true;
        bool response = true;
        bool section = true;
        DWORD section_size = 4096;
    };

    struct delivery {
        section_record record;
        bool decoded = false;
        ULONGLONG tick = 0;           // GetTickCount64 at the request signal
        bool overlapped = false;      // a new request or write arrived before the answer
    };

    ServiceStub();
    explicit ServiceStub(const options& opt);
    ~ServiceStub();
    ServiceStub(const ServiceStub&) = delete;
    ServiceStub& operator=(const ServiceStub&) = delete;

    // Creates the objects that are still missing (for late creation).
    void create(const options& opt);

    // Serves requests on a thread: answers after hold_ms, or never.
    void serve(DWORD hold_ms, bool answer);

    // Waits until count deliveries have arrived, at most timeout_ms.
    bool wait_for(size_t count, DWORD timeout_ms);
    std::vector<delivery> deliveries();
    // Request signals that carried no fresh record (the agent's stop sends one).
    size_t empty_requests() const { return _empty_requests; }

    HANDLE request() const { return _request; }
    HANDLE response() const { return _response; }
    const uint8_t* view() const { return _view; }

    static std::wstring name(const wchar_t* prefix);

private:
    void run(DWORD hold_ms, bool answer);

    HANDLE _request = nullptr;
    HANDLE _response = nullptr;
    HANDLE _section = nullptr;
    uint8_t* _view = nullptr;
    DWORD _view_size = 0;
    HANDLE _quit = nullptr;
    std::thread _thread;
    std::mutex _lock;
    std::condition_variable _cond;
    std::vector<delivery> _deliveries;
    std::atomic<size_t> _empty_requests{0};
};
