#!/usr/bin/env bash
# Builds what is missing (scripts/build.sh), then runs the agent under Wine with
# the service simulator playing the talvern service: the agent starts, connects
# to the simulator's events and section, and exits with code 0 when the
# simulator closes its dialog. The agent's own log lines (errors and warnings,
# as it is configured) are shown as "[agent] ...".
#   scripts/run.sh                               device-event demonstration (below)
#   scripts/run.sh [service_simulator options]   just the agent, e.g. --close-after-ms 3000
#
# The demonstration runs the agent with the reference plug-in bin/TalvernP.dll
# beside it. Once the plug-in watches, drive E: appears (Wine's mount manager
# links it in the prefix's dosdevices/ to a folder under build/run) and goes
# away again; the simulator prints the arrival record (event 1) and the removal
# record (event 2) and then closes the agent, and the records are checked.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERN_BUILD_DIR:-$here/build}
. "$here/scripts/wine-env.sh"

out=$build/run
mkdir -p "$out"
echo "[run] setting up and building (log: $out/build.log)" >&2
"$here/scripts/build.sh" >"$out/build.log" 2>&1 || { tail -n 40 "$out/build.log" >&2; exit 1; }

talvern_wine_env "$build/wineprefix"
export WINEDEBUG=-all,+debugstr
talvern_wineserver_start
trap talvern_wineserver_stop EXIT

demo=0
if [ $# -eq 0 ]; then
    demo=1
    set -- --close-after-records 2
fi
: >"$out/simulator.out"
: >"$out/simulator.err"
: >"$out/update_server.out"

# The local update server at the agent's built-in address shows the agent's
# update request, body included ("update_server: ..." lines).
update_url=$(sed -n 's/^TALVERN_UPDATE_BASE_URL:STRING=//p' "$build/CMakeCache.txt")
srv=
if [[ $update_url =~ ^http://127\.0\.0\.1:([0-9]+)/ ]]; then
    "$WINE64" "$build/bin/update_server.exe" --port "${BASH_REMATCH[1]}" --exit-after 1 --max-seconds 150 \
        >"$out/update_server.out" 2>&1 </dev/null &
    srv=$!
    for _ in $(seq 50); do grep -q listening "$out/update_server.out" && break; sleep 0.1; done
else
    echo "[run] the agent's update server $update_url is not local: no update server started" >&2
fi

wine_drive() { "$WINE64" "$build/bin/wine_drive.exe" "$@" >>"$out/wine_drive.log" 2>&1; }
drive_dir=$out/drive-e
if [ $demo -eq 1 ]; then
    : >"$out/wine_drive.log"
    mkdir -p "$drive_dir"
    # A left-over E: of an interrupted run would not be reported as new.
    if [ -e "$WINEPREFIX/dosdevices/e:" ] || [ -L "$WINEPREFIX/dosdevices/e:" ]; then
        wine_drive remove e || true
    fi
fi

echo "[run] TalvernTray.exe under service_simulator.exe $*" >&2
"$WINE64" "$build/bin/service_simulator.exe" --start "$build/bin/TalvernTray.exe" --timeout-ms 120000 "$@" \
    >"$out/simulator.out" 2>"$out/simulator.err" </dev/null &
sim=$!

# wait_for <seconds> <command...>: polls the command every 0.2 s while the
# simulator runs.
wait_for() {
    local tries=$(( $1 * 5 )); shift
    for _ in $(seq "$tries"); do
        "$@" && return 0
        kill -0 "$sim" 2>/dev/null || return 1
        sleep 0.2
    done
    return 1
}
records() { grep -c '"drive_letter"' "$out/simulator.out" 2>/dev/null || true; }
has_records() { [ "$(records)" -ge "$1" ]; }

# Drives E: in and out while the agent runs (the agent's log shows when the
# plug-in watches: "TalvernP: watching drive letters.").
drive_demo() {
    if ! wait_for 90 grep -q 'TalvernP: watching drive letters' "$out/simulator.err"; then
        echo "[run] the plug-in did not start watching" >&2; return 1
    fi
    echo "[run] drive E: appears ($drive_dir)" >&2
    wine_drive add e "$drive_dir" || { echo "[run] wine_drive add failed (see $out/wine_drive.log)" >&2; return 1; }
    if ! wait_for 30 has_records 1; then
        echo "[run] no arrival record for E:" >&2; wine_drive remove e; return 1
    fi
    echo "[run] drive E: goes away" >&2
    wine_drive remove e || { echo "[run] wine_drive remove failed (see $out/wine_drive.log)" >&2; return 1; }
}
demo_pid=
if [ $demo -eq 1 ]; then
    drive_demo &
    demo_pid=$!
fi

# Follow both files until the simulator ends; Wine's debugger-output lines become
# "[agent] <log line>".
tail -q -n +1 -F --pid=$sim "$out/simulator.out" "$out/simulator.err" "$out/update_server.out" 2>/dev/null |
    sed -u -n \
        -e '/OutputDebugStringA "/{s/^.*OutputDebugStringA "\(.*\)"$/[agent] \1/;s/\\n$//;s/\\\\/\\/g;p;d;}' \
        -e '/^[0-9a-f]\{4\}:/d' \
        -e '/^wine: Read access denied for device/d' \
        -e 'p'

code=0
wait $sim || code=$?
demo_code=0
if [ -n "$demo_pid" ]; then
    wait "$demo_pid" || demo_code=$?
fi
if [ -n "$srv" ]; then
    kill "$srv" 2>/dev/null || true  # still waiting: the agent sent nothing
    wait "$srv" 2>/dev/null || true
fi
if [ $code -eq 0 ]; then
    echo "[run] the agent exited cleanly with code 0" >&2
else
    echo "[run] the run ended with code $code (255 is the agent's -1; logs in $out)" >&2
fi

# The two records of the demonstration: E: arrived (1), then went away (2), both
# naming Wine's disk and E:'s NT device name.
if [ $demo -eq 1 ]; then
    check_record() {  # <line> <event>
        local line=$1 event=$2 ok=1
        for want in "\"event\":$event," '"drive_letter":"E:"' '"pnp_device_id":"IDE\\Disk\\VEN_WINE"' \
            '"serial_number":"WINEHDISK"' '"device_name":"\\Device\\'; do
            case $line in *"$want"*) ;; *) echo "[run] record for event $event lacks $want" >&2; ok=0 ;; esac
        done
        [ $ok -eq 1 ]
    }
    mapfile -t recs < <(grep '"drive_letter"' "$out/simulator.out" || true)
    if [ $demo_code -eq 0 ] && [ ${#recs[@]} -eq 2 ] && check_record "${recs[0]}" 1 && check_record "${recs[1]}" 2; then
        echo "[run] device events: E: arrival (1) and removal (2) delivered as records" >&2
    else
        echo "[run] device events: expected two records for E: (events 1 and 2), got ${#recs[@]}" >&2
        [ $code -ne 0 ] || code=1
    fi
fi
exit $code
