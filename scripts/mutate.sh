#!/usr/bin/env bash
# Mutation check of the test suite: plants the faults of a list (default
# scripts/mutations.txt) one at a time into a scratch copy of the project,
# rebuilds, and runs the whole suite against each. A fault the suite fails on
# is "killed"; one it passes "survived" and points at a gap in the tests.
# One build and one full test run under Wine per fault: an hour or more for the
# whole list, far too slow for CI. Run it by hand.
#
#   scripts/mutate.sh [--source REV] [--faults FILE] [--keep] [--out FILE] [FAULT-ID ...]
#
#   --source REV   check that git revision's tree (default: this work tree with
#                  its uncommitted and untracked files)
#   --faults FILE  the fault list, always read from this checkout, so the same
#                  list can be run against an older suite
#   --keep         keep the scratch copy and its build afterwards
#   --out FILE     where the table goes (default: <scratch>/mutation-report.txt)
#   FAULT-ID ...   only these faults
#
# Scratch: $TALVERN_MUTATE_DIR (default /tmp/talvern-mutate), with one log per
# fault in its logs/. TALVERN_MUTATE_TIMEOUT bounds one test run (default 900 s;
# running out counts as killed, "killed (hang)"). libcurl and Boost come from
# TALVERN_DEPS_DIR (default this checkout's .deps). Run as root, each test run
# gets a private loopback (unshare -n), so servers on fixed ports such as the
# update server's 8765 do not meet other test runs on the machine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/wine-env.sh"

die() { echo "mutate: $*" >&2; exit 1; }

rev='' faults=$here/scripts/mutations.txt keep=0 out='' only=()
while [ $# -gt 0 ]; do
    case $1 in
    --source) rev=${2:?--source needs a revision}; shift 2 ;;
    --faults) faults=$(realpath "${2:?--faults needs a file}"); shift 2 ;;
    --out) out=$(realpath -m "${2:?--out needs a file}"); shift 2 ;;
    --keep) keep=1; shift ;;
    -h | --help) sed -n '2,/^set -euo/{/^set/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
    -*) die "unknown option $1" ;;
    *) only+=("$1"); shift ;;
    esac
done

