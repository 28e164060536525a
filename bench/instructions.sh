#!/usr/bin/env bash
# Instructions of one open and one close of COM3 with 1, 100 and 1,000
# clients holding it, counted by callgrind: the same figure on a busy
# machine as on a quiet one. Only the timed calls of BM_OpenCloseWithClients
# are counted (the benchmark toggles collection around them).
#   bench/instructions.sh [BUILD_DIR]      (default build/host)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
bench=$build/bench/dravolux_bench
if ! command -v valgrind >/dev/null; then
    echo "instructions.sh: installing valgrind"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
fi
[ -x "$bench" ] || { echo "instructions.sh: no $bench (build the host preset first)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

samples=100  # iterations of BM_OpenCloseWithClients
declare -A open close
for clients in 1 100 1000; do
    out=$work/callgrind.$clients
    valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out" \
        "$bench" --benchmark_filter="BM_OpenCloseWithClients/$clients/" >"$work/log.$clients" 2>&1
    # Inclusive instructions of the two calls, over all samples.
    inclusive() {
        callgrind_annotate --inclusive=yes --threshold=100 --auto=no "$out" 2>/dev/null |
            awk -v f="$1" '!found && $0 ~ f && $0 !~ /=>/ { gsub(",", "", $1); print $1; found = 1 }'
    }
    open[$clients]=$(( $(inclusive 'HkUserCreateFile\\(') / samples ))
    close[$clients]=$(( $(inclusive 'HkUserCloseHandle\\(') / samples ))
    printf '%8s clients: open %9d instructions, close %7d instructions\n' "$clients" "${open[$clients]}" "${close[$clients]}"
done
awk -v o1="${open[1]}" -v o2="${open[1000]}" -v c1="${close[1]}" -v c2="${close[1000]}" \
    'BEGIN { printf "ratio 1000:1  open %.3f  close %.3f\n", o2 / o1, c2 / c1 }'
