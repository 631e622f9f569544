#!/usr/bin/env bash
# Prepares a private Wine prefix once: boots it, selects the null graphics driver
# (windows work without a display), and adds the registry values every real
# Windows machine has and the agent reads, but a fresh Wine prefix lacks.
#   scripts/wine-prefix.sh <prefix-dir>
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/wine-env.sh"

prefix=${1:?usage: wine-prefix.sh <prefix-dir>}
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
stamp=$prefix/.talvern-ready
[ -f "$stamp" ] && exit 0

talvern_wine_env "$prefix"
echo "[wine-prefix] preparing $prefix" >&2
"$WINE64" wineboot -i >/dev/null 2>&1 || true
"$WINESERVER" -w

reg() { "$WINE64" reg add "$@" /f >/dev/null 2>&1; }
reg 'HKCU\Software\Wine\Drivers' /v Graphics /d null
reg 'HKLM\System\CurrentControlSet\Control\NetworkProvider\Order' /v ProviderOrder /d 'RDPNP,LanmanWorkstation,webclient'
reg 'HKLM\SYSTEM\CurrentControlSet\Services\RDPNP\NetworkProvider' /v DeviceName /d '\Device\RdpDr'
reg 'HKLM\SYSTEM\CurrentControlSet\Services\LanmanWorkstation\NetworkProvider' /v DeviceName /d '\Device\LanmanRedirector'
reg 'HKLM\SYSTEM\CurrentControlSet\Services\webclient\NetworkProvider' /v DeviceName /d '\Device\WebDavRedirector'
reg 'HKLM\SOFTWARE\Torvi\Talvern' /v HostGuid /d '{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}'
"$WINESERVER" -k >/dev/null 2>&1 || true
"$WINESERVER" -w
touch "$stamp"
