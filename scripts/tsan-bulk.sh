#!/usr/bin/env bash
# The threaded bulk reads of the core under ThreadSanitizer:
#
#   scripts/tsan-bulk.sh [BUILD_DIR]          (default build/tsan)
#
# Builds src/core and scripts/tsan_bulk.cpp with -fsanitize=thread, and
# src/core/bulk/plan.cpp (the only unit the chunk sizes reach) twice: with
# the chunk sizes that ship, and with chunks of a few records
# (TESSMOOR_TEST_CHUNKS), which cut even a small read into many chunks.
# Writes a synthetic run with tests/rawwriter.py (about 10 MB: both index
# layouts, a scan larger than a chunk, empty scans, and a function whose
# bad scans fail every read), then runs the driver on it with each build: reads on
# several threads, and several callers at once on one FunctionReader.  Any
# ThreadSanitizer report, or a result that differs from the single-threaded
# one, fails the run.  Python is not involved: the interpreter and numpy
# under ThreadSanitizer report races of their own.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/tsan}
mkdir -p "$build/obj" && build=$(cd "$build" && pwd)
if [ -z "${CXX:-}" ]; then
    CXX=g++
    command -v clang++ >/dev/null 2>&1 && CXX=clang++
fi
flags=(-std=c++20 -O1 -g -fsanitize=thread -fno-omit-frame-pointer -Wall -Wextra
    -ffp-contract=off -fno-fast-math -I "$here/src")

# Objects: the core once; plan.cpp once per chunk size.  Two compilers at a
# time (JOBS).
compile() {  # OBJECT SOURCE [FLAGS...]
    local obj=$1
    shift
    "$CXX" "${flags[@]}" -c -o "$build/obj/$obj" "$@"
}
units=()
for src in $(find "$here/src/core" -name "*.cpp" -not -path "*/export/*" | sort); do
    [ "$src" = "$here/src/core/bulk/plan.cpp" ] || units+=("$(basename "$src" .cpp).o $src")
done
units+=("plan.o $here/src/core/bulk/plan.cpp" "plan-small.o $here/src/core/bulk/plan.cpp -DTESSMOOR_TEST_CHUNKS"
    "tsan_bulk.o $here/scripts/tsan_bulk.cpp")
pids=()
for unit in "${units[@]}"; do
    # shellcheck disable=SC2086  # object, source and flags, none with spaces
    compile $unit &
    pids+=($!)
    if [ ${#pids[@]} -ge "${JOBS:-2}" ]; then
        wait "${pids[0]}"
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do wait "$pid"; done
core=()
for unit in "${units[@]}"; do
    obj=${unit%% *}
    case $obj in plan.o | plan-small.o | tsan_bulk.o) ;; *) core+=("$build/obj/$obj") ;; esac
done
link() {  # EXECUTABLE PLAN_OBJECT
    "$CXX" -fsanitize=thread -pthread -o "$build/$1" "$build/obj/tsan_bulk.o" "${core[@]}" "$build/obj/$2"
}
link tsan_bulk plan.o
link tsan_bulk_small plan-small.o

run=$build/run.raw
rm -rf "$run"
PYTHONPATH=$here/tests python3 - "$run" <<'PY'
import sys
import rawwriter as rw

def peaks(i, n):
    return [(1000 + (37 * k + 11 * i) % 38000, 1 + (k * i) % 255) for k in range(n)]

def records(i, n):
    return [(1 + (k * i) % 9000, (4099 * k) % 65536, 100 + (k * 13 + i) % 30000) for k in range(n)]

# Function 1: 22-byte index, 800 scans of up to 1000 peaks (about 2.5 MB).
a = rw.FunctionData("A", [rw.scan_a(40000, peaks(i, (i * 7919) % 1000)) for i in range(800)])
# Function 2: 30-byte index, 700 scans of up to 700 records, empty scans, and
# one scan of 2.4 MB, larger than a chunk, which is streamed in pieces.
b_scans = [rw.scan_8(records(i, (i * 104729) % 700)) for i in range(700)]
b_scans[100:100] = [b"", b""]
b_scans[350:350] = [rw.scan_8(records(350, 300000))]
b = rw.FunctionData("B", b_scans)
# Function 3: 30-byte index whose scans 150, 151 and 400 are no whole number
# of records: every read of it fails, on scan 150, while other threads fail
# on the others.
c_scans = [rw.scan_8(records(i, 600 + i % 600)) for i in range(500)]
for i in (150, 151, 400):
    c_scans[i] += b"\0" * 4
c = rw.FunctionData("B", c_scans)
fs = [rw.Function(), rw.Function(scan_time_s=0.05, mz_low=100.0), rw.Function()]
rw.make_run(sys.argv[1], functions=fs, data={1: a, 2: b, 3: c}, header=rw.header_text({1: "0,1,T1"}))
PY

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
echo "tsan-bulk: chunk sizes as shipped"
"$build/tsan_bulk" "$run"
# Small chunks: 64-byte reads, so only the first scans of each function.
echo "tsan-bulk: chunks of a few records"
"$build/tsan_bulk_small" "$run" 500
echo "tsan-bulk: no ThreadSanitizer report, every result as on one thread"
