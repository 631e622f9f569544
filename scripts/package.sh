#!/usr/bin/env bash
# Builds the release of the agent and its Windows Installer package:
# build/dist/Talvern-<version>-x64.msi, and build/dist/Talvern-<version>-x64-debug/
# with the shipped (stripped) binaries beside their debug information.
#
#   scripts/package.sh [--version A.B.C.D] [--plugin PATH]
#                      [--sign CERT.pfx [--password-file FILE] [--timestamp URL]]
#                      [--out DIR]
#
#   --version A.B.C.D   build this version (each field 0-255); default: the
#                       project's (TALVERN_VERSION in CMakeLists.txt)
#   --plugin PATH       pack this device-event plug-in as TalvernP.dll instead of
#                       the reference one (packed as it is, not stripped)
#   --sign CERT.pfx     sign both binaries and the package (Authenticode, SHA-256)
#                       with this PKCS#12 certificate and its key
#   --password-file F   the certificate's password: the file's first line
#                       (default: no password)
#   --timestamp URL     an RFC 3161 time-stamping server for the signatures
#   --out DIR           where the package goes (default build/dist)
#
# The package ships the binaries of build/ (TALVERN_BUILD_DIR moves it), the
# optimized build with debug information that the tests run: stripped copies,
# their debug information beside them. Another version reconfigures build/ for
# it, rebuilds only what carries the version (the version resources and the
# update request's code) and relinks, then puts build/ back to its own version.
# Bad input ends the script before anything is built, with a message and exit
# code 2; a failure later leaves nothing half-written in the output folder.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERN_BUILD_DIR:-$here/build}
out=$build/dist

usage() { sed -n '2,/^set -euo/{/^set/d;s/^# \{0,1\}//;p}' "$0"; }
bad() { echo "package: $*" >&2; exit 2; }
die() { echo "package: $*" >&2; exit 1; }

