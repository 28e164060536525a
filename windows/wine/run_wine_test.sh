#!/usr/bin/env bash
# Runs the real dravolux.sys under Wine in a fresh prefix: installs the bus,
# creates COM3, opens it from two programs one after the other, checks the
# listing and the registry, removes COM3 and uninstalls the bus, and fails on
# any Wine error that comes from the driver's side.
#
#   run_wine_test.sh [--build DIR] [--keep] [--skip-code N]
#
# --build DIR   the win64 build folder (default build/win64); the images and
#               programs are built there first when missing
# --keep        keep the prefix and logs (printed at the end)
# --skip-code N exit status when Wine cannot be installed here (default 0)
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$ROOT/build/win64
KEEP=0
SKIP_CODE=0
while [ $# -gt 0 ]; do
    case $1 in
        --build) BUILD=$2; shift 2 ;;
        --keep) KEEP=1; shift ;;
        --skip-code) SKIP_CODE=$2; shift 2 ;;
        *) echo "usage: $0 [--build DIR] [--keep] [--skip-code N]" >&2; exit 2 ;;
    esac
done

say() { echo "wine-test: $*"; }
fail() { say "FAIL: $*"; FAILED=1; }
FAILED=0

# --- Wine ------------------------------------------------------------------
find_wine() {
    for candidate in wine wine-stable /usr/lib/wine/wine64 /opt/wine-stable/bin/wine64; do
        if command -v "$candidate" >/dev/null 2>&1; then WINE=$(command -v "$candidate"); return 0; fi
    done
    return 1
}
find_wineserver() {
    for candidate in wineserver wineserver-stable /usr/lib/wine/wineserver64 /opt/wine-stable/bin/wineserver; do
        if command -v "$candidate" >/dev/null 2>&1; then WINESERVER=$(command -v "$candidate"); return 0; fi
    done
    return 1
}
if ! find_wine; then
    say "Wine is missing; installing it (apt-get install wine)"
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y wine >/tmp/dravolux-wine-apt.log 2>&1 ||
            { apt-get update >/dev/null 2>&1 &&
              DEBIAN_FRONTEND=noninteractive apt-get install -y wine >>/tmp/dravolux-wine-apt.log 2>&1; }
    fi
    if ! find_wine; then
        say "SKIPPED: Wine cannot be installed on this machine (see /tmp/dravolux-wine-apt.log)"
        exit "$SKIP_CODE"
    fi
fi
find_wineserver || { say "SKIPPED: Wine has no wineserver here"; exit "$SKIP_CODE"; }
WINE_PE=
for dir in /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows \
           /opt/wine-stable/lib/wine/x86_64-windows /opt/wine-stable/lib64/wine/x86_64-windows; do
    [ -f "$dir/ntoskrnl.exe" ] && { WINE_PE=$dir; break; }
done
say "using $WINE ($("$WINE" --version 2>/dev/null))"

