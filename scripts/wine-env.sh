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
