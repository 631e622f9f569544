// Baseline of the disk-table refresh: the three WQL queries of the disk
// inventory alone, each result read to its end with the properties the
// inventory takes, over one WMI connection to ROOT\CIMV2.
//
// Prints "wmi_baseline_p50_us", "wmi_baseline_p99_us" and "wmi_baseline_rows".
#include <cstdio>
#include <vector>

#include "bench/bench_clock.h"
#include "bench/wmi_queries.h"

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? atoi(argv[1]) : 50;
    wmi_connection wmi;
    if (!wmi.open()) {
        return 3;
    }

    std::vector<double> samples;
    int rows = 0;
    for (int i = 0; i < rounds + 3; ++i) {
        const uint64_t start = bench_now_ns();
        rows = 0;
        for (const wmi_query& q : kInventoryQueries) {
            rows += run_query(wmi.services.get(), q);
        }
        if (i >= 3) {  // the first rounds warm WMI up
            samples.push_back(static_cast<double>(bench_now_ns() - start) / 1000.0);
        }
    }
    std::printf("wmi_baseline_p50_us %.1f\n", bench_percentile(samples, 50));
    std::printf("wmi_baseline_p99_us %.1f\n", bench_percentile(samples, 99));
    std::printf("wmi_baseline_rows %d\n", rows);
    return 0;
}
