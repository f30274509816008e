"""The size of the export of the synthetic run (bench/synthetic.py, about
1.25 GiB of DAT) with each compression: mzML with zlib, none, numpress and
numpress-zlib, and Parquet with zstd for comparison, each written by
`tessmoor export` in a child process, with its time.  Sizes are printed in
MB and as multiples of the DAT input, times as multiples of the zlib
export's, all measured in one run.

    PYTHONPATH=build/rel python bench/bench_export_sizes.py [--run DIR] [--out DIR] [--ims]
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from synthetic import large_run  # noqa: E402

EXPORTS = [("mzML", "zlib"), ("mzML", "none"), ("mzML", "numpress"), ("mzML", "numpress-zlib"),
           ("parquet", "zstd")]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--run", type=Path)
    parser.add_argument("--out", type=Path, help="where the outputs go, one at a time (default: a temporary directory)")
    parser.add_argument("--ims", action="store_true", help="export with drift times (--ims)")
    args = parser.parse_args()
    run = args.run or large_run()
    dat = sum(f.stat().st_size for f in run.glob("_FUNC*.DAT"))
    print(f"{run}: {dat / 1e6:.0f} MB of DAT{', with drift times' if args.ims else ''}")
    rows = []
    with tempfile.TemporaryDirectory(dir=args.out) as scratch:
        for fmt, compression in EXPORTS:
            out = Path(scratch) / f"run.{fmt}"
            argv = [sys.executable, "-m", "tessmoor_bulk", "export", str(run), str(out), "--compression",
                    compression, "--quiet"] + (["--ims"] if args.ims else [])
            t = time.perf_counter()
            subprocess.run(argv, check=True)
            seconds = time.perf_counter() - t
            rows.append((fmt, compression, out.stat().st_size, seconds))
            out.unlink()
    zlib_seconds = rows[0][3]
    for fmt, compression, size, seconds in rows:
        print(f"  {fmt:<8} {compression:<14} {size / 1e6:8.0f} MB  {size / dat:5.2f} x DAT  "
              f"{seconds:6.1f} s  {seconds / zlib_seconds:4.2f} x zlib's time")


if __name__ == "__main__":
    main()
