#!/usr/bin/env bash
# Runs the Dask tests (tests/test_dask.py, the two-worker LocalCluster one
# included) in the current Python environment, first installing the packages
# of the `dask` extra when they are missing:
#   scripts/dask-test.sh [pytest args...]
# It tests the tessmoor_bulk this interpreter imports: an installed one, or a
# development build with PYTHONPATH=build/dev.  PYTHON picks the interpreter.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
if ! "$python" -c "import tessmoor_bulk" 2>/dev/null; then
    echo "dask-test: $python cannot import tessmoor_bulk: pip install . or set PYTHONPATH=build/dev" >&2
    exit 1
fi
if ! "$python" -c "import dask.dataframe, distributed" 2>/dev/null; then
    # The extra's requirements, as pyproject.toml lists them.
    mapfile -t requirements < <("$python" - "$here/pyproject.toml" <<'PY'
import re, sys
listed = re.search(r'^dask = \[(.*)\]$', open(sys.argv[1]).read(), re.M).group(1)
print("\n".join(re.findall(r'"([^"]+)"', listed)))
PY
)
    "$python" -m pip install --quiet "${requirements[@]}"
fi
cd "$here"
exec "$python" -m pytest tests/test_dask.py "$@"
