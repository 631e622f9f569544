#!/usr/bin/env bash
# Sets up, builds, and runs every test under Wine. Extra arguments go to ctest
# (for example: scripts/test.sh -R logger). The last line gives the seconds of
# each phase: packages, dependencies, build, prefixes, tests.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERN_BUILD_DIR:-$here/build}
. "$here/scripts/wine-env.sh"

began=$SECONDS
mark=$SECONDS
declare -A took
phase_done() { took[$1]=$(( SECONDS - mark )); mark=$SECONDS; }
summary() {
    echo "[test] seconds: packages ${took[packages]:--}, dependencies ${took[dependencies]:--}," \
         "build ${took[build]:--}, prefixes ${took[prefixes]:--} (+${base_prefix:--} beside the build)," \
         "tests ${took[tests]:--}; total $(( SECONDS - began ))" >&2
}
base_prefix=''
trap 'talvern_stop_wineservers "$build"; summary' EXIT

"$here/scripts/setup.sh" packages
phase_done packages
"$here/scripts/setup.sh" dependencies
phase_done dependencies

# The build's prefix does not depend on the build: it is prepared meanwhile.
mkdir -p "$build"
prefix_log=$build/wineprefix.log
( start=$SECONDS; "$here/scripts/wine-prefix.sh" "$build/wineprefix" >"$prefix_log" 2>&1
  echo $(( SECONDS - start )) >"$prefix_log.seconds" ) &
prefix_job=$!
"$here/scripts/build.sh" --no-setup --no-prefix
phase_done build

wait $prefix_job || { cat "$prefix_log" >&2; exit 1; }
base_prefix=$(cat "$prefix_log.seconds")
# Every CTest entry runs in a Wine prefix of its own, made from the build's
# (tests/CMakeLists.txt names it): its own registry, named objects, drive
# letters and wineserver, so entries run side by side. Each prefix gets the
# registry values back and a wineserver kept up for the whole run.
names=$(ctest --test-dir "$build" -N "$@" | sed -n 's/^ *Test *#[0-9]*: *\([^ ]*\).*$/\1/p')
# The copies are made from the files of the build's prefix: its wineserver,
# which keeps the registry in memory, must have written it out and ended.
WINEPREFIX=$build/wineprefix "$WINESERVER" -w
for name in $names; do
    (
        prefix=$build/wineprefixes/$name
        talvern_clone_prefix "$build/wineprefix" "$prefix"
        talvern_wine_env "$prefix"
        talvern_wineserver_start
        "$here/scripts/wine-prefix.sh" "$prefix"
    ) &
done
wait
phase_done prefixes

status=0
ctest --test-dir "$build" --output-on-failure -j "$(nproc 2>/dev/null || echo 2)" "$@" || status=$?
phase_done tests
exit $status
