"""Memory use of the two text parsers on hostile files: reading _HEADER.TXT
and _extern.inf holds the file, its decoded text and the record being
built, but no list of the file's lines, of a line's tokens or of a
calibration line's items.  Such lists cost 13 to 34 times the file size on
files of many tiny lines, tokens or items."""

import os
import subprocess
import sys

import pytest

from rawwriter import make_run

SIZE = 4 * 2**20
CONSTANTS = b"Lteff 1\nVeff 2\nPusherInterval 3\n"

# A fresh interpreter opens the run and reports how far its peak resident
# size (VmHWM, which starts anew at exec) rose while it did, in KiB.
CHILD = """
import sys, tessmoor
def peak():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
before = peak()
tessmoor.RawReader(sys.argv[1])
print(peak() - before)
"""


def under_address_sanitizer():
    """The child inherits a preloaded ASan runtime (scripts/sanitize-pytest.sh),
    whose redzones and quarantine of freed blocks make the peak meaningless."""
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
@pytest.mark.parametrize("files", [
    {"header": b"\n" * SIZE},
    {"header": b"$$ Cal Function 1: " + b"," * SIZE + b"T1\n"},
    {"extern": CONSTANTS + b"\r\n" * (SIZE // 2)},
    {"extern": CONSTANTS + b"a " * (SIZE // 2)},
], ids=["header lines", "header blank items", "extern lines", "extern tokens"])
def test_peak_memory_stays_near_file_size(tmp_path, files):
    if under_address_sanitizer():
        pytest.skip("peak resident size is meaningless under AddressSanitizer")
    root = make_run(tmp_path / "r.raw", **files)
    out = subprocess.run([sys.executable, "-c", CHILD, str(root)], env=dict(os.environ),
                         capture_output=True, text=True, check=True)
    grown = int(out.stdout) * 1024
    assert grown < 8 * SIZE, f"peak grew by {grown / SIZE:.1f} times the file size"
