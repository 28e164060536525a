#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`) and runs them.
#   scripts/fuzz.sh --short        fixed seed, bounded run plus the seed corpus (CI)
#   scripts/fuzz.sh [SECONDS]      open-ended run (default 600 s), new inputs kept
#                                  in build/fuzz/corpus/control
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-600}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target control_fuzz
target=build/fuzz/fuzz/control_fuzz
seeds=fuzz/corpus/control
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if [ "$mode" = "--short" ]; then
    # The seed corpus once, then a fixed-seed run of bounded length.
    # New inputs go to a scratch directory, never into the seeds.
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    "$target" -runs=0 "$seeds"
    "$target" -seed=1 -runs=${FUZZ_RUNS:-3000} -max_len=1024 -timeout=20 "$scratch" "$seeds"
else
    work=build/fuzz/corpus/control
    mkdir -p "$work"
    "$target" -max_total_time="$mode" -max_len=1024 -timeout=20 "$work" "$seeds"
fi
