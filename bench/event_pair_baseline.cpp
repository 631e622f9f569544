// Baseline for event delivery: two processes ping-pong one event pair, the
// requesting side writing 4,096 bytes into a shared section before each
// request, and nothing else. Prints the round trip's p50/p99 and the round
// trips per second (back to back; with a gap, the rate of the round trips
// alone).
//
//   event_pair_baseline [count [samples-file [gap-ms]]]   runs both sides;
//       every round trip (us) into samples-file; gap-ms: a pause after each
//       round trip, so that each finds the answering side asleep
//   event_pair_baseline --answer <tag>   the answering side (started by the first)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "tools/service_side/agent_process.h"
#include "base/handles.h"

namespace {
const DWORD kViewSize = 4096;

std::wstring object_name(const wchar_t* kind, const std::wstring& tag) {
    return std::wstring(L"Local\\talvern_bench_") + kind + L"_" + tag;
}

int answer(const std::wstring& tag) {
    event_handle request(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, object_name(L"q", tag).c_str()));
    event_handle response(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, object_name(L"r", tag).c_str()));
    section_handle section(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, object_name(L"d", tag).c_str()));
    mapped_view view(section ? MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, kViewSize) : nullptr);
    if (!request || !response || !view) {
        std::fprintf(stderr, "answering side: cannot open the objects, gle=%lu\n", GetLastError());
        return 1;
    }
    volatile unsigned sink = 0;
    for (;;) {
        if (WaitForSingleObject(request.get(), 30000) != WAIT_OBJECT_0) {
            break;  // the requesting side is gone
        }
        const auto* bytes = static_cast<const volatile unsigned char*>(view.get());
        if (bytes[0] == 0) {
            break;  // the requesting side is done
        }
        sink += bytes[4];  // reads the record's length, as a service would
        SetEvent(response.get());
    }
    return 0;  // unmaps the view, then closes the section and the events
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wcscmp(argv[1], L"--answer") == 0) {
        return answer(argv[2]);
    }
    const int count = argc >= 2 ? _wtoi(argv[1]) : 10000;
    const DWORD gap_ms = argc >= 4 ? static_cast<DWORD>(_wtoi(argv[3])) : 0;
    const std::wstring tag = std::to_wstring(GetCurrentProcessId());

    event_handle request(CreateEventW(nullptr, FALSE, FALSE, object_name(L"q", tag).c_str()));
    event_handle response(CreateEventW(nullptr, FALSE, FALSE, object_name(L"r", tag).c_str()));
    section_handle section(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kViewSize,
                                              object_name(L"d", tag).c_str()));
    mapped_view view(section ? MapViewOfFile(section.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kViewSize)
                             : nullptr);
    if (!request || !response || !view) {
        std::fprintf(stderr, "cannot create the objects, gle=%lu\n", GetLastError());
        return 1;
    }

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    started_process answering;  // its handles go before the view and the objects
    if (!start_process(self, L"--answer " + tag, false, answering)) {
        std::fprintf(stderr, "cannot start the answering side, gle=%lu\n", GetLastError());
        return 1;
    }

    std::vector<unsigned char> record(kViewSize, 0x5A);  // byte 0 != 0: a request
    std::vector<double> round_trips;
    round_trips.reserve(count);
    // The first exchange waits for the child to start; it is not measured.
    std::memcpy(view.get(), record.data(), kViewSize);
    SetEvent(request.get());
    if (WaitForSingleObject(response.get(), 30000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "the answering side does not answer\n");
        TerminateProcess(answering.process.get(), 1);
        return 1;
    }
    const uint64_t start = bench_now_ns();
    for (int i = 0; i < count; ++i) {
        const uint64_t t0 = bench_now_ns();
        std::memcpy(view.get(), record.data(), kViewSize);
        SetEvent(request.get());
        if (WaitForSingleObject(response.get(), 5000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "no answer at round trip %d\n", i);
            break;
        }
        round_trips.push_back(static_cast<double>(bench_now_ns() - t0) / 1000.0);
        if (gap_ms != 0) Sleep(gap_ms);
    }
    double seconds = static_cast<double>(bench_now_ns() - start) / 1e9;
    if (gap_ms != 0) {
        seconds = 0;
        for (double us : round_trips) seconds += us / 1e6;
    }
    const size_t done = round_trips.size();
    if (argc >= 3) {
        FILE* out = _wfopen(argv[2], L"w");
        if (out != nullptr) {
            for (double v : round_trips) std::fprintf(out, "%.1f\n", v);
            std::fclose(out);
        }
    }
    std::printf("baseline_round_trips %zu\n", done);
    std::printf("baseline_p50 %.1f us\n", bench_percentile(round_trips, 50));
    std::printf("baseline_p99 %.1f us\n", bench_percentile(round_trips, 99));
    std::printf("baseline_rate %.0f per_s\n", seconds > 0 ? static_cast<double>(done) / seconds : 0.0);

    static_cast<unsigned char*>(view.get())[0] = 0;  // tells the answering side to end
    SetEvent(request.get());
    WaitForSingleObject(answering.process.get(), 15000);
    return 0;
}
