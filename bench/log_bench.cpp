// Cost of the log call: a call the level filter drops, and a call that formats
// and queues its line, from one thread and from four at once. The baseline is
// formatting the same line with StringCchPrintfA alone; bench/spdlog_bench.cpp
// measures spdlog's asynchronous logger in the same shapes.
//
// Prints one "name value unit" line per figure.
#include <windows.h>
#include <strsafe.h>

#include <cstdio>

#include "bench/bench_clock.h"
#include "bench/bench_threads.h"
#include "bench/log_shapes.h"
#include "log/log.h"

namespace {
double baseline_ns(int iterations) {
    char line[2048];
    const uint64_t start = bench_now_ns();
    for (int i = 0; i < iterations; ++i) {
        StringCchPrintfA(line, sizeof(line), kLogMessagePrintf, static_cast<unsigned>(i));
    }
    return static_cast<double>(bench_now_ns() - start) / iterations;
}

double log_calls_ns(uint32_t level, int iterations, int threads) {
    return bench_calls_ns(iterations, threads, [level](int i) {
        log_write_fmt(log_category_general, level, "bench", kLogMessagePrintf, static_cast<unsigned>(i));
    });
}

// Drops every line before the debugger: the benchmark measures the caller's cost.
void discard(void*, const char*) {}
}  // namespace

int main() {
    initialize_log();
    // Queued lines go to no sink at all, so the writer thread costs the callers
    // as little as possible; the caller still formats and queues.
    log_set_targets(0);
    log_set_debug_observer(&discard, nullptr);

    auto none = [] {};
    // The writer has no drain signal: a second is far more than it needs to
    // write a burst and fall asleep again.
    auto drained = [] { Sleep(1000); };
    std::printf("log_baseline_printf %.1f ns\n",
                bench_median_of(kBursts, [] { return baseline_ns(kQueuedCalls); }, none));
    std::printf("log_filtered_1t %.2f ns\n",
                bench_median_of(kBursts, [] { return log_calls_ns(log_level_debug, kFilteredCalls, 1); }, none));
    std::printf("log_filtered_4t %.2f ns\n",
                bench_median_of(kBursts, [] { return log_calls_ns(log_level_debug, kFilteredCalls / 4, 4); }, none));
    // The first burst of queued calls meets a logger that has queued nothing
    // yet, reported on its own; the others each start once the writer has
    // drained the one before, as a running agent's logger is found.
    std::printf("log_queued_first_burst %.1f ns\n", log_calls_ns(log_level_error, kQueuedCalls, 1));
    std::printf("log_queued_1t %.1f ns\n",
                bench_median_of(kBursts, [] { return log_calls_ns(log_level_error, kQueuedCalls, 1); }, drained));
    std::printf("log_queued_4t %.1f ns\n",
                bench_median_of(kBursts, [] { return log_calls_ns(log_level_error, kQueuedCalls / 4, 4); }, drained));
    finalize_log();
    return 0;
}
