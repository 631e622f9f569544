#!/usr/bin/env bash
# Builds and runs every benchmark under Wine and prints one table: figure,
# value, baseline (measured in the same run), ratio, target, met/missed. Every
# timed figure is measured in several rounds (each round runs every benchmark
# once, so slow moments of the machine hit figures and baselines alike); the
# table shows the median and the range of each, the ratio is the median of
# the rounds' ratios. It also draws docs/delivery-latency.png.
#   scripts/bench.sh [--quick] [--rounds N]
#     --quick: one round, fewer events, 5 s idle instead of 30 s (the idle
#              CPU and the idle wake-ups), the picture
#              into build/bench/ only
# The raw outputs stay in build/bench/ (<name>.<round>.out).
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERN_BUILD_DIR:-$here/build}
. "$here/scripts/wine-env.sh"
quick=0
rounds=3
while [ $# -gt 0 ]; do
    case $1 in
    --quick) quick=1; rounds=1 ;;
    --rounds) rounds=${2:?}; shift ;;
    *) echo "usage: scripts/bench.sh [--quick] [--rounds N]" >&2; exit 2 ;;
    esac
    shift
done

if [ ! -f "$build/CMakeCache.txt" ]; then
    "$here/scripts/build.sh" >/dev/null || exit 1
fi
# The benchmarks and their load stand-ins are left out of the build unless asked for.
if ! grep -q '^TALVERN_BUILD_BENCH:BOOL=ON$' "$build/CMakeCache.txt"; then
    cmake -S "$here" -B "$build" -DTALVERN_BUILD_BENCH=ON >/dev/null || exit 1
fi
cmake --build "$build" --target bench load_service talvern_reference_plugin -j2 -- --no-print-directory >/dev/null || exit 1
have_agent=0
if cmake --build "$build" --target talvern_load_agent -j2 -- --no-print-directory >/dev/null 2>&1; then
    have_agent=1
fi
"$here/scripts/wine-prefix.sh" "$build/wineprefix" || exit 1

talvern_wine_env "$build/wineprefix"
talvern_wineserver_start
trap talvern_wineserver_stop EXIT

raw=$build/bench
rm -rf "$raw"
mkdir -p "$raw"
win() { echo "Z:${1//\//\\}"; }
run() {  # run <name> <exe> [args...]: raw output in build/bench/<name>.out
    local name=$1
    shift
    "$WINE64" "$@" </dev/null >"$raw/$name.out" 2>"$raw/$name.err"
}
# floor_and_agent <tag> <floor-name> <delivery_baseline args...> -- <agent-name> <plug-in script> <load_service args...>
# Runs a floor and the agent at once, taking turns event by event (each waits
# while the other works), so that the machine's drift falls on both alike.
# Without an agent target, the floor alone.
floor_and_agent() {
    local tag=$1
    shift
    local floor=()
    while [ "$1" != -- ]; do
        floor+=("$1")
        shift
    done
    shift
    if [ $have_agent -eq 0 ]; then
        run "${floor[0]}" "$build/bin/delivery_baseline.exe" "${floor[@]:1}"
        return
    fi
    run "${floor[0]}" "$build/bin/delivery_baseline.exe" "${floor[@]:1}" --turns "$tag" &
    local floor_pid=$!
    local name=$1 script=$2
    shift 2
    run "$name" "$build/bin/load_service.exe" --agent "$agent" --script "$script;turns=$tag" "$@"
    wait $floor_pid
}

events=10000
refreshes=300
idle_s=30
idle_settle_s=7  # from the agent's start to the idle span
# Device events come seconds apart, so each one finds the agent's worker
# asleep on its condition; the paced delivery runs leave a gap to match.
gap_ms=2
if [ $quick -eq 1 ]; then
    events=2000
    refreshes=40
    idle_s=5
fi
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