scratch=$(realpath -m "${TALVERN_MUTATE_DIR:-/tmp/talvern-mutate}")
case $scratch/ in "$here"/*) die "the scratch dir must lie outside the work tree" ;; esac
src=$scratch/src build=$scratch/src/build logs=$scratch/logs
out=${out:-$scratch/mutation-report.txt}
limit=${TALVERN_MUTATE_TIMEOUT:-900}
export TALVERN_DEPS_DIR=${TALVERN_DEPS_DIR:-$here/.deps}

# --- the fault list: blocks of "key: value" lines -----------------------------
ids=() areas=() files=() finds=() repls=()
f_id='' f_area='' f_file='' f_find='' f_repl='' have_find=0
end_block() {
    [ -n "$f_id$f_file$f_find" ] || return 0
    [ -n "$f_id" ] && [ -n "$f_file" ] && [ $have_find = 1 ] || die "$faults:$lineno: block without fault, file or find"
    ids+=("$f_id") areas+=("${f_area:-?}") files+=("$f_file") finds+=("$f_find") repls+=("$f_repl")
    f_id='' f_area='' f_file='' f_find='' f_repl='' have_find=0
}
lineno=0
while IFS= read -r line || [ -n "$line" ]; do
    lineno=$((lineno + 1))
    case $line in '#'*) continue ;; '') end_block; continue ;; esac
    value=${line#*:} value=${value# }
    case ${line%%:*} in
    fault) end_block; f_id=$value ;;
    area) f_area=$value ;;
    file) f_file=$value ;;
    find) f_find=$value have_find=1 ;;
    replace) f_repl=$value ;;
    why) ;;
    *) die "$faults:$lineno: unknown line: $line" ;;
    esac
done <"$faults"
end_block
[ ${#ids[@]} -gt 0 ] || die "no faults in $faults"
for id in "${only[@]}"; do
    [[ " ${ids[*]} " == *" $id "* ]] || die "no fault $id in $faults"
done

# --- the scratch copy ---------------------------------------------------------
current='' # file that holds a planted fault right now
suite=''   # pid of the running test suite (its timeout)
stop_wine() { talvern_stop_wineservers "$build"; }
cleanup() {
    if [ -n "$suite" ]; then
        kill "$suite" 2>/dev/null || true # timeout passes it on to the whole suite
        wait "$suite" 2>/dev/null || true
    fi
    if [ -n "$current" ]; then cat "$scratch/original" >"$src/$current"; fi
    rm -f "$scratch/original"
    stop_wine
    if [ $keep = 0 ]; then rm -rf "$src"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

rm -rf "$src" "$logs"
mkdir -p "$src" "$logs" "$(dirname "$out")"
if [ -n "$rev" ]; then
    git -C "$here" rev-parse -q --verify "$rev^{commit}" >/dev/null || die "no revision $rev"
    git -C "$here" archive "$rev" | tar -x -C "$src"
    what="revision $(git -C "$here" rev-parse --short "$rev^{commit}")"
else
    # Tracked and untracked files as they are now; build/ and .deps/ are ignored.
    git -C "$here" ls-files -co --exclude-standard -z |
        while IFS= read -r -d '' f; do
            if [ -e "$here/$f" ] || [ -L "$here/$f" ]; then printf '%s\0' "$f"; fi
        done |
        tar -c -C "$here" --null -T - | tar -x -C "$src"
    what="work tree of $(git -C "$here" rev-parse --short HEAD)"
fi

# --- build and test -----------------------------------------------------------
build_copy() { TALVERN_BUILD_DIR=$build "$src/scripts/build.sh" >>"$1" 2>&1; }

# The suite's servers listen on fixed loopback ports (the update server on
# 8765), which other test runs on the machine share: where allowed (root), each
# run gets a network namespace of its own with just its own loopback.
private_net=()
if unshare -n true 2>/dev/null; then
    private_net=(unshare -n bash -c 'ip link set lo up && exec "$@"' private-net)
else
    echo "[mutate] no private network (unshare -n): loopback ports are shared with other runs" >&2
fi

# Runs the suite, stopping at the first failure; its status, 124 after the
# time limit. In the background, so that an interrupt is seen at once (timeout
# gives the suite a process group of its own, out of the terminal's reach).
run_suite() {
    local status=0
    TALVERN_BUILD_DIR=$build timeout -k 30 "$limit" "${private_net[@]}" "$src/scripts/test.sh" --stop-on-failure \
        >>"$1" 2>&1 &
    suite=$!
    wait "$suite" || status=$?
    suite=''
    stop_wine
    return $status
}

# First CTest entry that did not pass, with its first failed GoogleTest case
# and "(timeout)" when CTest cut it off; given status 124, the entry still
# running when the time limit struck.
first_failure() {
    local line name case_name
    line=$(grep -aE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: ' "$1" | grep -avE 'Passed|Skipped' | head -n 1 || true)
    if [ -n "$line" ]; then
        name=$(sed -E 's/^.*Test +#[0-9]+: ([^ ]+) .*$/\1/' <<<"$line")
        case_name=$(grep -aoE '^\[  FAILED  \] [^ ]+ \(' "$1" | head -n 1 | sed -E 's/^.{13}//; s/ \($//' || true)
        # else the complaint of a script entry (soak, tray)
        [ -n "$case_name" ] || case_name=$(grep -aoE '^FAIL \(.{1,70}' "$1" | head -n 1 || true)
        [ -z "$case_name" ] || name+=": $case_name"
        case $line in *Timeout*) echo "$name (timeout)" ;; *) echo "$name" ;; esac
    elif [ "$2" = 124 ]; then
        grep -aE '^ *Start +[0-9]+: ' "$1" | tail -n 1 | sed -E 's/^ *Start +[0-9]+: //' || true
    fi
}

# Replaces find by repl in file when find occurs exactly once; else fails.
plant() {
    python3 - "$@" <<'EOF'
import os, sys
path, find, repl = sys.argv[1], os.fsencode(sys.argv[2]), os.fsencode(sys.argv[3])
with open(path, "rb") as f:
    text = f.read()
if not find or text.count(find) != 1:
    sys.exit(1)
with open(path, "wb") as f:
    f.write(text.replace(find, repl, 1))
EOF
}

report() { printf '%s\n' "$*" | tee -a "$out"; }

echo "[mutate] building the $what in $src" >&2
build_copy "$logs/baseline.log" || die "the unmutated copy does not build; see $logs/baseline.log"
echo "[mutate] running the unmutated suite" >&2
started=$(date +%s)
status=0
run_suite "$logs/baseline.log" || status=$?
if [ $status != 0 ]; then
    die "the unmutated suite fails (status $status, first failure: $(first_failure "$logs/baseline.log" $status)); see $logs/baseline.log"
fi
echo "[mutate] unmutated suite passes ($(($(date +%s) - started)) s)" >&2

: >"$out"
report "Mutation check of the $what, faults from $faults, $(date '+%Y-%m-%d %H:%M')"
report "$(printf '%-34s %-10s %-14s %s' fault area result 'first failing test')"
killed=0 survived=0 broken=0 skipped=0 total=0 survivors=()
for i in "${!ids[@]}"; do
    id=${ids[$i]} area=${areas[$i]} file=${files[$i]}
    if [ ${#only[@]} -gt 0 ] && [[ " ${only[*]} " != *" $id "* ]]; then continue; fi
    total=$((total + 1))
    log=$logs/$id.log
    started=$(date +%s)
    echo "[mutate] $id: $file" >&2
    result='' first=''
    if [ ! -f "$src/$file" ]; then
        result='not applied' first="($file missing)"
    else
        cp "$src/$file" "$scratch/original"
        current=$file
        if ! plant "$src/$file" "${finds[$i]}" "${repls[$i]}"; then
            result='not applied' first='(text not found exactly once)'
        elif ! build_copy "$log"; then
            result=broken first="(build failed, see $log)"
        else
            status=0
            run_suite "$log" || status=$?
            if [ $status = 0 ]; then
                result=survived
            else
                first=$(first_failure "$log" $status)
                result=killed
                if [ $status = 124 ] || [[ $first == *'(timeout)' ]]; then result='killed (hang)'; fi
            fi
        fi
        # Written anew (not copied back with its old time stamp), so the next
        # build compiles the file again.
        cat "$scratch/original" >"$src/$file"
        current=''
    fi
    case $result in
    killed*) killed=$((killed + 1)) ;;
    survived) survived=$((survived + 1)) survivors+=("$id") ;;
    broken) broken=$((broken + 1)) ;;
    *) skipped=$((skipped + 1)) ;;
    esac
    report "$(printf '%-34s %-10s %-14s %s' "$id" "$area" "$result" "$first")"
    echo "[mutate] $id: $result in $(($(date +%s) - started)) s" >&2
done

summary="$killed killed, $survived survived of $total"
[ $broken = 0 ] || summary+=", $broken broken"
[ $skipped = 0 ] || summary+=", $skipped not applied"
report "$summary"
report "survivors: ${survivors[*]:-none}"
echo "[mutate] table in $out, logs in $logs" >&2
