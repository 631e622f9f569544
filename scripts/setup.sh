#!/usr/bin/env bash
# Prepares a Debian machine to build and test the agent:
#   1. installs the cross toolchain, Wine and the tools the tests drive (apt-get);
#   2. enables Debian source packages, derived from this machine's own apt sources;
#   3. builds libcurl and Boost.Thread for the Windows target into the dependency
#      cache (.deps/ by default, TALVERN_DEPS_DIR to move it), once.
# Safe to run again: every step is skipped when its result is already there.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
deps=${TALVERN_DEPS_DIR:-$here/.deps}
jobs=$(nproc 2>/dev/null || echo 2)

log() { printf '[setup] %s\n' "$*" >&2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

packages=(
    g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
    wine64 cmake make googletest libboost1.74-dev dpkg-dev xz-utils
    xvfb xdotool x11-apps imagemagick python3 ca-certificates
    libspdlog-dev libfmt-dev python3-matplotlib
    wixl msitools osslsigncode openssl
)

install_packages() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Source packages are fetched from the same archives the machine already uses:
# the deb entries are copied with their type turned into deb-src.
enable_sources() {
    if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        return 0
    fi
    log "enabling source packages from the machine's apt sources"
    local made=0
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        case "$f" in *talvern-src*) continue ;; esac
        sed -e 's/^Types:.*$/Types: deb-src/' "$f" | as_root tee "/etc/apt/sources.list.d/talvern-src-$(basename "$f")" >/dev/null
        made=1
    done
    if [ $made -eq 0 ] && [ -f /etc/apt/sources.list ]; then
        sed -n -e 's/^deb /deb-src /p' /etc/apt/sources.list | as_root tee /etc/apt/sources.list.d/talvern-src.list >/dev/null
        made=1
    fi
    [ $made -eq 1 ] || { log "no apt sources found to derive source packages from"; exit 1; }
    as_root apt-get update -qq
}

orig_tarball() { # directory -> the upstream tarball in it
    ls "$1"/*.orig.tar.* | grep -v '\.asc$' | head -n 1
}

fetch_source() { # package -> directory holding its downloaded files
    local pkg=$1 dir=$deps/src/$1
    if [ -z "$(ls "$dir"/*.orig.tar.* 2>/dev/null | grep -v '\.asc$')" ]; then
        enable_sources
        mkdir -p "$dir"
        log "downloading source package $pkg"
        # apt's sandbox user cannot write into a root-owned work tree
        chmod 0777 "$dir" 2>/dev/null || true
        (cd "$dir" && apt-get source --download-only -qq "$pkg" >/dev/null 2>&1)
    fi
    echo "$dir"
}

toolchain=$here/cmake/mingw-w64-x86_64.cmake

build_curl() {
    local prefix=$deps/curl
    [ -f "$prefix/lib/libcurl.a" ] && return 0
    local src; src=$(fetch_source curl)
    local work=$deps/work/curl
    rm -rf "$work"; mkdir -p "$work"
    tar -xf "$(orig_tarball "$src")" -C "$work" --strip-components=1
    log "building libcurl for Windows (static, HTTP only, Schannel)"
    cmake -S "$work" -B "$work/build" -G "Unix Makefiles" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF \
        -DHTTP_ONLY=ON -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF \
        -DCURL_ZLIB=OFF -DCURL_USE_LIBSSH2=OFF -DUSE_LIBIDN2=OFF -DCURL_USE_LIBPSL=OFF \
        -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DENABLE_MANUAL=OFF \
        -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON >"$work/configure.log" 2>&1 \
        || { tail -30 "$work/configure.log"; exit 1; }
    cmake --build "$work/build" -j "$jobs" >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
    cmake --install "$work/build" >/dev/null
    rm -rf "$work"
}

# Boost.Thread's Windows sources come from Debian's boost1.74 source package; its
# headers are the host's libboost1.74-dev ones (same version), reached through a
# folder that holds nothing but a "boost" link, so no Linux header is on the path.
build_boost_thread() {
    local prefix=$deps/boost
    [ -f "$prefix/lib/libboost_thread.a" ] && [ -e "$prefix/include/boost" ] && return 0
    [ -d /usr/include/boost/thread ] || { log "libboost1.74-dev headers are missing"; exit 1; }
    local src; src=$(fetch_source boost1.74)
    local work=$deps/work/boost
    rm -rf "$work" "$prefix"; mkdir -p "$work" "$prefix/include" "$prefix/lib"
    ln -s /usr/include/boost "$prefix/include/boost"
    log "extracting Boost.Thread sources"
    tar -xf "$(orig_tarball "$src")" -C "$work" --strip-components=1 --wildcards '*/libs/thread/src/*'
    log "building Boost.Thread for Windows"
    local cxx=x86_64-w64-mingw32-g++-posix objs=()
    local s
    for s in win32/thread.cpp win32/tss_dll.cpp win32/tss_pe.cpp win32/thread_primitives.cpp future.cpp; do
        local o=$work/$(basename "${s%.cpp}").o
        $cxx -std=c++17 -O2 -DNDEBUG -DBOOST_THREAD_BUILD_LIB -DBOOST_THREAD_USE_LIB \
            -DWIN32_LEAN_AND_MEAN -DBOOST_ALLOW_DEPRECATED_HEADERS -Wno-deprecated-declarations \
            -I"$prefix/include" -I"$work/libs/thread/src" -c "$work/libs/thread/src/$s" -o "$o" &
        objs+=("$o")
    done
    wait
    x86_64-w64-mingw32-ar rcs "$prefix/lib/libboost_thread.a" "${objs[@]}"
    rm -rf "$work"
}

# spdlog and fmt, the benchmarks' peer logger, compile for the target header
# only: Debian's headers, reached through a folder that holds nothing but their
# links, so no other Linux header is on the path.
link_peer_headers() {
    local include=$deps/peers/include
    [ -e "$include/spdlog" ] && [ -e "$include/fmt" ] && return 0
    [ -d /usr/include/spdlog ] && [ -d /usr/include/fmt ] || { log "libspdlog-dev/libfmt-dev headers are missing"; exit 1; }
    mkdir -p "$include"
    ln -sfn /usr/include/spdlog "$include/spdlog"
    ln -sfn /usr/include/fmt "$include/fmt"
}

install_packages
mkdir -p "$deps"
build_boost_thread
build_curl
link_peer_headers
log "ready: dependencies in $deps"
