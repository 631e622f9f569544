// Floor of event delivery: what the agent's design prescribes for one device
// event, and nothing more. A calling thread (the plug-in's) stamps the time
// and hands a record to a worker thread through a boost::mutex and a
// boost::condition_variable, notified under the lock; the worker writes the
// 4,096-byte section, signals the request event and waits for the response
// event, answered by a second process that stamps the reception and answers
// at once. Like the service in the agent's runs (load_service --pace), the
// answering side then signals a pace event, and only then does the calling
// thread send the next record (after --gap-ms more, so that each record finds
// the worker asleep on the condition, as sparse device events do).
//
// With --refresh the calling thread first does the work of a disk-table
// refresh as the agent's refresh does it, minus the agent: the name
// converter's system calls (environment, drive strings, DOS device and drive
// type of each drive, the network provider keys) and the three WQL queries,
// every row read with the properties the inventory takes, over the one WMI
// connection that the main thread made in the multithreaded apartment (the
// calling thread itself enters no apartment, as the plug-in's thread does not).
//
// With --turns N the floor takes turns with an agent run whose plug-in script
// says turns=N: before each measured record it waits for its turn, and after
// the pace signal it gives the turn to the agent, so that machine drift falls
// on the two alike, event by event (see tools/load_plugin).
//
// Prints the latency from the stamp to the reception (p50, p99; every sample
// with --samples <file>) and, with --refresh, the time of the refresh work
// alone and of each of its parts (name converter calls, each query).
//
//   delivery_baseline [--count N] [--gap-ms G] [--refresh] [--turns N] [--samples <file>]
//   delivery_baseline --answer <tag> <count>   the answering side (started by the first)
#include <windows.h>
#include <wbemidl.h>

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "bench/wmi_queries.h"
#include "tools/load_plugin/load_names.h"
#include "tools/service_side/agent_process.h"
#include "base/handles.h"

namespace {
const DWORD kViewSize = 4096;

uint64_t precise_now() {
    FILETIME f;
    GetSystemTimePreciseAsFileTime(&f);
    return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

std::wstring object_name(const wchar_t* kind, const std::wstring& tag) {
    return std::wstring(L"Local\\talvern_floor_") + kind + L"_" + tag;
}

// The answering side: the service's part, as load_service plays it.
int answer(const std::wstring& tag, int count) {
    event_handle request(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, object_name(L"q", tag).c_str()));
    event_handle response(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, object_name(L"r", tag).c_str()));
    event_handle pace(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, object_name(L"p", tag).c_str()));
    section_handle section(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, object_name(L"d", tag).c_str()));
    section_handle times(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, object_name(L"t", tag).c_str()));
    mapped_view record_view(section ? MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, kViewSize) : nullptr);
    mapped_view times_view(times ? MapViewOfFile(times.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr);
    auto* view = static_cast<volatile unsigned char*>(record_view.get());
    auto* received = static_cast<uint64_t*>(times_view.get());
    if (!request || !response || !pace || !view || !received) {
        std::fprintf(stderr, "answering side: cannot open the objects, gle=%lu\n", GetLastError());
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        if (WaitForSingleObject(request.get(), 30000) != WAIT_OBJECT_0) {
            break;  // the requesting side is gone
        }
        received[i] = precise_now();
        if (view[0] != 1) {
            break;  // the requesting side is done
        }
        view[0] = 0;  // read, as the service marks the record taken
        SetEvent(response.get());
        SetEvent(pace.get());
    }
    return 0;
}

// The hand-off of the agent's design: one lock, one condition, notified under the lock.
struct record {
    uint64_t time;
    int index;
};

struct hand_off {
    boost::mutex lock;
    boost::condition_variable cond;
    std::deque<record> queue;
    bool stop = false;
};

// The system calls of the name converter's reload.
void reload_device_names() {
    wchar_t value[MAX_PATH];
    ExpandEnvironmentStringsW(L"%SystemDrive%", value, MAX_PATH);
    ExpandEnvironmentStringsW(L"%SystemRoot%", value, MAX_PATH);
    wchar_t drives[129] = {};
    const DWORD length = GetLogicalDriveStringsW(128, drives);
    for (DWORD i = 0; i + 4 <= length && i < 128; i += 4) {
        wchar_t* entry = drives + i;
        if (entry[0] == L'A' || entry[0] == L'a') continue;
        wchar_t root[4] = {entry[0], L':', L'\\', L'\0'};
        wchar_t name[3] = {entry[0], L':', L'\0'};
        wchar_t target[MAX_PATH];
        QueryDosDeviceW(name, target, MAX_PATH);
        GetDriveTypeW(root);
    }
    registry_key order;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\NetworkProvider\\Order", 0,
                      KEY_READ, order.put()) != ERROR_SUCCESS) {
        return;
    }
    wchar_t providers[1024] = {};
    DWORD bytes = sizeof(providers) - sizeof(wchar_t);
    RegQueryValueExW(order.get(), L"ProviderOrder", nullptr, nullptr, reinterpret_cast<BYTE*>(providers), &bytes);
    order.reset();
    for (wchar_t* p = providers; *p != L'\0';) {
        wchar_t* end = std::wcschr(p, L',');
        const std::wstring provider = end ? std::wstring(p, end) : std::wstring(p);
        const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + provider + L"\\NetworkProvider";
        registry_key key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS) {
            wchar_t device[MAX_PATH] = {};
            DWORD device_bytes = sizeof(device) - sizeof(wchar_t);
            RegQueryValueExW(key.get(), L"DeviceName", nullptr, nullptr, reinterpret_cast<BYTE*>(device),
                             &device_bytes);
            key.reset();
        }
        if (end == nullptr) break;
        p = end + 1;
    }
}

