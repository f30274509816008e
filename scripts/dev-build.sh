#!/usr/bin/env bash
# Builds the extension in place for development, without installing it:
#   scripts/dev-build.sh [BUILD_DIR] [extra cmake args...]
# then run the tests against it with
#   PYTHONPATH=BUILD_DIR python -m pytest
# Set SANITIZE=1 for an AddressSanitizer + UBSan build.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/dev}
mkdir -p "$build" && build=$(cd "$build" && pwd)
shift || true
type=${BUILD_TYPE:-Debug}
san=OFF
[ "${SANITIZE:-0}" = 1 ] && san=ON
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DTESSMOOR_PYTHON=ON \
    -DTESSMOOR_SANITIZE="$san" -DPython_EXECUTABLE="$(command -v python3)" \
    -DCMAKE_LIBRARY_OUTPUT_DIRECTORY="$build" "$@" >/dev/null
# The module is tessmoor.abi3.so now; a tessmoor.cpython-3xx-*.so left by an
# older build would be imported in its place.
rm -f "$build"/tessmoor.cpython-*.so
cmake --build "$build" -j "${JOBS:-2}"
# The Python code of tessmoor_bulk beside its native part, so that
# PYTHONPATH=BUILD_DIR imports the package as installed.
mkdir -p "$build/tessmoor_bulk"
for f in "$here"/python/tessmoor_bulk/*; do
    ln -sf "$f" "$build/tessmoor_bulk/"
done
