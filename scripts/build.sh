#!/usr/bin/env bash
# Sets up what is missing (scripts/setup.sh), then configures and builds the
# agent, its tools and its tests into build/ (TALVERN_BUILD_DIR to move it), and
# prepares the build's Wine prefix (build/wineprefix).
#   scripts/build.sh [--no-setup] [--no-prefix]
# build/ is the build that ships: optimized, with debug information
# (RelWithDebInfo, -O2 -g); scripts/package.sh strips copies of its binaries.
# Extra CMake settings for a first configure come from TALVERN_CMAKE_ARGS, for
# example TALVERN_CMAKE_ARGS=-DCMAKE_BUILD_TYPE=Debug with a build dir of its own.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERN_BUILD_DIR:-$here/build}
setup=1 prefix=1
for a in "$@"; do
    case $a in
    --no-setup) setup=0 ;;
    --no-prefix) prefix=0 ;;
    *) echo "usage: scripts/build.sh [--no-setup] [--no-prefix]" >&2; exit 2 ;;
    esac
done

[ $setup -eq 0 ] || "$here/scripts/setup.sh"
# shellcheck disable=SC2086 # TALVERN_CMAKE_ARGS is a list of words
cmake -S "$here" -B "$build" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
    ${TALVERN_DEPS_DIR:+-DTALVERN_DEPS_DIR="$TALVERN_DEPS_DIR"} ${TALVERN_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" -- --no-print-directory
[ $prefix -eq 0 ] || "$here/scripts/wine-prefix.sh" "$build/wineprefix"
