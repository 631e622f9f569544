#!/usr/bin/env bash
# Builds and runs every benchmark under Wine and prints one table: figure,
# value, baseline (measured in the same run), ratio, target, met/missed.
#   scripts/bench.sh [--quick]     (--quick: fewer rounds, 5 s idle instead of 30 s)
# The raw outputs stay in build/bench/.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERN_BUILD_DIR:-$here/build}
. "$here/scripts/wine-env.sh"
quick=0
[ "${1:-}" = "--quick" ] && quick=1

if [ ! -f "$build/CMakeCache.txt" ]; then
    "$here/scripts/build.sh" >/dev/null || exit 1
fi
cmake --build "$build" --target bench load_service -j2 -- --no-print-directory >/dev/null || exit 1
have_agent=0
if cmake --build "$build" --target talvern_load_agent -j2 -- --no-print-directory >/dev/null 2>&1; then
    have_agent=1
fi
"$here/scripts/wine-prefix.sh" "$build/wineprefix" || exit 1

talvern_wine_env "$build/wineprefix"
talvern_wineserver_start
trap talvern_wineserver_stop EXIT

raw=$build/bench
mkdir -p "$raw"
win() { echo "Z:${1//\//\\}"; }
run() {  # run <name> <exe> [args...]: raw output in build/bench/<name>.out
    local name=$1
    shift
    "$WINE64" "$@" </dev/null >"$raw/$name.out" 2>"$raw/$name.err"
}
val() { tr -d '\r' <"$raw/$1.out" | awk -v k="$2" '$1 == k { print $2 }' | tail -1; }

events=10000
refreshes=30
idle_s=30
if [ $quick -eq 1 ]; then
    events=2000
    refreshes=10
    idle_s=5
fi

echo "[bench] log call" >&2
run log "$build/bin/log_bench.exe"
echo "[bench] event pair baseline" >&2
run pair "$build/bin/event_pair_baseline.exe"
echo "[bench] WMI baseline" >&2
run wmi "$build/bin/wmi_baseline.exe" $refreshes
if [ $have_agent -eq 1 ]; then
    agent=$(win "$build/load-agent/TalvernTray.exe")
    echo "[bench] delivery latency ($events events, one at a time)" >&2
    run latency "$build/bin/load_service.exe" --agent "$agent" --script "count=$events;pace=1" --pace \
        --expect $events --threads 1 --timeout-s 600
    echo "[bench] delivery rate and footprint (2 x $events events, ${idle_s} s idle)" >&2
    run burst "$build/bin/load_service.exe" --agent "$agent" --script "count=$events;batches=2" --batches 2 \
        --expect $events --threads 1 --drain-ms 3000 --idle-cpu-s $idle_s --timeout-s 600
    echo "[bench] refresh ($refreshes events with byte 1, one at a time)" >&2
    run refresh "$build/bin/load_service.exe" --agent "$agent" --script "count=$refreshes;event=1;pace=1" --pace \
        --expect $refreshes --threads 0 --timeout-s 600
else
    echo "[bench] no agent target yet: delivery, refresh and footprint skipped" >&2
    : >"$raw/latency.out"; : >"$raw/burst.out"; : >"$raw/refresh.out"
fi

# row <figure> <value> <baseline> <unit> <target text> <kind> <limit>
#   kind: ratio_max (value/baseline <= limit), ratio_min (value/baseline >= limit),
#         abs_max (value <= limit), diff_max (value - baseline <= limit), none
row() {
    awk -v f="$1" -v v="$2" -v b="$3" -v u="$4" -v t="$5" -v k="$6" -v l="$7" 'BEGIN {
        if (v == "") { printf "| %s | not measured | | | %s | missed |\n", f, t; exit }
        r = (b != "" && b + 0 != 0) ? sprintf("%.2f", v / b) : "";
        if (k == "ratio_max") ok = (r != "" && v / b <= l);
        else if (k == "ratio_min") ok = (r != "" && v / b >= l);
        else if (k == "abs_max") ok = (v + 0 <= l);
        else if (k == "diff_max") ok = (v - b <= l);
        else ok = -1;
        res = ok == -1 ? "(report)" : (ok ? "met" : "missed");
        printf "| %s | %s %s | %s%s | %s | %s | %s |\n", f, v, u, b, (b == "" ? "" : " " u), r, t, res
    }'
}

