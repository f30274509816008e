"""Benchmark of `tessmoor export RUN ... --out-dir DIR -j N`: eight synthetic
runs converted one at a time (-j 1, each export decoding on every core) and
two at a time (-j 2, one decoding thread each), in child processes, page
cache warm.

Writes (or reuses) RUNS synthetic runs in DIR (default bench/data/many), each
of SCANS ion-mobility scans of 12,200 records and half as many Q-TOF scans
of 11,000 (bench/synthetic.py), and prints the wall time of each -j, the
input per second, and the ratio of the two times measured in the same run:

    PYTHONPATH=build/rel python bench/bench_export_many.py [--dir DIR] [--runs N] [--scans N]
        [--format mzML|parquet] [--compression C] [--rounds N]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from synthetic import DATA, write_run  # noqa: E402


def export(paths: list[str], out: Path, jobs: int, fmt: str, compression: str | None) -> float:
    shutil.rmtree(out, ignore_errors=True)
    argv = [sys.executable, "-m", "tessmoor_bulk", "export", *paths, "--out-dir", str(out), "--format", fmt,
            "-j", str(jobs), "--quiet"] + (["--compression", compression] if compression else [])
    t = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - t


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", type=Path, default=DATA / "many")
    parser.add_argument("--runs", type=int, default=8)
    parser.add_argument("--scans", type=int, default=600, help="scans of function 1 per run (function 2: half)")
    parser.add_argument("--format", default="mzML", choices=("mzML", "parquet"))
    parser.add_argument("--compression", help="the export's --compression (default: the format's)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--out", type=Path, help="where the outputs go (default: a temporary directory)")
    args = parser.parse_args()

    t = time.perf_counter()
    paths = [str(write_run(args.dir / f"run{i:02d}.raw", args.scans, args.scans // 2, seed=i))
             for i in range(args.runs)]
    dat = sum(f.stat().st_size for p in paths for f in Path(p).glob("_FUNC*.DAT"))
    print(f"{args.runs} runs, {dat / 1e6:.0f} MB of DAT ({time.perf_counter() - t:.1f} s to write or find); "
          f"{args.format}, {os.cpu_count()} cores")

    with tempfile.TemporaryDirectory(dir=args.out) as scratch:
        out = Path(scratch) / "out"
        export(paths, out, 2, args.format, args.compression)  # warms the page cache
        size = sum(f.stat().st_size for f in out.iterdir())
        times: dict[int, list[float]] = {1: [], 2: []}
        for _ in range(args.rounds):
            for jobs in times:
                times[jobs].append(export(paths, out, jobs, args.format, args.compression))
    median = {jobs: statistics.median(ts) for jobs, ts in times.items()}
    for jobs, seconds in median.items():
        print(f"  -j {jobs}: {seconds:6.2f} s  {dat / seconds / 1e6:6.1f} MB/s of DAT  (median of {args.rounds})")
    print(f"  outputs: {size / 1e6:.0f} MB")
    print(f"  -j 1 / -j 2 time: {median[1] / median[2]:.2f}")


if __name__ == "__main__":
    main()
