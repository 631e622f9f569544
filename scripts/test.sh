#!/usr/bin/env bash
# Sets up, builds, and runs every test under Wine. Extra arguments go to ctest
# (for example: scripts/test.sh -R logger).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERN_BUILD_DIR:-$here/build}
. "$here/scripts/wine-env.sh"

started=$(date +%s)
"$here/scripts/build.sh"

# Every CTest entry runs in a Wine prefix of its own, made from the build's
# (tests/CMakeLists.txt names it): its own registry, named objects, drive
# letters and wineserver, so entries run side by side. Each prefix gets the
# registry values back and a wineserver kept up for the whole run.
names=$(ctest --test-dir "$build" -N "$@" | sed -n 's/^ *Test *#[0-9]*: *\([^ ]*\).*$/\1/p')
trap 'talvern_stop_wineservers "$build"' EXIT
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
ctest --test-dir "$build" --output-on-failure -j "$(nproc 2>/dev/null || echo 2)" "$@"
echo "[test] done in $(( $(date +%s) - started )) s" >&2