version='' plugin='' cert='' password_file='' timestamp=''
while [ $# -gt 0 ]; do
    case $1 in
    --version) version=${2-}; [ $# -ge 2 ] || bad "--version needs A.B.C.D"; shift 2 ;;
    --plugin) plugin=${2-}; [ $# -ge 2 ] || bad "--plugin needs a file"; shift 2 ;;
    --sign) cert=${2-}; [ $# -ge 2 ] || bad "--sign needs a certificate file (.pfx)"; shift 2 ;;
    --password-file) password_file=${2-}; [ $# -ge 2 ] || bad "--password-file needs a file"; shift 2 ;;
    --timestamp) timestamp=${2-}; [ $# -ge 2 ] || bad "--timestamp needs a URL"; shift 2 ;;
    --out) out=${2-}; [ $# -ge 2 ] || bad "--out needs a folder"; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) bad "unknown argument '$1' (see --help)" ;;
    esac
done

# --- the input, all of it checked before anything is built -------------------
if [ -n "$version" ]; then
    field='(0|[1-9][0-9]{0,2})'
    [[ $version =~ ^$field\.$field\.$field\.$field$ ]] ||
        bad "version '$version' is not four numbers A.B.C.D"
    for f in "${BASH_REMATCH[@]:1:4}"; do
        [ "$f" -le 255 ] || bad "version '$version': each field must be 0-255"
    done
fi
if [ -n "$plugin" ]; then
    [ -f "$plugin" ] && [ -r "$plugin" ] || bad "plug-in '$plugin' is missing or unreadable"
    [ "$(head -c 2 "$plugin")" = MZ ] || bad "plug-in '$plugin' is not a Windows DLL"
    plugin=$(realpath "$plugin")
fi
[ -z "$password_file$timestamp" ] || [ -n "$cert" ] || bad "--password-file and --timestamp go with --sign"
pass_args=()
if [ -n "$cert" ]; then
    command -v osslsigncode >/dev/null || bad "osslsigncode is missing (scripts/setup.sh installs it)"
    [ -f "$cert" ] && [ -r "$cert" ] || bad "certificate '$cert' is missing or unreadable"
    cert=$(realpath "$cert")
    passin=pass:
    if [ -n "$password_file" ]; then
        [ -f "$password_file" ] && [ -r "$password_file" ] || bad "password file '$password_file' is missing or unreadable"
        password_file=$(realpath "$password_file")
        passin=file:$password_file
        pass_args=(-readpass "$password_file")
    fi
    # The certificate and its key must open with that password (older files
    # may need OpenSSL's legacy ciphers).
    openssl pkcs12 -in "$cert" -noout -passin "$passin" >/dev/null 2>&1 ||
        openssl pkcs12 -legacy -in "$cert" -noout -passin "$passin" >/dev/null 2>&1 ||
        bad "certificate '$cert' cannot be opened: wrong password, or not a PKCS#12 file"
fi
# The package carries what the tests run: an optimized build with debug
# information, not a developer's -O0 one.
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[ -z "$build_type" ] || [ "$build_type" = RelWithDebInfo ] ||
    bad "$build is a $build_type build; the package ships a RelWithDebInfo one (set TALVERN_BUILD_DIR to another folder)"
mkdir -p "$out" || bad "cannot make the output folder '$out'"
out=$(realpath "$out")

# --- the build -----------------------------------------------------------------
"$here/scripts/setup.sh"
[ -n "${TALVERN_DEPS_DIR:-}" ] && deps=(-DTALVERN_DEPS_DIR="$TALVERN_DEPS_DIR") || deps=()
configure() {  # configure <cmake arguments...>
    cmake -S "$here" -B "$build" -G "Unix Makefiles" \
        -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" "${deps[@]}" "$@" >/dev/null
}
build_shipped() {
    cmake --build "$build" --target TalvernTray talvern_reference_plugin -j "${TALVERN_JOBS:-2}" \
        -- --no-print-directory >/dev/null
}
cached_version() { sed -n 's/^TALVERN_VERSION:STRING=//p' "$build/CMakeCache.txt" 2>/dev/null || true; }
# build/'s own version: the one it has, or on a fresh tree the project's.
[ -f "$build/CMakeCache.txt" ] || configure
own_version=$(cached_version)
# The files that carry the version, and when build/'s own content of them was
# written. Once they hold it again and what was built from another version has
# been rebuilt, they get that time back: the next build then does not recompile
# the rest that includes them, which was built from this very content.
versioned=("$build/base/product_version.h" "$build/res/TalvernTray.manifest")
written=$(mktemp)
[ ! -f "${versioned[0]}" ] || touch -r "${versioned[0]}" "$written"
# Without --version the project's version holds (a cached one is dropped).
[ -n "$version" ] && configure -DTALVERN_VERSION="$version" || configure -UTALVERN_VERSION
version=$(cached_version)
restore() {  # build/ back to its own version, its binaries too (the tests run them)
    if [ "$own_version" != "$version" ]; then
        if configure -DTALVERN_VERSION="$own_version" && build_shipped; then
            touch -c -r "$written" "${versioned[@]}"
        else
            echo "package: could not put $build back to version $own_version" >&2
        fi
    fi
    rm -f "$written"
}
trap restore EXIT
build_shipped
IFS=. read -r major minor patch tweak <<<"$version"
# Windows Installer compares A.B.C only: the fourth field goes into the third.
package_version=$major.$minor.$(( patch * 256 + tweak ))
product_code=$(python3 -c 'import sys, uuid
print("{%s}" % str(uuid.uuid5(uuid.UUID("3b334b01-8db0-4d7d-88ff-4dc7fbee052e"), "Talvern " + sys.argv[1])).upper())' "$version")
name=Talvern-$version-x64

# --- strip, keep the debug information, sign, pack: all in a scratch folder --
stage=$(mktemp -d "$build/stage.XXXXXX")
trap 'rm -rf "$stage"; restore' EXIT
mkdir "$stage/$name-debug"
bin=$stage/$name-debug
size() { stat -c %s "$1"; }
shipped=(TalvernTray.exe)
cp "$build/bin/TalvernTray.exe" "$bin/"
if [ -n "$plugin" ]; then
    cp "$plugin" "$bin/TalvernP.dll"
else
    cp "$build/bin/TalvernP.dll" "$bin/"
    shipped+=(TalvernP.dll)
fi
for f in "${shipped[@]}"; do
    before=$(size "$bin/$f")
    ( cd "$bin"
      x86_64-w64-mingw32-objcopy --only-keep-debug "$f" "$f.debug"
      x86_64-w64-mingw32-strip --strip-all "$f"
      x86_64-w64-mingw32-objcopy --add-gnu-debuglink="$f.debug" "$f"
      chmod -x "$f.debug" )
    echo "[package] $f: $before bytes built, $(size "$bin/$f") stripped (debug information: $f.debug)"
done

sign() {  # sign <file>: in place, through a signed copy
    osslsigncode sign -pkcs12 "$cert" "${pass_args[@]}" -h sha256 -n "Talvern tray agent" \
        ${timestamp:+-ts "$timestamp"} -in "$1" -out "$1.signed" >/dev/null ||
        die "signing $(basename "$1") failed"
    mv "$1.signed" "$1"
}
if [ -n "$cert" ]; then
    sign "$bin/TalvernTray.exe"
    sign "$bin/TalvernP.dll"
fi

# wixl writes every string value as REG_SZ, Type="expandable" included, and
# escapes a "#%" of ours. The Event Log source's EventMessageFile must be a
# REG_EXPAND_SZ: its row in the package's Registry table gets the "#%" prefix
# that makes one, by export, edit and import of the table.
expand_event_message_file() {  # expand_event_message_file <package.msi>
    local msi=$1 table=$stage/registry
    mkdir "$table"
    msiinfo export "$msi" Registry >"$table/Registry.idt" || die "cannot read the package's Registry table"
    awk -F '\t' -v OFS='\t' '
        NR > 3 && $3 == "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Talvern" &&
            $4 == "EventMessageFile" && $5 == "[#TalvernTray.exe]" { $5 = "#%" $5; rows++ }
        { print }
        END { exit rows != 1 }' "$table/Registry.idt" >"$table/Registry.new" ||
        die "the package has no single EventMessageFile row to make REG_EXPAND_SZ"
    mv "$table/Registry.new" "$table/Registry.idt"
    msibuild "$msi" -i "$table/Registry.idt" || die "cannot write the package's Registry table"
}

# wixl takes the files' paths relative to the source's folder.
cp "$here/packaging/talvern.wxs" "$stage/"
cp -r "$here/packaging/admx" "$stage/"
wixl -a x64 -o "$stage/$name.msi" \
    -D Version="$version" -D PackageVersion="$package_version" -D ProductCode="$product_code" \
    -D AgentPath="$name-debug/TalvernTray.exe" -D PluginPath="$name-debug/TalvernP.dll" -D PolicyDir=admx \
    "$stage/talvern.wxs" || die "wixl could not build the package"
expand_event_message_file "$stage/$name.msi"
[ -n "$cert" ] && sign "$stage/$name.msi"

# Into the output folder only now, each in one step (a rename on one file system).
rm -rf "${out:?}/$name-debug" "$out/$name.msi"
mv "$stage/$name-debug" "$out/$name-debug.tmp" && mv "$out/$name-debug.tmp" "$out/$name-debug"
mv "$stage/$name.msi" "$out/$name.msi.tmp" && mv "$out/$name.msi.tmp" "$out/$name.msi"
echo "[package] $out/$name.msi: $(size "$out/$name.msi") bytes, package version $package_version," \
     "$([ -n "$cert" ] && echo "signed with $(basename "$cert")" || echo "UNSIGNED (no --sign)")"
