#!/usr/bin/env bash
# CI smoke run of the fuzz harnesses: builds them all and runs each for a few
# seconds over its committed seeds, so that a harness that no longer builds,
# or that crashes at once, fails the run.
#
#   fuzz/smoke.sh [SECONDS_PER_HARNESS]     (default 5)
#
# Installs clang and libFuzzer with apt-get when they are missing.  When that
# is impossible here, it says so loudly and exits 0: the smoke run is then
# skipped, not passed.
set -uo pipefail
source "$(dirname "$0")/common.sh"

seconds=${1:-5}
if ! ensure_fuzz_toolchain; then
    echo "################################################################"
    echo "## FUZZ SMOKE RUN SKIPPED: no clang++ with libFuzzer here"
    echo "## (install clang and libclang-rt-<version>-dev to run it)"
    echo "################################################################"
    exit 0
fi

build=${FUZZ_BUILD:-$ROOT/build/fuzz-smoke}
build_harnesses "$build" || { echo "fuzz smoke: the harnesses do not build" >&2; exit 1; }

# The fuzzer writes new inputs into its first corpus directory: give it a
# scratch one so that the committed seeds stay as they are.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=()
for name in "${HARNESSES[@]}"; do
    mkdir -p "$scratch/$name"
    mapfile -t opts < <(fuzz_options "$name")
    if "$build/fuzz_$name" "${opts[@]}" -max_total_time="$seconds" \
        -artifact_prefix="$scratch/$name-" "$scratch/$name" "$FUZZ_DIR/corpus/$name" \
        >"$scratch/$name.log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$name.log" | tail -1)
        echo "fuzz smoke: fuzz_$name ok (${runs:-?} runs in ${seconds}s)"
    else
        echo "fuzz smoke: fuzz_$name FAILED; end of its log:"
        tail -n 40 "$scratch/$name.log"
        for a in "$scratch/$name"-*; do
            [ -f "$a" ] && { echo "crashing input ($a), base64:"; base64 "$a" | head -c 4000; echo; }
        done
        failed+=("$name")
    fi
done

n=${#HARNESSES[@]}
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz-smoke: $((n - ${#failed[@]})) passed, ${#failed[@]} failed (${failed[*]})"
    exit 1
fi
echo "fuzz-smoke: $n passed, 0 failed"
