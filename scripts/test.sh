#!/usr/bin/env bash
# The whole test suite: host build, static analysis, Windows images, sanitizer builds, fuzzers.
# Each step reports its wall time and the CPU time of its processes; a table
# of them ends the run (docs/performance.md has the figures and what cuts them).
# SKIP_STEPS="name|name" leaves the steps whose names match out (an extended
# regular expression), e.g. SKIP_STEPS="Wine" on a machine without Wine.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --with-wine || scripts/setup.sh || exit 1

passed=0; failed=0; failures=(); timings=()
cpu_file=$(mktemp)
trap 'rm -f "$cpu_file"' EXIT
# CPU seconds (user + system) of every finished child of this shell so far;
# `times` runs in this shell, not in a command substitution's.
children_cpu() {
    times >"$cpu_file"
    cpu=$(awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%.1f", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$cpu_file")
}
step() {  # step NAME COMMAND...
    local name=$1; shift
    if [ -n "${SKIP_STEPS:-}" ] && [[ $name =~ $SKIP_STEPS ]]; then
        echo "=== $name: skipped"
        timings+=("$(printf '%-26s %8s %8s  %s' "$name" - - skipped)")
        return
    fi
    echo "=== $name"
    local start cpu before result wall used
    start=$(date +%s.%N); children_cpu; before=$cpu
    if "$@"; then passed=$((passed + 1)); result=ok; else failed=$((failed + 1)); failures+=("$name"); result=FAILED; fi
    wall=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
    children_cpu
    used=$(awk -v a="$before" -v b="$cpu" 'BEGIN { printf "%.1f", b - a }')
    echo "--- $name: $result, ${wall} s wall, ${used} s CPU"
    timings+=("$(printf '%-26s %8s %8s  %s' "$name" "$wall" "$used" "$result")")
}
build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1"; }

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
step "host build" build host
step "host tests" ctest --preset host
step "static analysis" scripts/analyze.sh
step "win64 build" build win64
step "win64 image checks" ctest --preset win64
step "asan build" build host-asan
step "asan tests" ctest --preset host-asan
step "tsan build" build host-tsan
step "tsan tests" ctest --preset host-tsan -L concurrency
if [ -x scripts/fuzz.sh ]; then step "fuzz (fixed seed)" scripts/fuzz.sh --short; fi
step "dravolux.sys under Wine" windows/wine/run_wine_test.sh --build build/win64

echo
printf '%-26s %8s %8s\n' "step" "wall s" "CPU s"
for t in "${timings[@]}"; do echo "$t"; done
echo "load average (1, 5, 15 min) before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) CPUs"
echo
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "suite: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
