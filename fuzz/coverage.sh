#!/usr/bin/env bash
# Line and branch coverage of src/core by each harness's corpus:
#
#   fuzz/coverage.sh [HARNESS...]
#
# Builds the harnesses with clang's source-based coverage (no sanitizers),
# runs each once over its corpus (fuzz/corpus-work/<harness> when a long run
# made one, plus the committed seeds) and prints llvm-cov's summary of the
# core sources.  Reports go to fuzz/out/coverage-<harness>.txt.
set -uo pipefail
source "$(dirname "$0")/common.sh"

names=("$@")
[ ${#names[@]} -eq 0 ] && names=("${HARNESSES[@]}")
build=${FUZZ_COVERAGE_BUILD:-$ROOT/build/fuzz-coverage}
out=$FUZZ_DIR/out
mkdir -p "$out"

ensure_fuzz_toolchain || { echo "fuzz/coverage.sh: no clang with libFuzzer" >&2; exit 2; }
major=$("$CXX" -dumpversion | cut -d. -f1)
profdata=$(command -v "llvm-profdata-$major" || command -v llvm-profdata) || { echo "no llvm-profdata" >&2; exit 2; }
cov=$(command -v "llvm-cov-$major" || command -v llvm-cov) || { echo "no llvm-cov" >&2; exit 2; }

cmake -S "$FUZZ_DIR" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" -DFUZZ_COVERAGE=ON >/dev/null &&
    cmake --build "$build" -- -j "${FUZZ_BUILD_JOBS:-2}" >/dev/null || { echo "build failed" >&2; exit 1; }

for name in "${names[@]}"; do
    dirs=("$FUZZ_DIR/corpus/$name")
    [ -d "$FUZZ_DIR/corpus-work/$name" ] && dirs+=("$FUZZ_DIR/corpus-work/$name")
    rm -f "$build/$name.profraw"
    LLVM_PROFILE_FILE="$build/$name.profraw" "$build/fuzz_$name" -runs=0 "${dirs[@]}" >/dev/null 2>&1
    "$profdata" merge -sparse "$build/$name.profraw" -o "$build/$name.profdata"
    "$cov" report "$build/fuzz_$name" -instr-profile="$build/$name.profdata" \
        $(find "$ROOT/src/core" -name "*.cpp") >"$out/coverage-$name.txt"
    echo "== fuzz_$name ($(find "${dirs[@]}" -type f | wc -l) inputs)"
    # The files this harness reaches (line coverage above zero).
    awk 'NR == 1 || /^TOTAL/ || ($0 ~ /\.cpp/ && $10 != "0.00%")' "$out/coverage-$name.txt"
done
