#!/usr/bin/env bash
# Builds and runs every benchmark under Wine and prints one table: figure,
# value, baseline (measured in the same run), ratio, target, met/missed. Every
# timed figure is measured in several rounds (each round runs every benchmark
# once, so slow moments of the machine hit figures and baselines alike); the
# table shows the median and the range of each, the ratio is the median of
# the rounds' ratios. It also draws docs/delivery-latency.png.
#   scripts/bench.sh [--quick] [--rounds N]
#     --quick: one round, fewer events, 5 s idle instead of 30 s, the picture
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
rm -rf "$raw"
mkdir -p "$raw"
win() { echo "Z:${1//\//\\}"; }
run() {  # run <name> <exe> [args...]: raw output in build/bench/<name>.out
    local name=$1
    shift
    "$WINE64" "$@" </dev/null >"$raw/$name.out" 2>"$raw/$name.err"
}

events=10000
refreshes=60
idle_s=30
if [ $quick -eq 1 ]; then
    events=2000
    refreshes=10
    idle_s=5
fi
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

agent=$(win "$build/load-agent/TalvernTray.exe")
# Memory is compared on copies without debug information: Wine reads a MinGW
# image (file alignment 512 bytes) into private memory whole, so the DWARF
# sections of a RelWithDebInfo build (about 9 MB of the agent's) would count
# as private bytes, which they are not on Windows.
stripped=$raw/stripped
mkdir -p "$stripped/load-agent"
x86_64-w64-mingw32-strip -o "$stripped/load-agent/TalvernTray.exe" "$build/load-agent/TalvernTray.exe" &&
    x86_64-w64-mingw32-strip -o "$stripped/load-agent/TalvernP.dll" "$build/load-agent/TalvernP.dll" &&
    x86_64-w64-mingw32-strip -o "$stripped/footprint_baseline.exe" "$build/bin/footprint_baseline.exe" || exit 1
stripped_agent=$(win "$stripped/load-agent/TalvernTray.exe")
for r in $(seq 1 "$rounds"); do
    # Each agent run comes right after its floors: the machine's speed drifts
    # over a minute (another engineer's builds share it), and a floor
    # measured a minute apart from its figure takes that drift in.
    echo "[bench] round $r of $rounds" >&2
    echo "[bench]   log call: ours, then spdlog's" >&2
    run log.$r "$build/bin/log_bench.exe"
    [ -f "$build/bin/spdlog_bench.exe" ] && run spdlog.$r "$build/bin/spdlog_bench.exe"
    echo "[bench]   delivery floors: event pair; hand-off and event pair" >&2
    run pair.$r "$build/bin/event_pair_baseline.exe" $events "$(win "$raw/pair-samples.$r.txt")"
    run floor.$r "$build/bin/delivery_baseline.exe" --count $events --samples "$(win "$raw/floor-samples.$r.txt")"
    if [ $have_agent -eq 1 ]; then
        echo "[bench]   agent: delivery latency ($events events, one at a time)" >&2
        run latency.$r "$build/bin/load_service.exe" --agent "$agent" --script "count=$events;pace=1" --pace \
            --expect $events --threads 1 --timeout-s 600 --samples "$(win "$raw/latency-samples.$r.txt")"
    fi
    echo "[bench]   refresh floors: three WQL queries alone; the refresh's work without the agent" >&2
    run wmi.$r "$build/bin/wmi_baseline.exe" $refreshes
    run rfloor.$r "$build/bin/delivery_baseline.exe" --count $refreshes --refresh
    if [ $have_agent -eq 1 ]; then
        echo "[bench]   agent: refresh ($refreshes events with byte 1, one at a time)" >&2
        run refresh.$r "$build/bin/load_service.exe" --agent "$agent" --script "count=$refreshes;event=1;pace=1" \
            --pace --expect $refreshes --threads 0 --timeout-s 600
    fi
    echo "[bench]   footprint floors" >&2
    run mem.$r "$stripped/footprint_baseline.exe" --steps window,tray,update
    run memdebug.$r "$build/bin/footprint_baseline.exe"
    if [ $have_agent -eq 1 ]; then
        echo "[bench]   agent (stripped copy): delivery rate and footprint (2 x $events events, ${idle_s} s idle)" >&2
        run burst.$r "$build/bin/load_service.exe" --agent "$stripped_agent" --script "count=$events;batches=2" \
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
    --idle-s $idle_s --machine "$machine" --load "$load_before" "$load_after" \
    --plot "$plot"
