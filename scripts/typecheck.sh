#!/usr/bin/env bash
# Type checks of the types the packages ship, against the installed package:
#
#   pip install '.[dask]'      # first, after every change to the package
#   scripts/typecheck.sh       # or: scripts/typecheck.sh --venv
#
# 1. mypy --strict on the examples and tests/typing_usage.py, which import
#    tessmoor and tessmoor_bulk as installed: the stub-only package
#    tessmoor-stubs, tessmoor_bulk's annotations (py.typed) and its
#    _native.pyi.
# 2. mypy --strict on the package's source, python/tessmoor_bulk.
# 3. python -m mypy.stubtest: those types against the modules as imported,
#    every submodule of tessmoor_bulk included (tessmoor_bulk.dask needs the
#    dask extra).  What cannot match is listed, with the reason, in
#    scripts/stubtest-allowlist.txt.
#
# --venv installs the package into a temporary virtual environment first,
# instead of using the current one.  mypy is installed when missing; PYTHON
# picks the interpreter.  A development build (PYTHONPATH=build/dev) is not
# what is checked: stubtest would import it while mypy reads the installed
# types.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
unset PYTHONPATH

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ "${1:-}" = --venv ]; then
    "$python" -m venv "$work/venv"
    python=$work/venv/bin/python
    "$python" -m pip install --quiet --upgrade pip
    "$python" -m pip install --quiet "$here[dask]"
elif [ $# -gt 0 ]; then
    echo "usage: $0 [--venv]" >&2
    exit 2
fi

# From a directory where nothing can shadow the installed modules.
cd "$work"
if ! "$python" -c "import tessmoor, tessmoor_bulk.dask" 2>/dev/null; then
    echo "typecheck: $python cannot import tessmoor and tessmoor_bulk.dask:" \
        "pip install '.[dask]' first (or run $0 --venv)" >&2
    exit 1
fi
# At least the release these types were checked with: stubtest's checks
# and mypy's typing features (PEP 696 defaults, @disjoint_base) grow from
# release to release.
"$python" -m pip install --quiet "mypy>=2.4"

echo "== mypy --strict: examples and tests/typing_usage.py, against the installed types"
(cd "$here" && "$python" -m mypy --strict examples tests/typing_usage.py)
echo "== mypy --strict: python/tessmoor_bulk"
(cd "$here" && "$python" -m mypy --strict python/tessmoor_bulk)
echo "== stubtest: tessmoor, tessmoor_bulk"
"$python" -m mypy.stubtest --mypy-config-file "$here/pyproject.toml" \
    --allowlist "$here/scripts/stubtest-allowlist.txt" tessmoor tessmoor_bulk
