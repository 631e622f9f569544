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

echo "[run] TalvernTray.exe under service_simulator.exe $*" >&2
"$WINE64" "$build/bin/service_simulator.exe" --start "$build/bin/TalvernTray.exe" --timeout-ms 120000 "$@" \
    >"$out/simulator.out" 2>"$out/simulator.err" </dev/null &
sim=$!

# Follow both files until the simulator ends; Wine's debugger-output lines become
# "[agent] <log line>".
tail -q -n +1 -F --pid=$sim "$out/simulator.out" "$out/simulator.err" 2>/dev/null |
    sed -u -n \
        -e '/OutputDebugStringA "/{s/^.*OutputDebugStringA "\(.*\)"$/[agent] \1/;s/\\n$//;s/\\\\/\\/g;p;d;}' \
        -e '/^[0-9a-f]\{4\}:/d' \
        -e 'p'

code=0
wait $sim || code=$?
if [ $code -eq 0 ]; then
    echo "[run] the agent exited cleanly with code 0" >&2
else
    echo "[run] the run ended with code $code (255 is the agent's -1; logs in $out)" >&2
fi
exit $code
