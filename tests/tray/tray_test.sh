#!/usr/bin/env bash
# The tray as a person uses it: the agent runs under Xvfb with Wine's own
# system tray (a prefix without the null graphics driver), served by the
# service simulator. Real X input then hovers over the icon (tip "Talvern
# agent"), right-clicks it (a menu whose only entry is "Exit"), takes a
# screenshot of the open menu, and clicks "Exit": the icon goes away and the
# agent exits with code 0.
#
#   tray_test.sh <build-dir>
# Environment: TALVERN_TRAY_SHOT (where the screenshot goes; default
# <build-dir>/tests/tray/tray-menu.png). Exit 77 (skipped) without Xvfb/xdotool.
set -uo pipefail
build=$(cd "${1:?usage: tray_test.sh <build-dir>}" && pwd)
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/scripts/wine-env.sh"

for tool in Xvfb xdotool xwd convert; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done

work=$build/tests/tray
mkdir -p "$work"
shot=${TALVERN_TRAY_SHOT:-$work/tray-menu.png}
prefix=$build/wineprefix-x11
log=$work/agent.log
out=$work/simulator.out
rm -f "$log" "$out" "$work"/*.png

fail() { echo "FAIL: $*"; exit 1; }

# A copy of the build's prefix with the X11 driver, made once.
make_prefix() {
    [ -f "$prefix/.talvern-x11-ready" ] && return 0
    "$here/scripts/wine-prefix.sh" "$build/wineprefix" || return 1
    rm -rf "$prefix"
    cp -a "$build/wineprefix" "$prefix" || return 1
    rm -f "$prefix/.talvern-ready"
    ( talvern_wine_env "$prefix"
      "$WINE64" reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1
      "$WINESERVER" -k >/dev/null 2>&1; "$WINESERVER" -w ) || return 1
    touch "$prefix/.talvern-x11-ready"
}

xvfb_pid=""
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    WINEPREFIX=$prefix "$WINESERVER" -k >/dev/null 2>&1
    WINEPREFIX=$prefix "$WINESERVER" -w >/dev/null 2>&1
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    return 0
}
trap cleanup EXIT

make_prefix || fail "could not prepare $prefix"

# A display number nobody uses (the next one if another run takes it first).
display=""
for n in $(seq 91 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 640x480x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 50); do
        DISPLAY=:$n xdotool getdisplaygeometry >/dev/null 2>&1 && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    if DISPLAY=:$n xdotool getdisplaygeometry >/dev/null 2>&1; then
        display=$n
        break
    fi
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
    xvfb_pid=""
done
[ -n "$display" ] || fail "no X display could be started"
export DISPLAY=:$display

talvern_wine_env "$prefix"
export WINEDEBUG=+debugstr
"$WINE64" "$build/bin/service_simulator.exe" --start "$build/bin/TalvernTray.exe" --timeout-ms 90000 \
    </dev/null >"$out" 2>"$log" &
sim_pid=$!

# The tray window appears with the icon in it.
tray=""
for _ in $(seq 600); do
    tray=$(xdotool search --onlyvisible --name '^Wine System Tray$' 2>/dev/null | head -1)
    [ -n "$tray" ] && break
    kill -0 "$sim_pid" 2>/dev/null || fail "the agent ended before its icon appeared: $(cat "$out")"
    sleep 0.1
done
[ -n "$tray" ] || fail "no Wine System Tray window"
grep -q 'Talvern tray started successfully' "$log" 2>/dev/null || sleep 2
eval "$(xdotool getwindowgeometry --shell "$tray")"
tray_x=$X tray_y=$Y
echo "tray window $tray at $X,$Y ${WIDTH}x$HEIGHT"

# The tip: hovering over the icon shows "Talvern agent" (read back from the
# tooltip window by tray_probe.exe).
xdotool mousemove $((tray_x + 8)) $((tray_y + 8))
sleep 0.3
xdotool mousemove $((tray_x + 9)) $((tray_y + 9))
tip=""
for _ in $(seq 20); do
    tip=$("$WINE64" "$build/bin/tray_probe.exe" </dev/null 2>/dev/null | tr -d '\r' | grep '^tip ' | head -1)
    [ -n "$tip" ] && break
    sleep 0.2
done
xwd -root -silent | convert xwd:- "$work/tray-tip.png"
[ "$tip" = "tip Talvern agent" ] || fail "the tip over the icon is \"${tip#tip }\", not \"Talvern agent\""
echo "tip shown: ${tip#tip }"

# A right click opens the menu above the cursor: one window of the agent, one entry high.
xdotool click 3
menu=""
for _ in $(seq 50); do
    for w in $(xdotool search --onlyvisible --classname 'talverntray.exe' 2>/dev/null); do
        menu=$w
    done
    [ -n "$menu" ] && break
    sleep 0.1
done
[ -n "$menu" ] || fail "no popup menu after the right click"
sleep 0.3
eval "$(xdotool getwindowgeometry --shell "$menu")"
menu_x=$X menu_y=$Y menu_w=$WIDTH menu_h=$HEIGHT
echo "menu window $menu at $X,$Y ${WIDTH}x$HEIGHT"
xwd -root -silent | convert xwd:- "$shot" || fail "no screenshot"
echo "screenshot $shot"
# One menu item is about 19 pixels plus the frame; a second entry or a separator would add more.
[ "$menu_h" -le 30 ] || fail "the menu is $menu_h pixels high: more than one entry"

# "Exit": the icon goes, the agent exits with code 0.
xdotool mousemove $((menu_x + menu_w / 2)) $((menu_y + menu_h / 2))
sleep 0.2
xdotool click 1
for _ in $(seq 150); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$sim_pid" 2>/dev/null && fail "the agent did not exit after Exit"
wait "$sim_pid"
code=$?
sim_pid=""
gone=1
for _ in $(seq 30); do
    gone=1
    xdotool search --onlyvisible --name '^Wine System Tray$' >/dev/null 2>&1 && gone=0
    [ $gone -eq 1 ] && break
    sleep 0.1
done
xwd -root -silent | convert xwd:- "$work/tray-after-exit.png"
grep -q '"agent_exit_code":0' "$out" || fail "agent exit: $(cat "$out") (simulator $code)"
[ "$code" -eq 0 ] || fail "simulator exit code $code"
[ $gone -eq 1 ] || fail "the tray still shows an icon after Exit"
echo "PASS: icon, tip, one-entry menu, Exit removed the icon, exit code 0"
