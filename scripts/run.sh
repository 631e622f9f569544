#!/usr/bin/env bash
# Builds what is missing (scripts/build.sh), then runs the agent under Wine with
# the service simulator playing the talvern service: the agent starts, connects
# to the simulator's events and section, and exits with code 0 when the
# simulator closes its dialog. The agent's own log lines (errors and warnings,
# as it is configured) are shown as "[agent] ...".
#   scripts/run.sh [service_simulator options]   (default: --close-after-ms 3000)
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

[ $# -gt 0 ] || set -- --close-after-ms 3000
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

echo "[run] TalvernTray.exe under service_simulator.exe $*" >&2
"$WINE64" "$build/bin/service_simulator.exe" --start "$build/bin/TalvernTray.exe" --timeout-ms 120000 "$@" \
    >"$out/simulator.out" 2>"$out/simulator.err" </dev/null &
sim=$!

# Follow both files until the simulator ends; Wine's debugger-output lines become
# "[agent] <log line>".
tail -q -n +1 -F --pid=$sim "$out/simulator.out" "$out/simulator.err" "$out/update_server.out" 2>/dev/null |
    sed -u -n \
        -e '/OutputDebugStringA "/{s/^.*OutputDebugStringA "\(.*\)"$/[agent] \1/;s/\\n$//;s/\\\\/\\/g;p;d;}' \
        -e '/^[0-9a-f]\{4\}:/d' \
        -e 'p'

code=0
wait $sim || code=$?
if [ -n "$srv" ]; then
    kill "$srv" 2>/dev/null || true  # still waiting: the agent sent nothing
    wait "$srv" 2>/dev/null || true
fi
if [ $code -eq 0 ]; then
    echo "[run] the agent exited cleanly with code 0" >&2
else
    echo "[run] the run ended with code $code (255 is the agent's -1; logs in $out)" >&2
fi
exit $code
