// Timing helpers shared by the benchmarks: a monotonic nanosecond clock and
// percentiles of a sample set.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <vector>

inline uint64_t bench_now_ns() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<uint64_t>(c.QuadPart / frequency * 1000000000LL + c.QuadPart % frequency * 1000000000LL / frequency);
}

// The p-th percentile (0..100) of samples, which it sorts.
inline double bench_percentile(std::vector<double>& samples, double p) {
    if (samples.empty()) {
        return 0.0;
    }
    std::sort(samples.begin(), samples.end());
    size_t index = static_cast<size_t>(p / 100.0 * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
}
