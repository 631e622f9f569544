#!/usr/bin/env bash
# Sets up, builds, and runs every test under Wine. Extra arguments go to ctest
# (for example: scripts/test.sh -R logger).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERN_BUILD_DIR:-$here/build}
. "$here/scripts/wine-env.sh"

started=$(date +%s)
"$here/scripts/build.sh"

talvern_wine_env "$build/wineprefix"
talvern_wineserver_start
trap talvern_wineserver_stop EXIT
# One Wine prefix: tests run one after another.
ctest --test-dir "$build" --output-on-failure -j1 "$@"
echo "[test] done in $(( $(date +%s) - started )) s" >&2
