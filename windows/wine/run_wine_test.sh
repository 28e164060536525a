#!/usr/bin/env bash
# Runs the real dravolux.sys under Wine the way a new user would: the package
# folder copied into a fresh prefix, "corvessctl install", the shipped device
# checks, COM3 taken over and opened again and again by a program that is not
# ours (Wine's cmd.exe), then removal and uninstallation, which must leave
# COM3 as it was. Fails on any Wine error from the driver's side.
#
#   run_wine_test.sh [--build DIR] [--keep] [--skip-code N]
#
# --build DIR   the win64 build folder (default build/win64); its package
#               folder is built first when incomplete
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
# A holder that died makes writing to its input fail, not end this script.
trap '' PIPE

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

# --- the package folder ----------------------------------------------------
PACKAGE=$BUILD/package
PACKAGE_FILES=(dravolux.sys dravolux.inf pelmonix.sys pelmonix.inf corvessctl.exe)
need_build=0
for f in "${PACKAGE_FILES[@]}"; do [ -f "$PACKAGE/$f" ] || need_build=1; done
if [ $need_build = 1 ]; then
    say "building the package folder $PACKAGE"
    if [ ! -f "$BUILD/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw64.cmake" \
            -DCMAKE_BUILD_TYPE=Release >/dev/null || { say "FAIL: cannot configure $BUILD"; exit 1; }
    fi
    cmake --build "$BUILD" -j2 --target package_folder >/dev/null ||
        { say "FAIL: cannot build the package folder"; exit 1; }
fi

# --- kernel imports against Wine's exports ---------------------------------
if [ -n "$WINE_PE" ]; then
    python3 "$ROOT/windows/wine/check_wine_imports.py" "$WINE_PE" "$PACKAGE/dravolux.sys" \
        "$PACKAGE/pelmonix.sys" || fail "an image imports what Wine lacks or only stubs"
else
    fail "Wine's PE ntoskrnl.exe was not found; cannot check the imports"
fi

# --- a fresh prefix --------------------------------------------------------
WORK=$(mktemp -d /tmp/dravolux-wine.XXXXXX)
export WINEPREFIX=$WORK/prefix WINEARCH=win64 DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml="
LOG=$WORK/wine.log
cleanup() {
    exec 7>&- 2>/dev/null
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
"$WINESERVER" -p </dev/null >/dev/null 2>&1
WINEDEBUG=err+all,fixme+ntoskrnl,fixme+plugplay,+plugplay timeout 120 "$WINE" wineboot </dev/null \
    >>"$WORK/boot.out" 2>"$LOG" || { fail "Wine did not start its services"; exit 1; }

# What the user copies: the package folder, nothing else.
PKG=$WINEPREFIX/drive_c/corvess
mkdir -p "$PKG"
cp "$PACKAGE"/* "$PKG/"

run() {  # run NAME ARGS... : corvessctl with a time limit; output in $WORK/NAME.txt
    local name=$1; shift
    WINEDEBUG=-all timeout 180 "$WINE" 'C:\corvess\corvessctl.exe' "$@" </dev/null >"$WORK/$name.out" 2>"$WORK/$name.err"
    local rc=$?
    tr -d '\r' <"$WORK/$name.out" >"$WORK/$name.txt"
    return $rc
}
errors_of() { tr -d '\r' <"$WORK/$1.err"; }

# json_check PYTHON-EXPRESSION: evaluates it with `ports` bound to the listing.
json_check() {
    run list list --json || return 1
    python3 - "$WORK/list.txt" "$1" <<'EOF'
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

reg_query() { WINEDEBUG=-all "$WINE" reg query "$@" </dev/null 2>/dev/null | tr -d '\r'; }

# What a program that is not ours meets when it writes to COM3.
com3_as_seen() {
    WINEDEBUG=-all timeout 60 "$WINE" cmd /c 'echo probe> COM3' </dev/null 2>&1 | tr -d '\r' | sed '/^$/d'
}

# --- the scenario ----------------------------------------------------------
COM3_BEFORE=$(com3_as_seen)
say "COM3 before: ${COM3_BEFORE:-opens and takes a write}"

say "corvessctl install"
run install install || fail "corvessctl install: $(errors_of install)"
sed 's/^/    /' "$WORK/install.txt"
grep -q "the bus is running" "$WORK/install.txt" || fail "the bus did not come up after install"
grep -q "^Wine .*copied pelmonix.sys" "$WORK/install.txt" || fail "install did not say what it did for Wine"

say "corvessctl check"
run check check || fail "corvessctl check failed"
grep -E '^(FAIL|skip)' "$WORK/check.txt" | sed 's/^/    /'
tail -1 "$WORK/check.txt" | sed 's/^/    /'
grep -Eq '^[0-9]+ passed, 0 failed$' "$WORK/check.txt" || fail "corvessctl check: $(tail -1 "$WORK/check.txt")"

say "corvessctl create COM3"
run create create COM3 || fail "corvessctl create COM3: $(errors_of create)"
# The control port and a fresh client port.
wait_for 'len(ports) == 2 and {p["role"] for p in ports} == {"client", "control"} and all(p["port"] == "COM3" for p in ports)' 60 ||
    fail "the two ports of COM3 did not appear: $(cat "$WORK/list.txt")"

ENUM='HKLM\System\CurrentControlSet\Enum\DRAVOLUX\DEVICES'
reg_query "$ENUM" /s >"$WORK/enum.txt"
for pattern in 'Service +REG_SZ +pelmonix' 'HardwareID +REG_MULTI_SZ +PELMONIX' \
               'CompatibleIDs +REG_MULTI_SZ +\*ZARVIKCompatibleDRAVOLUX' \
               'ClassGUID +REG_SZ +\{FF0E27D1-A1D9-4643-8A55-9DD82169BAFB\}' 'Class +REG_SZ +CorvessPorts'; do
    grep -Eiq "$pattern" "$WORK/enum.txt" || fail "the port device records lack /$pattern/"
done
reg_query 'HKLM\System\CurrentControlSet\Services\pelmonix' | grep -Eiq 'ImagePath' ||
    fail "the pelmonix service is not installed"

# Wine's cmd.exe holds COM3: `set /p` with its output sent to COM3 opens the
# port, writes its prompt there and waits for a line on its input, which
# comes from a pipe of ours. The pid is Wine's own (+pid prefixes every
# trace line of the process with it).
HOLDERS=0
SEEN_PIDS=" "
HOLDER_PID=
HOLDER_JOB=
start_holder() {  # start_holder LABEL CMD-ARGS...
    local label=$1; shift
    HOLDERS=$((HOLDERS + 1))
    HOLDER_PID=
    rm -f "$WORK/hold.fifo"; mkfifo "$WORK/hold.fifo"
    exec 7<>"$WORK/hold.fifo"
    WINEDEBUG=+pid,+loaddll timeout 120 "$WINE" cmd /c "$@" <"$WORK/hold.fifo" \
        >"$WORK/holder$HOLDERS.out" 2>"$WORK/holder$HOLDERS.err" &
    HOLDER_JOB=$!
    local deadline=$((SECONDS + 60)) hex=
    while [ $SECONDS -lt $deadline ] && kill -0 $HOLDER_JOB 2>/dev/null; do
        hex=$(grep -as 'Loaded L"C:\\\\windows\\\\system32\\\\cmd.exe"' "$WORK/holder$HOLDERS.err" | head -1 | cut -d: -f1)
        [ -n "$hex" ] && break
        sleep 0.2
    done
    [ -n "$hex" ] || { fail "$label: cmd.exe did not start"; return 1; }
    HOLDER_PID=$((16#$hex))
    case "$SEEN_PIDS" in *" $HOLDER_PID "*) fail "$label: pid $HOLDER_PID was seen before" ;; esac
    SEEN_PIDS="$SEEN_PIDS$HOLDER_PID "
    if wait_for "any(p['role'] == 'client' and p['pid'] == $HOLDER_PID and (p['image'] or '').lower() == 'c:\\\\windows\\\\system32\\\\cmd.exe' for p in ports)" 30; then
        say "$label: COM3 is listed as opened by pid $HOLDER_PID, C:\\windows\\system32\\cmd.exe"
    else
        fail "$label: COM3 is not listed as opened by cmd.exe, pid $HOLDER_PID: $(cat "$WORK/list.txt")"
        return 1
    fi
}
# finish_holder LABEL [EXIT-STATUS]: waits for the holder, which must end
# with that status when one is given, then for its pid to leave the listing.
finish_holder() {
    local label=$1 expected=${2:-} rc
    wait $HOLDER_JOB; rc=$?
    exec 7>&-
    [ -z "$expected" ] || [ "$rc" = "$expected" ] || fail "$label: cmd.exe ended with $rc, expected $expected"
    local said; said=$(tr -d '\r' <"$WORK/holder$HOLDERS.out" | sed '/^$/d' | head -1)
    [ -z "$said" ] || say "$label: cmd.exe said \"$said\" (the stand-in serves no writes)"
    wait_for "not any(p['pid'] == $HOLDER_PID for p in ports) and any(p['role'] == 'client' and p['pid'] == 0 for p in ports)" 30 ||
        fail "$label: pid $HOLDER_PID is still listed after cmd.exe ended: $(cat "$WORK/list.txt")"
}
# A free client port whose function driver holds the DOS name (bit 4 of the
# stand-in's status word 1): a program may open COM3 now.
wait_free() {
    wait_for "any(p['role'] == 'client' and p['pid'] == 0 and p['status1'] & 4 for p in ports)" 60 ||
        fail "no free client port of COM3 holds the name: $(cat "$WORK/list.txt")"
}

for round in 1 2 3; do
    wait_free
    if start_holder "cmd.exe, round $round" "set /p line=round$round> COM3"; then
        echo >&7
        finish_holder "cmd.exe, round $round" 0
    fi
done

# Exits with COM3 open: "exit" inside a call whose output goes to COM3 ends
# the process before cmd.exe closes the port.
printf '@echo off\r\ncall :hold > COM3\r\nexit /b 0\r\n:hold\r\necho exiting\r\nset /p line=\r\nexit 3\r\n' >"$WORK/exit-open.cmd"
wait_free
if start_holder "cmd.exe exiting with COM3 open" "Z:${WORK//\//\\}\\exit-open.cmd"; then
    echo >&7
    finish_holder "cmd.exe exiting with COM3 open" 3
fi

# Killed with COM3 open.
wait_free
if start_holder "cmd.exe killed with COM3 open" "set /p line=killed> COM3"; then
    WINEDEBUG=-all timeout 60 "$WINE" taskkill /f /pid $HOLDER_PID </dev/null >"$WORK/taskkill.out" 2>&1 ||
        fail "taskkill /f /pid $HOLDER_PID: $(tr -d '\r' <"$WORK/taskkill.out")"
    finish_holder "cmd.exe killed with COM3 open"
fi

say "corvessctl remove COM3"
run remove remove COM3 || fail "corvessctl remove COM3: $(errors_of remove)"
wait_for 'len(ports) == 0' 60 || fail "ports are still listed after remove COM3: $(cat "$WORK/list.txt")"
COM3_AFTER=$(com3_as_seen)
[ "$COM3_AFTER" = "$COM3_BEFORE" ] || fail "COM3 after remove: \"$COM3_AFTER\", before: \"$COM3_BEFORE\""

say "corvessctl uninstall"
run uninstall uninstall || fail "corvessctl uninstall: $(errors_of uninstall)"
sed 's/^/    /' "$WORK/uninstall.txt"
deadline=$((SECONDS + 30))
while run gone list && [ $SECONDS -lt $deadline ]; do sleep 0.5; done
grep -q "cannot open the control device" "$WORK/gone.err" 2>/dev/null ||
    fail "the control device is still there after uninstall"
# The driver images stay in system32\drivers, as on Windows; the packages,
# the copies made for Wine and the catalogs go.
left=$(cd "$WINEPREFIX/drive_c/windows" && find inf system32/catroot -iname 'dravolux.*' -o -iname 'pelmonix.*' | tr '\n' ' ')
[ -z "$left" ] || fail "uninstall left behind: $left"
COM3_AFTER=$(com3_as_seen)
[ "$COM3_AFTER" = "$COM3_BEFORE" ] || fail "COM3 after uninstall: \"$COM3_AFTER\", before: \"$COM3_BEFORE\""
say "COM3 after: ${COM3_AFTER:-opens and takes a write}"

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
log_size=$(stat -c %s "$LOG")
[ "$log_size" -lt 50000000 ] || fail "the log grew to $log_size bytes (a PnP thread spinning?)"

if [ $FAILED = 0 ]; then say "PASS"; else say "FAILED"; fi
[ $FAILED = 0 ]
