#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole test suite under them, leak checking included:
#
#   scripts/sanitize-pytest.sh [BUILD_DIR] [pytest args...]
#
# BUILD_DIR defaults to build/asan.  The interpreter is not instrumented, so
# the ASan runtime is preloaded into it; PYTHONMALLOC=malloc sends Python's
# object allocations through ASan too, so that a reference-count error on a
# module object shows as a use after free.  Any sanitizer report fails the
# run (UBSan does not recover; LeakSanitizer exits non-zero at the end).
# Leaks not reported: those listed in scripts/lsan-python.supp (the
# interpreter's and polars' own), and whatever other libraries leak while
# they are imported (scripts/lsan/sitecustomize.py, which every Python
# process of the run imports, the ones the tests start too).  This project's
# modules and everything done at run time are checked.
# ASAN_EXTRA=... is put in front of ASAN_OPTIONS, e.g.
# ASAN_EXTRA=fast_unwind_on_malloc=0: for whole stacks (much slower).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/asan}
shift || true
case $build in /*) ;; *) build=$PWD/$build ;; esac

SANITIZE=1 "$here/scripts/dev-build.sh" "$build"

# The real interpreter, not a wrapper script (a preloaded runtime would also
# check the wrapper's shell).
python=$(python3 -c 'import sys; print(sys.executable)')
libasan=$(${CXX:-c++} -print-file-name=libasan.so)
[ -f "$libasan" ] || { echo "sanitize-pytest: no libasan.so for ${CXX:-c++}" >&2; exit 2; }
# The C++ runtime is preloaded too.  ASan wraps __cxa_throw and looks the
# real one up when it starts; the interpreter does not link libstdc++, which
# arrives later with the first extension, so without this the first C++
# exception (tessmoor_bulk's nanobind layer turns failures into Python
# exceptions by throwing) stops the run with "CHECK failed ... real___cxa_throw".
libstdcxx=$(${CXX:-c++} -print-file-name=libstdc++.so.6)

cd "$here"
export ASAN_OPTIONS=${ASAN_EXTRA:-}detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export LSAN_OPTIONS=suppressions=$here/scripts/lsan-python.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
# Tests that time the library allow for the instrumentation's slowness.
export TESSMOOR_INSTRUMENTED=asan
export PYTHONPATH=$here/scripts/lsan:$build${PYTHONPATH:+:$PYTHONPATH}
# pytest-benchmark, where it is installed (the suite does not use it), leaves
# a float of its own behind once numpy is loaded.
LD_PRELOAD="$libasan $libstdcxx" exec "$python" -m pytest -p no:cacheprovider -p no:benchmark "${@:-tests}"
