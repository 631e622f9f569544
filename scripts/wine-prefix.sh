#!/usr/bin/env bash
# Prepares a private Wine prefix: boots it once and selects the null graphics
# driver (windows work without a display); then, on every run, puts back the
# registry values every real Windows machine has and the agent reads, but a
# fresh Wine prefix lacks, so a test run killed half-way cannot break the next.
# A crashing program ends at once instead of waiting in Wine's debugger.
#   scripts/wine-prefix.sh <prefix-dir>
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/wine-env.sh"

prefix=${1:?usage: wine-prefix.sh <prefix-dir>}
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
stamp=$prefix/.talvern-ready
talvern_wine_env "$prefix"

if [ ! -f "$stamp" ]; then
    echo "[wine-prefix] preparing $prefix" >&2
    "$WINE64" wineboot -i >/dev/null 2>&1 || true
    "$WINESERVER" -w
    "$WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    "$WINESERVER" -k >/dev/null 2>&1 || true
    "$WINESERVER" -w
    touch "$stamp"
fi

values=$prefix/talvern-values.reg
cat >"$values" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\NetworkProvider\Order]
"ProviderOrder"="RDPNP,LanmanWorkstation,webclient"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\RDPNP\NetworkProvider]
"DeviceName"="\\Device\\RdpDr"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\LanmanWorkstation\NetworkProvider]
"DeviceName"="\\Device\\LanmanRedirector"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\webclient\NetworkProvider]
"DeviceName"="\\Device\\WebDavRedirector"

[HKEY_LOCAL_MACHINE\SOFTWARE\Torvi\Talvern]
"HostGuid"="{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Debugger"="cmd.exe /c exit %ld %ld"
REG
"$WINE64" regedit /S "$(echo "Z:$values" | tr / '\\')" >/dev/null 2>&1
