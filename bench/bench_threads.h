// Runs one call shape from several threads at once: every thread waits for a
// common start, makes its calls, and the mean time per call over all threads
// is returned. Shared by the log benchmarks, so ours and the peer's are timed
// by the same loop.
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "bench/bench_clock.h"

// call(i) is made iterations times on each of threads threads; nanoseconds per call.
template <typename Call>
double bench_calls_ns(int iterations, int threads, const Call& call) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    std::vector<uint64_t> elapsed(threads);
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            ready++;
            while (!go) {
                SwitchToThread();
            }
            const uint64_t start = bench_now_ns();
            for (int i = 0; i < iterations; ++i) {
                call(i);
            }
            elapsed[t] = bench_now_ns() - start;
        });
    }
    while (ready < threads) {
        SwitchToThread();
    }
    go = true;
    for (auto& w : workers) {
        w.join();
    }
    uint64_t total = 0;
    for (uint64_t e : elapsed) {
        total += e;
    }
    return static_cast<double>(total) / (static_cast<double>(iterations) * threads);
}

// The median of bursts runs of burst() (each returning a time per call), with
// between() run before each one.
template <typename Burst, typename Between>
double bench_median_of(int bursts, const Burst& burst, const Between& between) {
    std::vector<double> values;
    for (int b = 0; b < bursts; ++b) {
        between();
        values.push_back(burst());
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
