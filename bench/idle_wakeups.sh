#!/usr/bin/env bash
# Wake-ups of an idle Wine process, counted from the Linux side: every Windows
# thread is a Linux thread, and /proc/<pid>/task/<tid>/status counts its
# voluntary and nonvoluntary context switches. Prints "name value" lines:
#   idle_<label>_per_s              wake-ups a second of the whole process
#   idle_<label>_thread_<name>_per_s  the same per thread (named by
#                                   SetThreadDescription where Wine passes it on;
#                                   otherwise "t<n>", n in order of creation)
#   idle_<label>_cpu_ms             the process's CPU time over the same span
#   idle_<label>_s                  the span
# Called by scripts/bench.sh with the environment of talvern_wine_env.
#   bench/idle_wakeups.sh <label> <settle-s> <idle-s> <what> [args]
#     what: agent <TalvernTray.exe (Windows path)> <TALVERN_LOAD script>
#           floor <idle_floor.exe (Windows path)> [tick_ms]
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERN_BUILD_DIR:-$here/build}
. "$here/scripts/wine-env.sh"
label=$1 settle=$2 idle=$3 what=$4
shift 4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The Linux pid of the Wine process of this prefix whose command line holds all
# of the given texts; waits up to 60 s for it.
find_pid() {
    local p cmd
    for _ in $(seq 600); do
        for p in /proc/[0-9]*; do
            cmd=$( (tr '\0' ' ' <"$p/cmdline") 2>/dev/null) || continue
            local t ok=1
            for t in "$@"; do [[ $cmd == *"$t"* ]] || ok=0; done
            [ $ok = 1 ] || continue
            [[ $(readlink "$p/exe" 2>/dev/null) == */wine* ]] || continue  # not the shell that started it
            ( tr '\0' '\n' <"$p/environ" ) 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
            echo "${p#/proc/}"
            return 0
        done
        sleep 0.1
    done
    return 1
}

# One line per thread: "<tid> <name> <switches>" (the process's first thread
# named main), then "cpu <ticks>".
snapshot() {
    local pid=$1 t
    for t in /proc/"$pid"/task/*; do
        local v n
        v=$(awk '/^voluntary_ctxt_switches/ {v=$2} /^nonvoluntary_ctxt_switches/ {n=$2} END {print v+n}' \
            "$t/status" 2>/dev/null) || continue
        n=$(tr -c 'A-Za-z0-9_.\n-' _ <"$t/comm" 2>/dev/null)
        [ "${t##*/}" = "$pid" ] && n=main
        echo "${t##*/} ${n:-?} $v"
    done
    awk '{print "cpu", $14 + $15}' /proc/"$pid"/stat
}

case $what in
agent)
    exe=$1 script=$2
    hold_ms=$(( (settle + idle + 5) * 1000 ))
    "$WINE64" "$build/bin/load_service.exe" --agent "$exe" --script "$script" --started-by-dialog --expect 0 \
        --settle-ms 1000 --drain-ms 0 --hold-ms "$hold_ms" --timeout-s $(( settle + idle + 60 )) \
        </dev/null >"$tmp/service.out" 2>&1 &
    runner=$!
    pid=$(find_pid TalvernTray.exe --load-run=) || { echo "idle_${label}_error agent not found"; exit 1; }
    ;;
floor)
    exe=$1 tick=${2:-0}
    # A run length of its own tells this floor from another one running beside it.
    ms=$(( (settle + idle + 5) * 1000 + RANDOM % 1000 ))
    "$WINE64" "$exe" $ms $tick </dev/null >/dev/null 2>&1 &
    runner=$!
    pid=$(find_pid "idle_floor.exe $ms $tick") || { echo "idle_${label}_error floor not found"; exit 1; }
    ;;
*) echo "usage: bench/idle_wakeups.sh <label> <settle-s> <idle-s> agent|floor ..." >&2; exit 2 ;;
esac

sleep "$settle"
snapshot "$pid" >"$tmp/before"
sleep "$idle"
snapshot "$pid" >"$tmp/after"
wait "$runner"

# Threads in order of creation (tid); a thread gone in between is left out,
# one that came in between counts from 0.
hz=$(getconf CLK_TCK)
awk -v label="$label" -v idle="$idle" -v hz="$hz" '
    FNR == NR { if ($1 == "cpu") cpu0 = $2; else before[$1] = $3; next }
    $1 == "cpu" { cpu1 = $2; next }
    { tid[++n] = $1; name[n] = $2; now[n] = $3 }
    END {
        total = 0
        for (i = 1; i <= n; ++i) {
            d = now[i] - (tid[i] in before ? before[tid[i]] : 0)
            total += d
            key = name[i]
            if (key == "" || key ~ /\.exe$/ || key == "?" || seen[key]++) key = "t" i
            printf "idle_%s_thread_%s_per_s %.2f\n", label, key, d / idle
        }
        printf "idle_%s_per_s %.2f\n", label, total / idle
        printf "idle_%s_cpu_ms %.0f\n", label, (cpu1 - cpu0) * 1000 / hz
        printf "idle_%s_s %d\n", label, idle
    }' "$tmp/before" "$tmp/after"
