#!/usr/bin/env bash
# Builds the fuzz harnesses (clang, libFuzzer, ASan + UBSan) and runs each
# one in turn, one process at a time, for a given time:
#
#   fuzz/run.sh [SECONDS_PER_HARNESS] [HARNESS...]
#
# SECONDS_PER_HARNESS defaults to 600; a harness also stops after MAX_RUNS
# executions (default 5000000), whichever comes first.  HARNESS names are
# those of fuzz/CMakeLists.txt (header, extern_inf, ..., run); all by default.
#
# The growing corpus lives in fuzz/corpus-work/<harness> (not committed),
# started from the committed seeds in fuzz/corpus/<harness>.  Logs and any
# crashing input go to fuzz/out/.  The script ends with one summary line per
# harness and exits non-zero when any harness found something.
set -uo pipefail
source "$(dirname "$0")/common.sh"

seconds=${1:-600}
shift || true
names=("$@")
[ ${#names[@]} -eq 0 ] && names=("${HARNESSES[@]}")
max_runs=${MAX_RUNS:-5000000}
build=${FUZZ_BUILD:-$ROOT/build/fuzz}
work=$FUZZ_DIR/corpus-work
out=$FUZZ_DIR/out

ensure_fuzz_toolchain || { echo "fuzz/run.sh: no clang with libFuzzer" >&2; exit 2; }
build_harnesses "$build" || { echo "fuzz/run.sh: build failed" >&2; exit 1; }
mkdir -p "$work" "$out"

summary=()
status=0
for name in "${names[@]}"; do
    exe=$build/fuzz_$name
    [ -x "$exe" ] || { echo "fuzz/run.sh: no harness $name" >&2; exit 2; }
    mkdir -p "$work/$name"
    log=$out/$name.log
    mapfile -t opts < <(fuzz_options "$name")
    echo "== fuzz_$name: up to ${seconds}s or $max_runs runs (log $log)"
    start=$(date +%s)
    "$exe" "${opts[@]}" -max_total_time="$seconds" -runs="$max_runs" \
        -artifact_prefix="$out/$name-" "$work/$name" "$FUZZ_DIR/corpus/$name" >"$log" 2>&1
    rc=$?
    elapsed=$(( $(date +%s) - start ))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+' "$log" | tail -1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    corpus=$(find "$work/$name" -type f | wc -l)
    result=ok
    if [ $rc -ne 0 ]; then
        result="FINDING (exit $rc, see $log and $out/$name-*)"
        status=1
    fi
    summary+=("$(printf '%-14s %10s runs %6ss  cov %-5s ft %-6s corpus %-5s %s' \
        "$name" "${runs:-?}" "$elapsed" "${cov:-?}" "${ft:-?}" "$corpus" "$result")")
done

echo
echo "harness             executions   time  coverage (libFuzzer edges / features)"
printf '%s\n' "${summary[@]}"
exit $status
