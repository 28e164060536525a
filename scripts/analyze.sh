#!/usr/bin/env bash
# Static analysis: cppcheck and clang-tidy (.clang-tidy) over the host build.
# Any finding in the driver (driver/ bus/ port/ control/ registry/) fails;
# findings in the rest (host kernel, corvessctl, simulator, stand-in, tests)
# are counted and listed in build/analysis/, without failing.
#
#   scripts/analyze.sh            # driver and the rest
#   scripts/analyze.sh --driver   # the driver only
#   scripts/analyze.sh --full     # also clang-analyzer over tests/ (about 45 s a file)
#
# clang-analyzer over a test file spends its time in GoogleTest's macro
# expansions (45 s against 3 s for bugprone alone), so tests/ gets the
# bugprone checks unless --full is given.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=build/analysis
db=build/host/compile_commands.json
mkdir -p "$out"
[ -f "$db" ] || cmake --preset host >/dev/null || exit 1

driver_dirs=(driver bus port control registry)
rest_dirs=(hostkernel corvessctl simulator standin tests)
programs_dirs=(hostkernel corvessctl simulator standin)
header_filter() { local IFS='|'; echo "^$root/($*)/"; }

# Sources of the compile database under the given folders.
sources() {
    python3 - "$db" "$root" "$@" <<'EOF'
import json, sys
db, root, dirs = sys.argv[1], sys.argv[2], sys.argv[3:]
for entry in json.load(open(db)):
    rel = entry["file"][len(root) + 1:] if entry["file"].startswith(root + "/") else ""
    if rel.split("/")[0] in dirs:
        print(entry["file"])
EOF
}

run_cppcheck() {  # run_cppcheck REPORT DIRS...
    local report=$1; shift
    local filters=()
    for d in "$@"; do filters+=("--file-filter=$d/*"); done
    cppcheck --project="$db" "${filters[@]}" --enable=warning,style,performance,portability \
        --library=googletest --inline-suppr --quiet --suppress=missingIncludeSystem --suppress=unmatchedSuppression \
        -j 2 --template='{file}:{line}: {severity}: {message} [{id}]' 2>"$report" >/dev/null
}

run_clang_tidy() {  # run_clang_tidy CHECKS DIRS...: findings on stdout; CHECKS adds to .clang-tidy ("" for none)
    local checks=$1; shift
    sources "$@" | xargs -P 2 -n 4 clang-tidy -p build/host --quiet ${checks:+--checks="$checks"} \
        --header-filter="$(header_filter "$@")" 2>/dev/null | grep -E '^[^ ].*: (warning|error): ' | sort -u
}

count() { grep -c -E ': (warning|error|style|performance|portability|information): ' "$1"; }

status=0
run_cppcheck "$out/driver-cppcheck.txt" "${driver_dirs[@]}"
run_clang_tidy "" "${driver_dirs[@]}" >"$out/driver-clang-tidy.txt"
for report in "$out/driver-cppcheck.txt" "$out/driver-clang-tidy.txt"; do
    n=$(count "$report")
    echo "driver: $n finding(s) from $(basename "$report" .txt | sed 's/driver-//')"
    if [ "$n" -ne 0 ]; then cat "$report"; status=1; fi
done

if [ "${1:-}" != "--driver" ]; then
    run_cppcheck "$out/rest-cppcheck.txt" "${rest_dirs[@]}"
    test_checks=-clang-analyzer-*
    [ "${1:-}" = "--full" ] && test_checks=
    { run_clang_tidy "" "${programs_dirs[@]}"; run_clang_tidy "$test_checks" tests; } \
        | sort -u >"$out/rest-clang-tidy.txt"
    for report in "$out/rest-cppcheck.txt" "$out/rest-clang-tidy.txt"; do
        echo "rest: $(count "$report") finding(s) from $(basename "$report" .txt | sed 's/rest-//'), listed in $report"
        grep -o '\[[a-zA-Z.,-]*\]$' "$report" | sort | uniq -c | sort -rn | head -8 | sed 's/^/    /'
    done
fi
exit $status
