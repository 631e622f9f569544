# Sourced by the scripts: Wine settings for a private prefix of the build.
#   talvern_wine_env <prefix>   exports the variables every Wine start needs
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

talvern_wine_env() {
    export WINEPREFIX=$1
    export WINEDEBUG=${WINEDEBUG:--all}
    # No Mono or Gecko installer prompts in a fresh prefix.
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
}

# A wineserver kept alive for the whole run saves about a second per Wine start.
# Its output must not hold any pipe of ours open.
talvern_wineserver_start() {
    "$WINESERVER" -p </dev/null >/dev/null 2>&1 &
    for _ in $(seq 50); do
        "$WINESERVER" -k0 2>/dev/null && break  # signal 0: is it up?
        sleep 0.1
    done
    # The first Wine start also launches the prefix's system processes
    # (services.exe, winedevice.exe, ...), which live as long as the wineserver
    # and inherit the starter's stdout/stderr: started under CTest they would
    # hold its output pipe open and every test would run into its time-out.
    "$WINE64" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

talvern_wineserver_stop() {
    "$WINESERVER" -k >/dev/null 2>&1 || true
    "$WINESERVER" -w >/dev/null 2>&1 || true
}

# talvern_clone_prefix <base> <copy>: a prefix of its own for one test entry,
# made from the build's prepared prefix and remade whenever that is prepared
# again. The large, read-only system folders are hard links (Wine replaces
# rather than rewrites what it changes there); everything else, the registry
# included, is a real copy, so nothing done in the copy reaches the base.
talvern_clone_prefix() {
    local base=$1 copy=$2
    if [ -f "$copy/.talvern-ready" ] && ! [ "$base/.talvern-ready" -nt "$copy/.talvern-ready" ]; then
        return 0
    fi
    rm -rf "$copy"
    mkdir -p "$copy/drive_c/windows"
    local shared=(drive_c/windows/system32 drive_c/windows/winsxs)
    (cd "$base" && tar -c --exclude=./wineserver "${shared[@]/#/--exclude=./}" .) | tar -x -C "$copy"
    local d
    for d in "${shared[@]}"; do cp -al "$base/$d" "$copy/$d"; done
    touch "$copy/.talvern-ready"
}

# talvern_stop_wineservers <build>: ends the wineserver of every prefix of the build.
talvern_stop_wineservers() {
    local p
    for p in "$1"/wineprefix "$1"/wineprefix-* "$1"/wineprefixes/*; do
        [ -d "$p" ] && WINEPREFIX=$p "$WINESERVER" -k >/dev/null 2>&1 || true
    done
    for p in "$1"/wineprefix "$1"/wineprefix-* "$1"/wineprefixes/*; do
        [ -d "$p" ] && WINEPREFIX=$p "$WINESERVER" -w >/dev/null 2>&1 || true
    done
}
