// Cost of the log call: a call the level filter drops, and a call that formats
// and queues its line, from one thread and from four at once. The baseline is
// formatting the same line with StringCchPrintfA alone.
//
// Prints one "name value unit" line per figure.
#include <windows.h>
#include <strsafe.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/bench_clock.h"
#include "log/log.h"
#include "log/log_settings.h"

namespace {
const char* const kFormat = "no response signal. wait ret=%u";

double baseline_ns(int iterations) {
    char line[2048];
    const uint64_t start = bench_now_ns();
    for (int i = 0; i < iterations; ++i) {
        StringCchPrintfA(line, sizeof(line), kFormat, static_cast<unsigned>(i));
    }
    return static_cast<double>(bench_now_ns() - start) / iterations;
}

double log_calls_ns(uint32_t level, int iterations, int threads) {
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
                log_write_fmt(log_category_general, level, "bench", kFormat, static_cast<unsigned>(i));
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

// Drops every line before the debugger: the benchmark measures the caller's cost.
void discard(void*, const char*) {}
}  // namespace

int main() {
    initialize_log();
    // Queued lines go to no sink at all, so the writer thread costs the callers
    // as little as possible; the caller still formats, allocates and queues.
    log_set_targets(0);
    log_set_debug_observer(&discard, nullptr);

    const int filtered_n = 5000000;
    const int queued_n = 100000;
    std::printf("log_baseline_printf %.1f ns\n", baseline_ns(queued_n));
    std::printf("log_filtered_1t %.2f ns\n", log_calls_ns(log_level_debug, filtered_n, 1));
    std::printf("log_filtered_4t %.2f ns\n", log_calls_ns(log_level_debug, filtered_n / 4, 4));
    std::printf("log_queued_1t %.1f ns\n", log_calls_ns(log_level_error, queued_n, 1));
    std::printf("log_queued_4t %.1f ns\n", log_calls_ns(log_level_error, queued_n / 4, 4));
    finalize_log();
    return 0;
}
