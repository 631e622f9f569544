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
}

talvern_wineserver_stop() {
    "$WINESERVER" -k >/dev/null 2>&1 || true
    "$WINESERVER" -w >/dev/null 2>&1 || true
}