# --- images and programs ---------------------------------------------------
IMAGES=(dravolux.sys pelmonix.sys corvessctl.exe opener_a.exe opener_b.exe)
need_build=0
for f in "${IMAGES[@]}"; do [ -f "$BUILD/windows/$f" ] || need_build=1; done
if [ $need_build = 1 ]; then
    say "building the Windows images in $BUILD"
    if [ ! -f "$BUILD/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw64.cmake" \
            -DCMAKE_BUILD_TYPE=Release >/dev/null || { say "FAIL: cannot configure $BUILD"; exit 1; }
    fi
    cmake --build "$BUILD" -j2 --target dravolux pelmonix corvessctl opener_a opener_b >/dev/null ||
        { say "FAIL: cannot build the Windows images"; exit 1; }
fi

# --- kernel imports against Wine's exports ---------------------------------
if [ -n "$WINE_PE" ]; then
    python3 "$ROOT/windows/wine/check_wine_imports.py" "$WINE_PE" "$BUILD/windows/dravolux.sys" \
        "$BUILD/windows/pelmonix.sys" || fail "an image imports what Wine lacks or only stubs"
else
    fail "Wine's PE ntoskrnl.exe was not found; cannot check the imports"
fi

# --- a fresh prefix --------------------------------------------------------
WORK=$(mktemp -d /tmp/dravolux-wine.XXXXXX)
export WINEPREFIX=$WORK/prefix WINEARCH=win64 DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml="
LOG=$WORK/wine.log
cleanup() {
    WINEDEBUG=-all "$WINESERVER" -k >/dev/null 2>&1
    if [ $KEEP = 1 ]; then
        say "kept $WORK (logs and prefix)"
    elif [ $FAILED = 1 ]; then
        rm -rf "$WINEPREFIX"
        say "logs kept in $WORK"
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT

say "creating the prefix"
WINEDEBUG=-all timeout 300 "$WINE" wineboot -i >"$WORK/boot.out" 2>&1 ||
    { fail "wineboot did not finish"; exit 1; }
WINEDEBUG=-all "$WINESERVER" -w
# A persistent server keeps the driver host alive between commands. The
# first process then starts the services, the PnP manager and the driver
# host; they keep its stderr, so the debug channels set here reach the log.
"$WINESERVER" -p
WINEDEBUG=err+all,fixme+ntoskrnl,fixme+plugplay,+plugplay timeout 120 "$WINE" wineboot >>"$WORK/boot.out" 2>"$LOG" ||
    { fail "Wine did not start its services"; exit 1; }

PKG=$WINEPREFIX/drive_c/corvess
mkdir -p "$PKG"
for f in "${IMAGES[@]}"; do cp "$BUILD/windows/$f" "$PKG/"; done
cp "$ROOT/windows/dravolux.inf" "$ROOT/windows/pelmonix.inf" "$PKG/"
# Wine's setupapi insists on the catalog an INF names; Wine checks no
# signature, so empty catalogs do.
: >"$PKG/dravolux.cat"
: >"$PKG/pelmonix.cat"
# Wine rewrites the staged pelmonix.inf's source path to the INF folder when
# the first port device installs; later port devices then look for the image
# there (and Wine retries a missing source forever).
cp "$BUILD/windows/pelmonix.sys" "$WINEPREFIX/drive_c/windows/inf/"

run() {  # run NAME ARGS... : corvessctl with a time limit; output in $WORK/NAME.out
    local name=$1; shift
    WINEDEBUG=-all timeout 120 "$WINE" 'C:\corvess\corvessctl.exe' "$@" >"$WORK/$name.out" 2>"$WORK/$name.err"
    local rc=$?
    tr -d '\r' <"$WORK/$name.out" >"$WORK/$name.txt"
    return $rc
}
# list_json: prints the JSON listing (exit status 0 when corvessctl succeeded)
list_json() { run list list --json && cat "$WORK/list.txt"; }

# json_check PYTHON-EXPRESSION: evaluates it with `ports` bound to the listing.
json_check() {
    list_json >"$WORK/ports.json" || return 1
    python3 - "$WORK/ports.json" "$1" <<'EOF'
import json, sys
ports = json.load(open(sys.argv[1]))
sys.exit(0 if eval(sys.argv[2]) else 1)
EOF
}

# wait_for PYTHON-EXPRESSION SECONDS: polls the listing until it holds.
wait_for() {
    local deadline=$((SECONDS + $2))
    while :; do
        json_check "$1" && return 0
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.5
    done
}

reg_query() { WINEDEBUG=-all "$WINE" reg query "$@" 2>/dev/null | tr -d '\r'; }

# --- the scenario ----------------------------------------------------------
say "installing the bus"
if run install install; then
    sed 's/^/    /' "$WORK/install.txt"
else
    fail "corvessctl install: $(tr -d '\r' <"$WORK/install.err")"
fi
grep -q "the bus is running" "$WORK/install.txt" || fail "the control device did not appear after install"

say "creating COM3"
run create create COM3 || fail "corvessctl create COM3: $(tr -d '\r' <"$WORK/create.err")"
# The control port and a fresh client port, both started.
wait_for 'len(ports) == 2 and {p["role"] for p in ports} == {"client", "control"} and all(p["port"] == "COM3" for p in ports)' 60 ||
    fail "the two ports of COM3 did not appear: $(cat "$WORK/list.txt" "$WORK/list.err" 2>/dev/null)"
cp "$WORK/list.txt" "$WORK/list-created.txt"
sed 's/^/    /' "$WORK/list-created.txt"

say "checking the port devices' records"
ENUM='HKLM\System\CurrentControlSet\Enum\DRAVOLUX\DEVICES'
reg_query "$ENUM" /s >"$WORK/enum.txt"
for pattern in 'Service +REG_SZ +pelmonix' 'HardwareID +REG_MULTI_SZ +PELMONIX' \
               'CompatibleIDs +REG_MULTI_SZ +\*ZARVIKCompatibleDRAVOLUX' \
               'ClassGUID +REG_SZ +\{FF0E27D1-A1D9-4643-8A55-9DD82169BAFB\}' 'Class +REG_SZ +CorvessPorts'; do
    grep -Eiq "$pattern" "$WORK/enum.txt" || fail "the port device records lack /$pattern/"
done
instances=$(grep -Eic '^HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\DRAVOLUX\\DEVICES\\[0-9]+$' "$WORK/enum.txt")
[ "$instances" -ge 2 ] || fail "expected at least 2 port device records under $ENUM, found $instances"
reg_query 'HKLM\System\CurrentControlSet\Services\pelmonix' | grep -Eiq 'ImagePath' ||
    fail "the pelmonix service is not installed"

# open_port PROGRAM: runs it against COM3 until $WORK/PROGRAM.done exists,
# checks it in the listing with its own pid and image path, then closes.
open_port() {
    local program=$1 signal="C:\\corvess\\$1.done" pid=
    rm -f "$PKG/$program.done"
    # A free client port device whose function driver holds the DOS name.
    if ! wait_for "any(p['role'] == 'client' and p['pid'] == 0 and p['status1'] & 4 for p in ports)" 60; then
        fail "no free client port of COM3 holds the name (bit 4 of status1) for $program: $(cat "$WORK/list.txt")"
        return
    fi
    WINEDEBUG=-all "$WINE" "C:\\corvess\\$program.exe" COM3 "$signal" 120 >"$WORK/$program.out" 2>"$WORK/$program.err" &
    local job=$!
    local deadline=$((SECONDS + 60))
    while [ $SECONDS -lt $deadline ]; do
        pid=$(tr -d '\r' <"$WORK/$program.out" | sed -n 's/^opened COM3 pid \([0-9]*\)$/\1/p')
        [ -n "$pid" ] && break
        grep -q "failed" "$WORK/$program.out" && break
        kill -0 $job 2>/dev/null || break
        sleep 0.5
    done
    if [ -z "$pid" ]; then
        fail "$program could not open COM3: $(tr -d '\r' <"$WORK/$program.out")"
        touch "$PKG/$program.done"; wait $job
        return
    fi
    say "$program opened COM3 as pid $pid"
    wait_for "any(p['role'] == 'client' and p['pid'] == $pid and (p['image'] or '').lower().endswith('\\\\corvess\\\\$program.exe') for p in ports)" 30 ||
        fail "COM3 is not listed as opened by $program (pid $pid): $(cat "$WORK/list.txt")"
    cp "$WORK/list.txt" "$WORK/list-$program.txt"
    sed 's/^/    /' "$WORK/list-$program.txt"
    touch "$PKG/$program.done"
    wait $job || fail "$program failed: $(tr -d '\r' <"$WORK/$program.out")"
    grep -q "closed COM3" "$WORK/$program.out" || fail "$program did not close COM3"
    wait_for "not any(p['pid'] == $pid for p in ports)" 30 ||
        fail "pid $pid is still listed after $program closed COM3: $(cat "$WORK/list.txt")"
}
open_port opener_a
open_port opener_b

say "removing COM3"
run remove remove COM3 || fail "corvessctl remove COM3: $(tr -d '\r' <"$WORK/remove.err")"
wait_for 'len(ports) == 0' 60 || fail "ports are still listed after remove COM3: $(cat "$WORK/list.txt")"

say "uninstalling the bus"
if run uninstall uninstall; then
    sed 's/^/    /' "$WORK/uninstall.txt"
else
    fail "corvessctl uninstall: $(tr -d '\r' <"$WORK/uninstall.err")"
fi
deadline=$((SECONDS + 30))
while run gone list && [ $SECONDS -lt $deadline ]; do sleep 0.5; done
grep -q "cannot open the control device" "$WORK/gone.err" 2>/dev/null ||
    fail "the control device is still there after uninstall"

# --- the log ---------------------------------------------------------------
# Errors and crashes on the driver's side: the PnP manager, the kernel, the
# driver host and setup, and anything naming our images.
sleep 1
tr -d '\r' <"$LOG" | grep -aE \
    ':err:(ntoskrnl|plugplay|setupapi|seh|module|virtual|winedevice|service|sync)|Unhandled exception|page fault|unimplemented function|EXCEPTION_WINE_STUB|(dravolux|pelmonix).*(err|fault|exception)' |
    # Each port device's installation copies pelmonix.sys again, over the
    # image the driver host has loaded; Wine skips it with a sharing error.
    grep -avE 'err:setupapi:SetupDefaultQueueCallbackW copy error 32 .*pelmonix\.sys' >"$WORK/wine-errors.txt"
if [ -s "$WORK/wine-errors.txt" ]; then
    fail "Wine reported errors from the driver side:"
    head -20 "$WORK/wine-errors.txt" | sed 's/^/    /'
fi
# What Wine only half implements on the paths the drivers took.
tr -d '\r' <"$LOG" | grep -aoE 'fixme:(ntoskrnl|plugplay):[A-Za-z_]+' | sort | uniq -c | sed 's/^/    partial in Wine: /'

if [ $FAILED = 0 ]; then say "PASS"; else say "FAILED"; fi
[ $FAILED = 0 ]