machine="$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $("$WINE64" --version 2>/dev/null)"
echo
echo "Run $(date -u '+%Y-%m-%d %H:%M UTC') on $machine"
echo
echo "| figure | value | baseline | ratio | target | result |"
echo "|---|---|---|---|---|---|"
row "delivery latency p50 (callback to service)" "$(val latency latency_p50_us)" "$(val pair baseline_p50)" "us" "<= 2x event-pair round trip p50" ratio_max 2
row "delivery latency p99" "$(val latency latency_p99_us)" "$(val pair baseline_p99)" "us" "(none)" none 0
row "  of which inside the plug-in's callback (p50)" "$(val latency callback_p50_us)" "" "us" "(lookup, record, queue push and wake of the worker)" none 0
row "  of which after the callback returned (p50)" "$(val latency after_callback_p50_us)" "$(val pair baseline_p50)" "us" "(worker, section, event pair)" none 0
row "delivery rate (burst of $events)" "$(val burst rate_per_s)" "$(val pair baseline_rate)" "/s" ">= 0.5x event-pair rate" ratio_min 0.5
row "refresh latency p50 (byte 1)" "$(val refresh latency_p50_us)" "$(val wmi wmi_baseline_p50_us)" "us" "<= 1.2x three WQL queries" ratio_max 1.2
row "refresh latency p99 (byte 1)" "$(val refresh latency_p99_us)" "$(val wmi wmi_baseline_p99_us)" "us" "(none)" none 0
row "log call, filtered (1 thread)" "$(val log log_filtered_1t)" "$(val log log_baseline_printf)" "ns" "< 20 ns" abs_max 20
row "log call, queued (1 thread)" "$(val log log_queued_1t)" "$(val log log_baseline_printf)" "ns" "<= 3x StringCchPrintfA" ratio_max 3
row "log call, queued (first burst, 1 thread)" "$(val log log_queued_first_burst)" "$(val log log_baseline_printf)" "ns" "(none)" none 0
row "log call, queued (4 threads)" "$(val log log_queued_4t)" "$(val log log_baseline_printf)" "ns" "(none)" none 0
row "agent private bytes (PagefileUsage) after start" "$(val burst mem_start_pagefile_kb)" "$(val burst sleeper_pagefile_kb)" "KB" "(baseline: a Wine process that only sleeps)" none 0
row "agent private bytes (PagefileUsage) after $events events" "$(val burst mem_loaded0_pagefile_kb)" "$(val burst mem_start_pagefile_kb)" "KB" "(baseline: after start)" none 0
row "agent private bytes (PagefileUsage), drained after $events" "$(val burst mem_drained0_pagefile_kb)" "$(val burst mem_start_pagefile_kb)" "KB" "(baseline: after start)" none 0
row "agent private bytes (PagefileUsage), drained after 2 x $events" "$(val burst mem_drained1_pagefile_kb)" "$(val burst mem_drained0_pagefile_kb)" "KB" "no growth: <= +512 KB over the first drain" diff_max 512
row "agent working set after start" "$(val burst mem_start_working_set_kb)" "$(val burst sleeper_working_set_kb)" "KB" "(baseline: a Wine process that only sleeps)" none 0
row "agent working set, drained after 2 x $events" "$(val burst mem_drained1_working_set_kb)" "$(val burst mem_start_working_set_kb)" "KB" "(baseline: after start)" none 0
row "agent idle CPU over $idle_s s" "$(val burst idle_cpu_ms)" "$(val burst sleeper_idle_cpu_ms)" "ms" "< 1% of one core ($((idle_s * 10)) ms)" abs_max $((idle_s * 10))
for f in latency burst refresh; do
    grep -q '^result FAIL' "$raw/$f.out" && echo "note: $f run: $(grep '^result FAIL' "$raw/$f.out" | tr '\n' ' ')"
done
exit 0