double percentile(std::vector<double> samples, double p) { return bench_percentile(samples, p); }
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 4 && std::wcscmp(argv[1], L"--answer") == 0) {
        return answer(argv[2], _wtoi(argv[3]));
    }
    int count = 10000;
    DWORD gap_ms = 0;
    bool refresh = false;
    const wchar_t* turns = nullptr;
    const wchar_t* samples_file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--count") == 0 && i + 1 < argc) {
            count = _wtoi(argv[++i]);
        } else if (std::wcscmp(argv[i], L"--gap-ms") == 0 && i + 1 < argc) {
            gap_ms = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (std::wcscmp(argv[i], L"--turns") == 0 && i + 1 < argc) {
            turns = argv[++i];
        } else if (std::wcscmp(argv[i], L"--refresh") == 0) {
            refresh = true;
        } else if (std::wcscmp(argv[i], L"--samples") == 0 && i + 1 < argc) {
            samples_file = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: delivery_baseline [--count N] [--gap-ms G] [--refresh] [--turns N] [--samples <file>]\n");
            return 2;
        }
    }
    if (count <= 0) return 2;
    const std::wstring tag = std::to_wstring(GetCurrentProcessId());
    // One warm-up exchange before the measured ones, as the agent's runs
    // settle before their first event.
    const int total = count + 1;

    wmi_connection wmi;
    if (refresh && !wmi.open()) {
        std::fprintf(stderr, "cannot connect to ROOT\\CIMV2\n");
        return 3;
    }

    event_handle request(CreateEventW(nullptr, FALSE, FALSE, object_name(L"q", tag).c_str()));
    event_handle response(CreateEventW(nullptr, FALSE, FALSE, object_name(L"r", tag).c_str()));
    event_handle pace(CreateEventW(nullptr, FALSE, FALSE, object_name(L"p", tag).c_str()));
    section_handle section(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kViewSize,
                                              object_name(L"d", tag).c_str()));
    section_handle times(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            static_cast<DWORD>(sizeof(uint64_t) * total),
                                            object_name(L"t", tag).c_str()));
    mapped_view record_view(section ? MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, kViewSize) : nullptr);
    mapped_view times_view(times ? MapViewOfFile(times.get(), FILE_MAP_READ, 0, 0, 0) : nullptr);
    auto* view = static_cast<unsigned char*>(record_view.get());
    auto* received = static_cast<const volatile uint64_t*>(times_view.get());
    if (!request || !response || !pace || !view || !received) {
        std::fprintf(stderr, "cannot create the objects, gle=%lu\n", GetLastError());
        return 3;
    }

    event_handle my_turn, their_turn;
    if (turns != nullptr) {
        my_turn.reset(CreateEventW(nullptr, FALSE, FALSE, load_turn_event_name(L"floor", turns).c_str()));
        their_turn.reset(CreateEventW(nullptr, FALSE, FALSE, load_turn_event_name(L"agent", turns).c_str()));
        if (!my_turn || !their_turn) {
            std::fprintf(stderr, "cannot create the turn events, gle=%lu\n", GetLastError());
            return 3;
        }
    }

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    started_process answering;  // its handles go before the views and the objects
    if (!start_process(self, L"--answer " + tag + L" " + std::to_wstring(total), false, answering)) {
        std::fprintf(stderr, "cannot start the answering side, gle=%lu\n", GetLastError());
        return 3;
    }

    // The worker: takes one record at a time and makes the round trip.
    hand_off h;
    std::vector<unsigned char> bytes(kViewSize, 0x5A);
    boost::thread worker([&] {
        for (;;) {
            record r;
            {
                boost::unique_lock<boost::mutex> lock(h.lock);
                while (h.queue.empty() && !h.stop) {
                    h.cond.wait(lock);
                }
                if (h.queue.empty()) return;
                r = h.queue.front();
                h.queue.pop_front();
            }
            bytes[0] = 1;
            std::memcpy(&bytes[8], &r, sizeof(r));
            std::memcpy(view, bytes.data(), kViewSize);
            SetEvent(request.get());
            if (WaitForSingleObject(response.get(), 5000) != WAIT_OBJECT_0) {
                std::fprintf(stderr, "no answer to record %d\n", r.index);
            }
        }
    });

    // The calling thread, in the plug-in's place: a thread of its own that
    // enters no COM apartment (the connection belongs to the main thread).
    struct caller_state {
        int total;
        DWORD gap_ms;
        bool refresh;
        wmi_connection* wmi;
        hand_off* h;
        HANDLE pace;  // borrowed: wmain's pace holds it
        HANDLE my_turn;     // borrowed, null without --turns
        HANDLE their_turn;  // borrowed, null without --turns
        std::vector<uint64_t> sent;
        std::vector<double> refresh_us;
        std::vector<double> phase_us[4];
        int done = 0;
    } caller{total, gap_ms, refresh, &wmi, &h, pace.get(), my_turn.get(), their_turn.get(),
             std::vector<uint64_t>(total), {}, {}, 0};
    auto caller_body = [](void* parameter) -> DWORD {
        caller_state& c = *static_cast<caller_state*>(parameter);
        for (int i = 0; i < c.total; ++i) {
            // The warm-up goes without a turn; the agent warms up as it starts.
            if (i > 0 && c.my_turn != nullptr && WaitForSingleObject(c.my_turn, 60000) != WAIT_OBJECT_0) {
                std::fprintf(stderr, "the agent did not give the turn back before record %d\n", i);
                break;
            }
            c.sent[i] = precise_now();
            if (c.refresh) {
                uint64_t t[5];
                t[0] = bench_now_ns();
                reload_device_names();
                t[1] = bench_now_ns();
                for (int q = 0; q < 3; ++q) {
                    run_query(c.wmi->services.get(), kInventoryQueries[q]);
                    t[q + 2] = bench_now_ns();
                }
                if (i > 0) {
                    c.refresh_us.push_back(static_cast<double>(t[4] - t[0]) / 1000.0);
                    for (int k = 0; k < 4; ++k) c.phase_us[k].push_back(static_cast<double>(t[k + 1] - t[k]) / 1000.0);
                }
            }
            {
                boost::unique_lock<boost::mutex> lock(c.h->lock);
                c.h->queue.push_back(record{c.sent[i], i});
                c.h->cond.notify_one();
            }
            if (WaitForSingleObject(c.pace, 30000) != WAIT_OBJECT_0) {
                std::fprintf(stderr, "no pace signal after record %d\n", i);
                break;
            }
            ++c.done;
            if (i > 0 && c.their_turn != nullptr) SetEvent(c.their_turn);
            if (c.gap_ms != 0) Sleep(c.gap_ms);
        }
        return 0;
    };
    unique_handle caller_thread(CreateThread(nullptr, 0, caller_body, &caller, 0, nullptr));
    if (!caller_thread) {
        std::fprintf(stderr, "cannot start the calling thread, gle=%lu\n", GetLastError());
        return 3;
    }
    WaitForSingleObject(caller_thread.get(), INFINITE);
    caller_thread.reset();
    const int done = caller.done;
    const std::vector<uint64_t>& sent = caller.sent;
    {
        boost::unique_lock<boost::mutex> lock(h.lock);
        h.stop = true;
        h.cond.notify_one();
    }
    worker.join();
    WaitForSingleObject(answering.process.get(), 15000);

    std::vector<double> latency;
    for (int i = 1; i < done; ++i) {
        const uint64_t at = received[i];
        latency.push_back(at >= sent[i] ? static_cast<double>(at - sent[i]) / 10.0 : 0.0);
    }
    if (latency.empty()) return 1;
    const char* name = refresh ? "refresh_floor" : "delivery_floor";
    std::printf("%s_records %zu\n", name, latency.size());
    std::printf("%s_p50_us %.1f\n", name, percentile(latency, 50));
    std::printf("%s_p99_us %.1f\n", name, percentile(latency, 99));
    if (refresh) {
        std::printf("refresh_work_p50_us %.1f\n", percentile(caller.refresh_us, 50));
        const char* phases[4] = {"names", "query_logical", "query_partitions", "query_drives"};
        for (int k = 0; k < 4; ++k) std::printf("refresh_%s_p50_us %.1f\n", phases[k], percentile(caller.phase_us[k], 50));
    }
    if (samples_file != nullptr) {
        FILE* out = _wfopen(samples_file, L"w");
        if (out != nullptr) {
            for (double v : latency) std::fprintf(out, "%.1f\n", v);
            std::fclose(out);
        }
    }
    return 0;
}
