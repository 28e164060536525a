#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`) and runs them.
#   scripts/fuzz.sh --short        the seed corpus, then a fixed-seed bounded run (CI)
#   scripts/fuzz.sh [SECONDS]      open-ended run (default 600 s); new inputs are kept
#                                  in <build dir>/corpus/control
# FUZZ_BUILD_DIR overrides the build directory (default build/fuzz);
# FUZZ_RUNS the number of inputs of the short run (default 1000).
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-600}
dir=${FUZZ_BUILD_DIR:-build/fuzz}
cmake --preset fuzz -B "$dir" >/dev/null
cmake --build "$dir" --target control_fuzz -j2
target=$dir/fuzz/control_fuzz
seeds=fuzz/corpus/control
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=suppressions=$PWD/fuzz/ubsan.supp:print_stacktrace=1:halt_on_error=1
if [ "$mode" = "--short" ]; then
    # New inputs go to a scratch directory, never into the seeds; a finding
    # is written to the current directory as crash-<hash>.
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    "$target" -runs=0 "$seeds"
    "$target" -seed=1 -runs="${FUZZ_RUNS:-1000}" -max_len=1024 -len_control=0 -timeout=20 "$scratch" "$seeds"
else
    work=$dir/corpus/control
    mkdir -p "$work"
    "$target" -max_total_time="$mode" -max_len=1024 -len_control=0 -timeout=20 "$work" "$seeds"
fi
