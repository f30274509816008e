#!/usr/bin/env bash
# Runs the whole test suite under valgrind memcheck against a plain (not
# sanitized) debug build of the extension:
#
#   scripts/valgrind-pytest.sh [BUILD_DIR] [pytest args...]
#
# BUILD_DIR defaults to build/valgrind.  PYTHONMALLOC=malloc_debug makes
# every Python allocation visible to memcheck (and adds CPython's own checks
# of its allocator API); unlike plain "malloc" it also fills new blocks, which
# silences a harmless read of an uninitialised digit in CPython 3.11's
# int.from_bytes that would otherwise be reported at every start of the
# interpreter.  The module's own C++ allocations are checked either way.
# The run fails on any memory error and on any definite leak.  Indirect
# leaks are shown but do not fail it: every leaked object graph has a
# definitely lost root, and the interpreter leaves a few such graphs of its
# own (constants of compiled code) whose roots the suppressions name.
# "Possibly lost" and "still reachable" blocks are the interpreter's own
# caches and are not reported.
# Installs valgrind with apt-get when it is missing and the user is root.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/valgrind}
shift || true
case $build in /*) ;; *) build=$PWD/$build ;; esac

if ! command -v valgrind >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null ||
            { apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null; }
    else
        echo "valgrind-pytest: valgrind is not installed" >&2
        exit 2
    fi
fi

BUILD_TYPE=${BUILD_TYPE:-Debug} SANITIZE=0 "$here/scripts/dev-build.sh" "$build"
python=$(python3 -c 'import sys; print(sys.executable)')

cd "$here"
export PYTHONMALLOC=malloc_debug
# Tests that time the library allow for the instrumentation's slowness.
export TESSMOOR_INSTRUMENTED=valgrind
export PYTHONPATH=$build${PYTHONPATH:+:$PYTHONPATH}
exec valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite \
    --track-origins=yes --num-callers=40 --trace-children=no --child-silent-after-fork=yes \
    --suppressions="$here/scripts/valgrind-python.supp" \
    "$python" -m pytest -p no:cacheprovider "${@:-tests}"
