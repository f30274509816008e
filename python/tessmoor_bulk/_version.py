"""The version of the distribution tessmoor, looked up once: what
`tessmoor_bulk.__version__`, ``tessmoor --version`` and the software entry
of mzML exports give."""

from importlib import metadata

try:
    version = metadata.version("tessmoor")
except metadata.PackageNotFoundError:
    # A development build (scripts/dev-build.sh), not installed: a local
    # version label that sorts before every release.
    version = "0+unknown"
