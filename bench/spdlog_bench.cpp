// The peer of bench/log_bench.cpp: spdlog's asynchronous logger (one writer
// thread, its queued lines going to a null sink) in the same shapes, with the
// same message and call counts: a call the level filter drops, and a call that
// formats and queues its message, from one thread and from four at once.
//
// The queue holds a whole burst (our logger's queue is unbounded), so no
// caller waits for room; overflow policy: block, spdlog's default.
//
// Prints one "name value unit" line per figure.
#include <windows.h>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <memory>

#include "bench/bench_clock.h"
#include "bench/bench_threads.h"
#include "bench/log_shapes.h"

namespace {
using logger_ptr = std::shared_ptr<spdlog::async_logger>;

double filtered_ns(const logger_ptr& logger, int iterations, int threads) {
    return bench_calls_ns(iterations, threads,
                          [&logger](int i) { logger->debug(kLogMessageFmt, static_cast<unsigned>(i)); });
}

double queued_ns(const logger_ptr& logger, int iterations, int threads) {
    return bench_calls_ns(iterations, threads,
                          [&logger](int i) { logger->error(kLogMessageFmt, static_cast<unsigned>(i)); });
}

// Waits until the writer has taken every queued message (at most 30 s).
bool drained_queue(spdlog::details::thread_pool& pool) {
    const uint64_t deadline = bench_now_ns() + 30000000000ull;
    while (pool.queue_size() != 0) {
        if (bench_now_ns() > deadline) {
            return false;
        }
        Sleep(1);
    }
    return true;
}
}  // namespace

int main() {
    auto pool = std::make_shared<spdlog::details::thread_pool>(static_cast<size_t>(kQueuedCalls), 1);
    auto logger = std::make_shared<spdlog::async_logger>("bench", std::make_shared<spdlog::sinks::null_sink_mt>(),
                                                         pool, spdlog::async_overflow_policy::block);
    logger->set_level(spdlog::level::warn);  // as our logger: warnings and errors

    auto none = [] {};
    bool all_drained = true;
    auto drained = [&] { all_drained = all_drained && drained_queue(*pool); };
    std::printf("spdlog_filtered_1t %.2f ns\n",
                bench_median_of(kBursts, [&] { return filtered_ns(logger, kFilteredCalls, 1); }, none));
    std::printf("spdlog_filtered_4t %.2f ns\n",
                bench_median_of(kBursts, [&] { return filtered_ns(logger, kFilteredCalls / 4, 4); }, none));
    std::printf("spdlog_queued_first_burst %.1f ns\n", queued_ns(logger, kQueuedCalls, 1));
    std::printf("spdlog_queued_1t %.1f ns\n",
                bench_median_of(kBursts, [&] { return queued_ns(logger, kQueuedCalls, 1); }, drained));
    std::printf("spdlog_queued_4t %.1f ns\n",
                bench_median_of(kBursts, [&] { return queued_ns(logger, kQueuedCalls / 4, 4); }, drained));
    if (!all_drained) {
        std::fprintf(stderr, "spdlog's writer did not drain its queue\n");
        return 1;
    }
    logger.reset();  // the pool's destructor drains and joins the writer
    pool.reset();
    return 0;
}
