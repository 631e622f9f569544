#!/usr/bin/env bash
# The tray as a person uses it: the agent runs under Xvfb with Wine's own system
# tray (a copy of the build's prefix without the null graphics driver), served by
# the service simulator. The shell "restarts" (the icon is lost, "TaskbarCreated"
# is broadcast) and the icon must come back; real X input then right-clicks it (a
# menu whose only entry is "Exit", screenshot taken) and clicks "Exit": the icon
# goes away and the agent exits with code 0.
#   tray_test.sh <build-dir>      (exit 77: skipped without xvfb-run/xdotool)
set -uo pipefail
build=$(cd "${1:?usage: tray_test.sh <build-dir>}" && pwd)
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/scripts/wine-env.sh"
for tool in xvfb-run xdotool xwd convert; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
# Under an X display of its own: Xvfb on a free display number, started and ended by xvfb-run.
[ -n "${TALVERN_TRAY_XVFB:-}" ] ||
    TALVERN_TRAY_XVFB=1 exec xvfb-run -a -s "-screen 0 640x480x24 -nolisten tcp" bash "$0" "$@"

work=$build/tests/tray
prefix=$build/wineprefix-x11
mkdir -p "$work"
rm -f "$work"/*.png "$work"/*.out "$work"/*.log
fail() { echo "FAIL: $*"; exit 1; }
# until <seconds> <command...>: polls the command every 0.1 s, for at most that long.
until_ok() {
    local end=$(( $(date +%s) + $1 )); shift
    until "$@"; do [ "$(date +%s)" -lt "$end" ] || return 1; sleep 0.1; done
}
shot() { xwd -root -silent | convert xwd:- "$work/$1.png"; }

sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    WINEPREFIX=$prefix "$WINESERVER" -k >/dev/null 2>&1; WINEPREFIX=$prefix "$WINESERVER" -w >/dev/null 2>&1
    return 0
}
trap cleanup EXIT

# The X11 copy of the prefix, remade whenever the build's prefix is newer.
if [ ! -f "$prefix/.talvern-x11-ready" ] || [ "$build/wineprefix/.talvern-ready" -nt "$prefix/.talvern-x11-ready" ]; then
    "$here/scripts/wine-prefix.sh" "$build/wineprefix" || fail "no prefix"
    rm -rf "$prefix" && cp -a "$build/wineprefix" "$prefix" || fail "could not copy the prefix"
    ( talvern_wine_env "$prefix"
      "$WINE64" reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1
      "$WINESERVER" -k >/dev/null 2>&1; "$WINESERVER" -w ) && touch "$prefix/.talvern-x11-ready"
fi

talvern_wine_env "$prefix"
"$WINE64" regedit /S "$(echo "Z:$build/wineprefix/talvern-values.reg" | tr / '\\')" >/dev/null 2>&1
# The entry's own update address (tests/CMakeLists.txt), given through the policy value.
if [ -n "${TALVERN_UPDATE_URL:-}" ]; then
    "$WINE64" reg add 'HKLM\SOFTWARE\Policies\Talvern\Agent' /v UpdateUrl /t REG_SZ /d "$TALVERN_UPDATE_URL" /f \
        >/dev/null 2>&1 || fail "could not set the update address"
fi
export WINEDEBUG=+debugstr
"$WINE64" "$build/bin/service_simulator.exe" --start "$build/bin/TalvernTray.exe" --timeout-ms 90000 \
    </dev/null >"$work/simulator.out" 2>"$work/agent.log" &
sim_pid=$!
running() { kill -0 "$sim_pid" 2>/dev/null; }

# The plug-in watches once start is through; the icon was added before it.
until_ok 60 grep -q 'TalvernP: watching drive letters' "$work/agent.log" ||
    fail "the agent did not start: $(cat "$work/simulator.out")"
no_tray() { ! xdotool search --onlyvisible --name '^Wine System Tray$' >/dev/null 2>&1; }
tray_window() { tray=$(xdotool search --onlyvisible --name '^Wine System Tray$' 2>/dev/null | head -1); [ -n "$tray" ]; }
until_ok 30 tray_window || fail "no Wine System Tray window"

# The shell restarts: it loses the icon, and once it is back it broadcasts
# "TaskbarCreated", on which the agent adds its icon again.
probe() { "$WINE64" "$build/bin/tray_probe.exe" "$@" </dev/null >/dev/null 2>&1; }
agent_pid=$(sed -n 's/.*started agent pid \([0-9]*\).*/\1/p' "$work/agent.log" | head -1)
probe --lose-icon "$agent_pid" || fail "could not take the icon of agent $agent_pid away"
until_ok 10 no_tray || fail "the icon stayed in the tray"
probe --taskbar-created || fail "could not broadcast TaskbarCreated"
until_ok 10 tray_window || { shot tray-after-restart; fail "the icon did not come back after TaskbarCreated"; }
eval "$(xdotool getwindowgeometry --shell "$tray")"
xdotool mousemove $((X + 8)) $((Y + 8))

# A right click opens the agent's menu: one entry high (a second entry or a separator adds 10+ pixels).
xdotool click 3
menu_window() { menu=$(xdotool search --onlyvisible --classname 'talverntray.exe' 2>/dev/null | tail -1); [ -n "$menu" ]; }
until_ok 10 menu_window || fail "no popup menu after the right click"
eval "$(xdotool getwindowgeometry --shell "$menu")"
shot tray-menu
[ "$HEIGHT" -le 30 ] || fail "the menu is $HEIGHT pixels high: more than one entry"

# "Exit": the agent exits with code 0 and its icon goes.
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1
until_ok 30 eval '! running' || fail "the agent did not exit after Exit"
wait "$sim_pid"; code=$?; sim_pid=""
until_ok 10 no_tray || { shot tray-after-exit; fail "the tray still shows an icon after Exit"; }
grep -q '"agent_exit_code":0' "$work/simulator.out" || fail "agent exit: $(cat "$work/simulator.out") (simulator $code)"
echo "PASS: icon, icon back after a shell restart, one-entry menu, Exit removed the icon, exit code 0"
