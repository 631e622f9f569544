#!/usr/bin/env bash
# Sets up what is missing (scripts/setup.sh), then configures and builds the
# agent, its tools and its tests into build/ (TALVERN_BUILD_DIR to move it).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERN_BUILD_DIR:-$here/build}

"$here/scripts/setup.sh"
cmake -S "$here" -B "$build" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
    ${TALVERN_DEPS_DIR:+-DTALVERN_DEPS_DIR="$TALVERN_DEPS_DIR"} >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" -- --no-print-directory
"$here/scripts/wine-prefix.sh" "$build/wineprefix"
