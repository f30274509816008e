"""The Parquet export of the ~1.25 GiB synthetic run: speed and memory.

Runs `tessmoor export RUN OUT.parquet --quiet` (as `python -m tessmoor_bulk`)
in a child process, without and with --ims, and reports for each the wall
time, the DAT input per second of wall time and per second of CPU time, and
the child's peak resident memory.  Targets: at least 50 MB/s of DAT input,
peak memory under 512 MiB.  The DAT files are read once first, so that
every run starts from a warm page cache.

A child that only decodes the same scans (Run.iter_spectra, nothing kept)
runs before each export, so that the export's cost is also given as a
ratio to the decoding alone, measured under the same load of the machine.

    BUILD_TYPE=Release scripts/dev-build.sh build/rel
    PYTHONPATH=build/rel python bench/bench_export_parquet.py [RUN] [--out-dir DIR]

RUN defaults to bench/data/large.raw (written by bench/synthetic.py when
missing).  The output (about as large as the DAT) goes to a temporary
directory, removed at the end.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TARGET_MB_S = 50.0
TARGET_RSS_MIB = 512.0


def warm(paths: list[Path]) -> None:
    for p in paths:
        with open(p, "rb") as f:
            while f.read(1 << 24):
                pass


DECODE = """
import sys, tessmoor_bulk
run = tessmoor_bulk.Run(sys.argv[1])
for f in run.functions:
    ims = sys.argv[2] == "ims" and run.index_record_size(f.index) == 30
    for batch in run.iter_spectra(f.index, batch_scans=64, ims=ims):
        pass
"""


def export(run: Path, out: Path, ims: bool) -> tuple[float, float, float]:
    """(wall seconds, CPU seconds, peak RSS in MiB) of one export, in a child."""
    argv = [sys.executable, "-m", "tessmoor_bulk", "export", str(run), str(out), "--quiet"]
    if ims:
        argv.append("--ims")
    return measure(argv)


def decode(run: Path, ims: bool) -> tuple[float, float, float]:
    """The same of decoding every scan, in batches, and keeping nothing."""
    return measure([sys.executable, "-c", DECODE, str(run), "ims" if ims else "plain"])


def measure(argv: list[str]) -> tuple[float, float, float]:
    start = time.perf_counter()
    child = subprocess.Popen(argv)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)  # reaped by wait4, which gives its usage alone
    if child.returncode != 0:
        sys.exit(f"export failed with status {child.returncode}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("run", nargs="?", type=Path, help="a .raw directory (default: the synthetic large run)")
    parser.add_argument("--out-dir", type=Path, help="where the Parquet files go (default: a temporary directory)")
    args = parser.parse_args()
    if args.run is None:
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        from synthetic import large_run

        args.run = large_run()

    dats = sorted(args.run.glob("_FUNC*.DAT"))
    mb = sum(p.stat().st_size for p in dats) / 1e6
    print(f"run: {args.run} ({mb:.0f} MB of DAT in {len(dats)} files), {os.cpu_count()} cores")
    warm(dats)

    import pyarrow.parquet as pq

    print(f"{'':14} {'wall s':>7} {'MB/s':>7} {'CPU s':>7} {'MB/CPU-s':>9} {'peak MiB':>9} "
          f"{'rows':>12} {'out MB':>7}")
    failed = False
    with tempfile.TemporaryDirectory(dir=args.out_dir) as tmp:
        for ims in (False, True):
            name = "--ims" if ims else "plain"
            d_wall, d_cpu, d_rss = decode(args.run, ims)
            print(f"{'decode ' + name:14} {d_wall:7.1f} {mb / d_wall:7.1f} {d_cpu:7.1f} {mb / d_cpu:9.1f} "
                  f"{d_rss:9.0f}")
            out = Path(tmp) / "out.parquet"
            wall, cpu, rss = export(args.run, out, ims)
            rows = pq.ParquetFile(out).metadata.num_rows
            size = out.stat().st_size / 1e6
            out.unlink()
            ok = mb / wall >= TARGET_MB_S and rss < TARGET_RSS_MIB
            failed |= not ok
            print(f"{'export ' + name:14} {wall:7.1f} {mb / wall:7.1f} {cpu:7.1f} {mb / cpu:9.1f} "
                  f"{rss:9.0f} {rows:12,} {size:7.0f}  {'ok' if ok else 'BELOW TARGET'}")
            print(f"{'':14} export / decode: {wall / d_wall:.2f}x wall time, {cpu / d_cpu:.2f}x CPU time")
    print(f"targets: >= {TARGET_MB_S:.0f} MB/s of DAT input, peak < {TARGET_RSS_MIB:.0f} MiB")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
