"""Benchmark of tessmoor_bulk.dask on a local cluster of one and of two
worker processes.

Writes (or reuses) RUNS synthetic runs in DIR (default bench/data/dask), each
with a function of 8-byte scan records and one of 6-byte records (about
80 MB of DAT per run with the defaults), then times, with the page cache warm
and the configurations interleaved, the median of several rounds of:

  * loop:       Run.spectra of every run and function in one process, one
                decoding thread (the single-process reference);
  * len:        read_spectra(...).map_partitions(len).compute(): every
                partition read and laid out as a DataFrame on the workers;
  * parquet:    read_spectra(...).to_parquet(...): the same, written by the
                workers to a Parquet dataset, once with pyarrow's default
                options and once with those of the Parquet export (zstd,
                dictionaries only for the repeating columns, byte-stream
                split peak values).

    BUILD_TYPE=Release scripts/dev-build.sh build/rel
    PYTHONPATH=build/rel python bench/bench_dask.py [--dir DIR] [--runs N] [--scans N]
        [--scans-per-partition N] [--rounds N]

Every worker is a process with one thread, and each task decodes on one
thread; the client only sends paths and scan ranges.
"""

from __future__ import annotations

import argparse
import logging
import shutil
import statistics
import sys
import time
from pathlib import Path

import distributed

sys.path.insert(0, str(Path(__file__).resolve().parent))

import tessmoor_bulk  # noqa: E402
import tessmoor_bulk.dask  # noqa: E402
from synthetic import DATA, write_run  # noqa: E402

FUNCS = [1, 2]

# The Parquet export's choices: zstd, dictionaries for the columns that
# repeat over a scan's peaks, the bytes of the peak values split into streams.
EXPORT_OPTIONS = dict(compression="zstd", use_dictionary=["run", "function", "scan", "rt_min"],
                      column_encoding={"mz": "BYTE_STREAM_SPLIT", "intensity": "BYTE_STREAM_SPLIT"})


def loop(paths: list[str]) -> int:
    return sum(tessmoor_bulk.Run(p).spectra(f, threads=1).n_peaks for p in paths for f in FUNCS)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", type=Path, default=DATA / "dask")
    parser.add_argument("--runs", type=int, default=8)
    parser.add_argument("--scans", type=int, default=600, help="scans of function 1 per run (function 2: half)")
    parser.add_argument("--scans-per-partition", type=int, default=tessmoor_bulk.dask.DEFAULT_SCANS_PER_PARTITION)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    logging.getLogger("distributed").setLevel(logging.ERROR)

    t = time.perf_counter()
    paths = [str(write_run(args.dir / f"run{i:02d}.raw", args.scans, args.scans // 2, seed=i))
             for i in range(args.runs)]
    dat = sum(f.stat().st_size for p in paths for f in Path(p).glob("_FUNC*.DAT"))
    print(f"{args.runs} runs, {dat / 1e6:.0f} MB of DAT ({time.perf_counter() - t:.1f} s to write or find)")
    peaks = loop(paths)  # also warms the page cache
    out = args.dir / "out.parquet"

    def frame():
        return tessmoor_bulk.dask.read_spectra(paths, FUNCS, scans_per_partition=args.scans_per_partition)

    def count() -> None:
        assert int(frame().map_partitions(len).compute().sum()) == peaks

    sizes: dict[str, int] = {}

    def parquet(name: str, **options) -> None:
        shutil.rmtree(out, ignore_errors=True)
        frame().to_parquet(out, write_index=False, **options)
        sizes[name] = sum(f.stat().st_size for f in out.rglob("*.parquet"))

    steps = {"len": count, "parquet, defaults": lambda: parquet("defaults"),
             "parquet, export options": lambda: parquet("export options", **EXPORT_OPTIONS)}
    clusters = {n: distributed.LocalCluster(n_workers=n, processes=True, threads_per_worker=1,
                                            dashboard_address=":0") for n in (1, 2)}
    times: dict[str, list[float]] = {}
    try:
        for _ in range(args.rounds):
            t = time.perf_counter()
            loop(paths)
            times.setdefault("loop, 1 process", []).append(time.perf_counter() - t)
            for n, cluster in clusters.items():
                with distributed.Client(cluster):
                    for name, step in steps.items():
                        t = time.perf_counter()
                        step()
                        times.setdefault(f"{name}, {n} worker(s)", []).append(time.perf_counter() - t)
    finally:
        for cluster in clusters.values():
            cluster.close()
        shutil.rmtree(out, ignore_errors=True)

    print(f"{frame().npartitions} partitions, {peaks / 1e6:.1f} M rows, "
          f"scans_per_partition={args.scans_per_partition}, median of {args.rounds} rounds")
    median = {name: statistics.median(ts) for name, ts in times.items()}
    for name, seconds in median.items():
        print(f"  {name:<36} {seconds:7.2f} s  {peaks / seconds / 1e6:6.1f} M rows/s")
    for name in steps:
        print(f"  {name}: 2 workers / 1 worker speed-up "
              f"{median[f'{name}, 1 worker(s)'] / median[f'{name}, 2 worker(s)']:.2f}")
    print(f"  len, 1 worker / loop: {median['len, 1 worker(s)'] / median['loop, 1 process']:.2f}")
    for name, size in sizes.items():
        print(f"  Parquet dataset with {name}: {size / 1e6:.0f} MB")
    print(f"  parquet, defaults / export options, 2 workers: "
          f"{median['parquet, defaults, 2 worker(s)'] / median['parquet, export options, 2 worker(s)']:.2f}")


if __name__ == "__main__":
    main()
