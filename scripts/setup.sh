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

# libcurl with what the agent uses and nothing else: one HTTP(S) POST through
# the easy interface (Schannel for TLS, the threaded resolver, IPv6, error
# strings for its log lines). Every other protocol and feature is left out,
# which is also less to configure and compile. No CA bundle path: it would be
# the build machine's Linux one, and Schannel would check servers against that
# missing file instead of the Windows certificate store. The options are kept
# beside the library; a cache built with other options is built again.
curl_options=(
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF
    -DPICKY_COMPILER=OFF
    -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DUSE_WIN32_LDAP=OFF
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none
    -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF
    -DCURL_USE_LIBPSL=OFF -DCURL_USE_GSSAPI=OFF -DENABLE_UNIX_SOCKETS=OFF
    -DCURL_DISABLE_ALTSVC=ON -DCURL_DISABLE_COOKIES=ON -DCURL_DISABLE_CRYPTO_AUTH=ON
    -DCURL_DISABLE_DOH=ON -DCURL_DISABLE_GETOPTIONS=ON -DCURL_DISABLE_HSTS=ON
    -DCURL_DISABLE_HTTP_AUTH=ON -DCURL_DISABLE_LIBCURL_OPTION=ON -DCURL_DISABLE_MIME=ON
    -DCURL_DISABLE_NETRC=ON -DCURL_DISABLE_NTLM=ON -DCURL_DISABLE_PARSEDATE=ON
    -DCURL_DISABLE_PROGRESS_METER=ON -DCURL_DISABLE_PROXY=ON -DCURL_DISABLE_SHUFFLE_DNS=ON
    -DCURL_DISABLE_SOCKETPAIR=ON
)

build_curl() {
    local prefix=$deps/curl stamp=$deps/curl/talvern-options
    [ -f "$prefix/lib/libcurl.a" ] && [ "$(cat "$stamp" 2>/dev/null)" = "${curl_options[*]}" ] && return 0
    local src; src=$(fetch_source curl)
    local work=$deps/work/curl
    rm -rf "$work" "$prefix"; mkdir -p "$work"
    tar -xf "$(orig_tarball "$src")" -C "$work" --strip-components=1
    log "building libcurl for Windows (static, HTTP(S) POST only, Schannel)"
    # The answers of curl's configure probes for this toolchain, when it is the
    # one they were taken with (cmake/curl-mingw-w64-checks.cmake says which).
    local checks=$here/cmake/curl-mingw-w64-checks.cmake preset=()
    local toolchain_line
    toolchain_line="# toolchain: $(x86_64-w64-mingw32-gcc-posix --version | head -n 1); mingw-w64-x86-64-dev $(dpkg-query -W -f='${Version}' mingw-w64-x86-64-dev 2>/dev/null)"
    if grep -qxF "$toolchain_line" "$checks" && [[ $(orig_tarball "$src") == */curl_7.88.1.orig.* ]]; then
        preset=(-C "$checks")
    fi
    local began=$SECONDS
    cmake "${preset[@]}" -S "$work" -B "$work/build" -G "Unix Makefiles" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" "${curl_options[@]}" >"$work/configure.log" 2>&1 \
        || { tail -30 "$work/configure.log"; return 1; }
    local configured=$SECONDS
    cmake --build "$work/build" -j "$jobs" >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; return 1; }
    cmake --install "$work/build" >/dev/null
    [ -f "$prefix/lib/libcurl.a" ] || { log "libcurl.a was not installed"; return 1; }
    echo "${curl_options[*]}" >"$stamp"
    log "libcurl: configure $(( configured - began )) s${preset:+ (probes answered by $(basename "$checks"))}, compile $(( SECONDS - configured )) s"
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
    local began=$SECONDS
    tar -xf "$(orig_tarball "$src")" -C "$work" --strip-components=1 --wildcards '*/libs/thread/src/*'
    local extracted=$SECONDS
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
    log "Boost.Thread: extract $(( extracted - began )) s, compile $(( SECONDS - extracted )) s"
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

# Boost.Thread and libcurl are built side by side: libcurl's configure step
# runs one small compile at a time and leaves a core free. Their sources are
# fetched first, one after the other (apt-get must not run twice at once).
build_dependencies() {
    mkdir -p "$deps"
    local need=()
    [ -f "$deps/boost/lib/libboost_thread.a" ] && [ -e "$deps/boost/include/boost" ] || need+=(boost)
    [ -f "$deps/curl/lib/libcurl.a" ] && [ "$(cat "$deps/curl/talvern-options" 2>/dev/null)" = "${curl_options[*]}" ] ||
        need+=(curl)
    if [ ${#need[@]} -gt 0 ]; then
        [[ " ${need[*]} " == *" boost "* ]] && fetch_source boost1.74 >/dev/null
        [[ " ${need[*]} " == *" curl "* ]] && fetch_source curl >/dev/null
        build_boost_thread & local boost=$!
        build_curl & local curl=$!
        local failed=0
        wait $boost || { log "Boost.Thread failed"; failed=1; }
        wait $curl || { log "libcurl failed"; failed=1; }
        [ $failed -eq 0 ] || exit 1
    fi
    link_peer_headers
    log "ready: dependencies in $deps"
}

# With an argument, one step only: "packages" or "dependencies" (scripts/test.sh
# times them apart); without, both.
case ${1:-all} in
packages) install_packages ;;
dependencies) build_dependencies ;;
all) install_packages; build_dependencies ;;
*) echo "usage: scripts/setup.sh [packages|dependencies]" >&2; exit 2 ;;
esac
