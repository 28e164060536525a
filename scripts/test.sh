#!/usr/bin/env bash
# The whole test suite: host build, static analysis, Windows images, sanitizer builds, fuzzers.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --with-wine || scripts/setup.sh || exit 1

passed=0; failed=0; failures=()
step() {  # step NAME COMMAND...
    local name=$1; shift
    echo "=== $name"
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); failures+=("$name"); fi
}
build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1"; }

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
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "suite: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
