#!/usr/bin/env bash
# The hostile-input campaign under Wine (scripts/fuzz.py): builds what is
# missing, then runs the plug-in, registry and server families in the build's
# private prefix and prints, per family, the inputs tried and what was found.
# A seed reproduces a run's inputs.
#
#   scripts/fuzz.sh [--seed N] [--calls N] [--threads T] [--short]
#
# Default: seed 1, 1,000,000 plug-in calls from 4 threads, every registry and
# server case (a few minutes). --short is the CI pass (a few cases each).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

# The update server listens on the agent's fixed port (8765), which other test
# runs on the machine share: where allowed (root), the run gets a network
# namespace of its own with just its own loopback, as scripts/mutate.sh does.
# Wine's sockets are made by the wineserver, so it starts in there too.
if [ -z "${TALVERN_FUZZ_PRIVATE_NET:-}" ] && unshare -n true 2>/dev/null; then
    export TALVERN_FUZZ_PRIVATE_NET=1
    exec unshare -n bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
build=${TALVERN_BUILD_DIR:-$here/build}
. "$here/scripts/wine-env.sh"

"$here/scripts/build.sh" >&2
base_url=$(sed -n 's/^TALVERN_UPDATE_BASE_URL:[A-Z]*=//p' "$build/CMakeCache.txt")
talvern_wine_env "$build/wineprefix"
talvern_wineserver_start
trap talvern_wineserver_stop EXIT
python3 "$here/scripts/fuzz.py" "$build" --base-url "$base_url" "$@"