agent=$(win "$build/load-agent/TalvernTray.exe")
for r in $(seq 1 "$rounds"); do
    # Each agent run comes right after its floors, or takes turns with them
    # event by event: the machine's speed drifts over a minute, and a floor
    # measured a minute apart from its figure takes that drift in.
    echo "[bench] round $r of $rounds" >&2
    # The four-thread figure of one process swings 2x with how its threads
    # happen to be scheduled: ours and spdlog's alternate three times, and
    # the round takes the median of each.
    echo "[bench]   log call: ours, then spdlog's, three times" >&2
    for k in 1 2 3; do
        run log.$r.$k "$build/bin/log_bench.exe"
        [ -f "$build/bin/spdlog_bench.exe" ] && run spdlog.$r.$k "$build/bin/spdlog_bench.exe"
    done
    echo "[bench]   delivery: event pair alone, back to back and with the gap" >&2
    run pair.$r "$build/bin/event_pair_baseline.exe" $events
    run pairgap.$r "$build/bin/event_pair_baseline.exe" $events "$(win "$raw/pair-samples.$r.txt")" $gap_ms
    echo "[bench]   design floor and agent, taking turns: delivery latency ($events events, one at a time)" >&2
    floor_and_agent d$$_$r floor.$r --count $events --gap-ms $gap_ms --samples "$(win "$raw/floor-samples.$r.txt")" -- \
        latency.$r "count=$events;pace=1;gap_ms=$gap_ms" --pace --expect $events --threads 1 --timeout-s 600 \
        --samples "$(win "$raw/latency-samples.$r.txt")"
    echo "[bench]   refresh: three WQL queries alone; then the floor and the agent, taking turns" >&2
    run wmi.$r "$build/bin/wmi_baseline.exe" $refreshes
    floor_and_agent r$$_$r rfloor.$r --count $refreshes --refresh --samples "$(win "$raw/rfloor-samples.$r.txt")" -- \
        refresh.$r "count=$refreshes;event=1;pace=1" --pace --expect $refreshes --threads 0 --timeout-s 600 \
        --samples "$(win "$raw/refresh-samples.$r.txt")"
    echo "[bench]   footprint floors" >&2
    run mem.$r "$build/bin/footprint_baseline.exe" --steps window,tray,update,threads
    if [ $have_agent -eq 1 ]; then
        # The two floors together, then one agent at a time (a second one in
        # the session refuses to run). Beside an agent the floor with a tick
        # counted up to 5 wake-ups a second instead of 2.
        echo "[bench]   idle wake-ups: two floors, then the agent with the reference and with a silent plug-in (${idle_s} s each)" >&2
        idle_run() { "$here/bench/idle_wakeups.sh" "$@"; }
        idle_run floor $idle_settle_s $idle_s floor "$(win "$build/bin/idle_floor.exe")" >"$raw/idle-floor.$r.part" &
        floor_pid=$!
        idle_run tick $idle_settle_s $idle_s floor "$(win "$build/bin/idle_floor.exe")" 1000 >"$raw/idle-tick.$r.part"
        wait $floor_pid
        idle_run reference $idle_settle_s $idle_s agent "$(win "$build/bin/TalvernTray.exe")" "" >"$raw/idle-reference.$r.part"
        idle_run silent $idle_settle_s $idle_s agent "$agent" "count=0" >"$raw/idle-silent.$r.part"
        cat "$raw"/idle-*.$r.part >"$raw/idle.$r.out"
        echo "[bench]   agent: delivery rate and footprint (2 x $events events, ${idle_s} s idle)" >&2
        run burst.$r "$build/bin/load_service.exe" --agent "$agent" --script "count=$events;batches=2" \
            --batches 2 --expect $events --threads 1 --drain-ms 3000 --idle-cpu-s $idle_s --timeout-s 600
    fi
done
[ $have_agent -eq 1 ] || echo "[bench] no agent target yet: delivery, refresh and footprint skipped" >&2

# A quick run leaves the committed picture alone.
plot=$here/docs/delivery-latency.png
[ $quick -eq 1 ] && plot=$raw/delivery-latency.png
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
machine="$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $("$WINE64" --version 2>/dev/null)"
# Debian's python3 (its matplotlib draws the picture), not another one on PATH.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" "$here/bench/report.py" --raw "$raw" --rounds "$rounds" --events $events --refreshes $refreshes \
    --gap-ms $gap_ms --idle-s $idle_s --machine "$machine" --load "$load_before" "$load_after" \
    --plot "$plot"
