#!/usr/bin/env bash
# Builds the documentation and runs its examples:
#   scripts/docs.sh [OUT_DIR]        (default build/docs; the HTML in OUT_DIR/html)
# tessmoor must be importable: installed, or PYTHONPATH=build/dev after
# scripts/dev-build.sh.  What the build needs beside it (docs/requirements.txt)
# is installed when missing.  Warnings are errors; every example of the guide
# and every command shown in the command line reference runs, and a failing
# one fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/docs}

missing=$(python - <<'PY'
import re
from importlib.metadata import PackageNotFoundError, version

for line in open("docs/requirements.txt"):
    name = re.match(r"[A-Za-z0-9._-]*", line.split("#")[0].strip()).group()
    try:
        name and version(name)
    except PackageNotFoundError:
        print(name)
PY
)
if [ -n "$missing" ]; then
    python -m pip install --quiet --disable-pip-version-check -r docs/requirements.txt
fi

# -E: every page is read again, so every command on it runs again.  The
# doctest builder then reuses what the HTML build read.
python -m sphinx -E -W --keep-going -q -b html -d "$out/doctrees" docs "$out/html"
python -m sphinx -W --keep-going -q -b doctest -d "$out/doctrees" docs "$out/doctest"
tail -n 4 "$out/doctest/output.txt"
