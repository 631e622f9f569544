#!/usr/bin/env bash
# Fault and soak runs of the real agent: build/load-agent/TalvernTray.exe with
# the load plug-in as TalvernP.dll, served by load_service.exe (which checks
# order, loss, doubles, exit code and exit time and prints its figures). This
# script adds what needs the agent's own log (its debugger lines, seen with
# WINEDEBUG=+debugstr) and the memory comparison.
#
#   soak_test.sh <build-dir> <case>
# Cases: slow, service-dies, close-queued, threads, update-hangs, two-agents.
set -uo pipefail
build=$(cd "${1:?usage: soak_test.sh <build-dir> <case>}" && pwd)
case_name=${2:?usage: soak_test.sh <build-dir> <case>}
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/scripts/wine-env.sh"

agent=$build/load-agent/TalvernTray.exe
driver=$build/bin/load_service.exe
work=$build/tests/soak/$case_name
mkdir -p "$work"
out=$work/driver.out
log=$work/agent.log
rm -f "$out" "$log"

fail() {
    echo "FAIL ($case_name): $*"
    echo "--- driver output"; cat "$out" 2>/dev/null
    echo "--- last agent lines"; grep -a 'OutputDebugString\|load_service' "$log" 2>/dev/null | tail -20
    exit 1
}
figure() { tr -d '\r' <"$out" | awk -v k="$1" '$1 == k { print $2 }' | tail -1; }
# Agent debugger lines holding text, counted.
logged() { grep -a 'OutputDebugStringA' "$log" | grep -c -F -- "$1"; }

talvern_wine_env "$build/wineprefix"
export WINEDEBUG=+debugstr
# Windows paths for the Windows driver.
win() { echo "Z:${1//\//\\}"; }

drive() {
    "$WINE64" "$driver" --agent "$(win "$agent")" "$@" </dev/null >"$out" 2>"$log"
}

bg_pids=()
cleanup() {
    for p in "${bg_pids[@]}"; do kill "$p" 2>/dev/null; done
    return 0
}
trap cleanup EXIT

# The event cases need an agent that loads the device-event plug-in; an agent
# built before the monitor was wired in does not name "TalvernP.dll" at all.
case "$case_name" in
slow | service-dies | close-queued | threads)
    if ! grep -qaP 'T\x00a\x00l\x00v\x00e\x00r\x00n\x00P\x00\.\x00d\x00l\x00l' "$agent"; then
        echo "SKIP ($case_name): this agent does not load TalvernP.dll"
        exit 77
    fi
    ;;
update-hangs)
    if ! grep -qa 'v1/update' "$agent"; then
        echo "SKIP ($case_name): this agent sends no update request"
        exit 77
    fi
    ;;
esac

case "$case_name" in
slow)
    # 10,000 events, each answer 1 ms late: all delivered in order once; the
    # second half (after the first has drained) must not leave memory behind.
    drive --script "count=5000;batches=2" --batches 2 --expect 5000 --threads 1 --answer-delay-ms 1 \
        --drain-ms 3000 --timeout-s 150 || fail "driver"
    [ "$(figure records)" = 10000 ] || fail "records $(figure records)"
    # Private bytes: PagefileUsage (Wine leaves PrivateUsage at 0).
    start=$(figure mem_start_pagefile_kb)
    first=$(figure mem_drained0_pagefile_kb)
    second=$(figure mem_drained1_pagefile_kb)
    [ -n "$start" ] && [ -n "$first" ] && [ -n "$second" ] || fail "no memory figures"
    echo "private KB: start $start, after 5,000 $first, after 10,000 $second"
    # The heap keeps what the first burst made it grow to; a leak would grow it
    # again by about the same amount (5,000 records and their log lines).
    [ $((second - first)) -le 512 ] || fail "private bytes grew by $((second - first)) KB in the second half"
    [ $((second - start)) -le 4096 ] || fail "private bytes $((second - start)) KB above the start level"
    ;;
service-dies)
    # The service answers two records, then dies; the agent waits 5 s for each
    # of the other three, logs it, keeps running and still exits 0 on WM_CLOSE.
    drive --script "count=5" --expect 5 --threads 1 --die-after 2 --hold-ms 17000 --timeout-s 60 || fail "driver"
    n=$(logged "no response signal. wait ret=258")
    [ "$n" -eq 3 ] || fail "\"no response signal. wait ret=258\" logged $n times, not 3"
    ;;
close-queued)
    # The service takes one record and never answers; 1,000 more queue up; then
    # WM_CLOSE: exit code 0 within 6 s.
    drive --script "count=1001" --expect 1001 --threads 1 --no-answer --close-after 1 --hold-ms 2000 \
        --exit-within-ms 6000 --timeout-s 60 || fail "driver"
    [ "$(figure records)" = 1 ] || fail "records $(figure records): the agent went on delivering"
    ;;
threads)
    # Four plug-in threads at once, valid letters mixed with malformed ones
    # (empty, one character, "C:\", "CC", "1:", "c:x", a non-ASCII letter, null):
    # no crash, every valid event delivered once, each thread's in order.
    drive --script "count=1500;threads=4;bad_every=5;letters=C:,Z:" --expect 6000 --threads 4 --timeout-s 120 ||
        fail "driver"
    ;;
update-hangs)
    # The update server accepts the request and never answers; WM_CLOSE must
    # still end the agent promptly and cleanly.
    "$WINE64" "$build/bin/update_server.exe" --port 8765 --hang --max-seconds 60 </dev/null \
        >"$work/update_server.out" 2>&1 &
    bg_pids+=($!)
    sleep 1
    drive --script "count=0" --started-by-dialog --settle-ms 3000 --exit-within-ms 10000 --timeout-s 60 || fail "driver"
    grep -q 'v1/update' "$work/update_server.out" || echo "note: the update server saw no request"
    ;;
two-agents)
    # A second agent in the same logon session exits with -1 at once.
    "$WINE64" "$driver" --agent "$(win "$agent")" --script "count=0" --started-by-dialog --settle-ms 500 --hold-ms 6000 \
        --timeout-s 60 </dev/null >"$out" 2>"$log" &
    first=$!
    bg_pids+=($first)
    for _ in $(seq 100); do
        grep -q 'agent pid' "$log" 2>/dev/null && break
        sleep 0.1
    done
    sleep 2
    second_log=$work/second.log
    "$WINE64" "$agent" </dev/null >/dev/null 2>"$second_log"
    code=$?
    wait "$first"
    first_code=$?
    [ "$code" -eq 255 ] || fail "second agent exit code $code, not 255 (-1)"
    grep -q 'Talvern tray is already running.' "$second_log" || fail "second agent did not say it is already running"
    [ "$first_code" -eq 0 ] || fail "first agent run: driver exit $first_code"
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac
cat "$out"
echo "PASS ($case_name)"
