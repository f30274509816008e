"""Sphinx configuration of tessmoor's documentation (built by scripts/docs.sh)."""

from __future__ import annotations

import atexit
import os
import shutil
import sys
import tempfile
from pathlib import Path

import tessmoor_bulk  # noqa: F401  (fails early when the package cannot be imported)

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "tessmoor"
copyright = "the tessmoor authors"
try:
    from importlib.metadata import version as _version

    release = _version("tessmoor")
except Exception:  # built against a development tree that is not installed
    release = ""
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.doctest",
    "tessmoor_docs",
]

exclude_patterns = ["_build"]
html_theme = "furo"
html_title = "tessmoor"
# `name` in the docstrings is code, and a link where the name is documented.
default_role = "py:obj"

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
# Long signatures one parameter a line.
python_maximum_signature_line_length = 80
# Annotations shown by the names the code gives them, not expanded.
autodoc_type_aliases = {
    "NDArray": "numpy.typing.NDArray",
    "Scans": "tessmoor_bulk._run.Scans",
    "Window": "tessmoor_bulk._run.Window",
}
napoleon_numpy_docstring = True
napoleon_google_docstring = False
napoleon_use_ivar = False

# The examples of the guide run in a scratch directory that holds the bundled
# sample run as examples/sample.raw, so that they read it by the name the
# README uses and write their outputs where nothing else lives.
_scratch = Path(tempfile.mkdtemp(prefix="tessmoor-docs-"))
atexit.register(shutil.rmtree, _scratch, ignore_errors=True)
(_scratch / "examples").symlink_to(ROOT / "examples")
os.environ["TESSMOOR_DOCS_SCRATCH"] = str(_scratch)

doctest_global_setup = """
import os
os.chdir(os.environ["TESSMOOR_DOCS_SCRATCH"])
import numpy as np
"""
