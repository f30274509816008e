"""Benchmark of tessmoor_bulk on the ~1.25 GiB synthetic run (bench/synthetic.py).

Measures, in one process, with the page cache warm:

  * the numpy baseline: what a numpy user writes for function 1 (the DAT
    read once, one vectorised decode per scan, copied into preallocated flat
    mz/intensity arrays with offsets), in scan records per second;
  * run.spectra(1) with one thread and with every core, against it;
  * one read of the DAT into a preallocated buffer, against spectra(1) with
    every core and against run.tic(1);
  * run.spectrum(f, s) against reader.read_spectrum(f, s), per call, on the
    large run and on a run of the same scans a hundred times smaller;

and, each in a fresh process, the peak memory of spectra(1), tic(1) and
iter_spectra(1).  Every figure is the median of --rounds rounds, the
contenders interleaved, and reported as a ratio measured in this run.

    python bench/bench_bulk.py [--rounds N] [--dir DIR]
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synthetic  # noqa: E402
import tessmoor_bulk  # noqa: E402


def numpy_baseline(root: Path, func: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Function `func` (30-byte index, 8-byte records, T1 calibration) decoded
    the way a numpy user would write it."""
    info = tessmoor_bulk.Run(root).functions[func - 1]
    cal = synthetic.CALIBRATION[func]
    lteff, veff = synthetic.LTEFF, synthetic.VEFF
    fc = ((lteff * 0.001) * np.sqrt(1.6726219e-27 / (veff * 3.2043532e-19))) * 1000000.0
    dat = np.fromfile(root / f"_FUNC{func:03d}.DAT", dtype=np.uint8)
    rec = dat.view([("pad", "<u2"), ("inten", "<u2"), ("frac", "<u2"), ("bin", "<u2")])
    idx = np.fromfile(root / f"_FUNC{func:03d}.IDX", dtype=np.uint8).reshape(-1, 30)
    offsets = idx[:, 22:26].copy().view("<u4").ravel().astype(np.int64)
    ends = np.append(offsets[1:], dat.size)
    t_lo = fc * np.sqrt(float(info.mz_low))
    t_hi = fc * np.sqrt(float(info.mz_high))
    n_max = int((ends - offsets).sum() // 8)
    mz_out = np.empty(n_max, np.float64)
    int_out = np.empty(n_max, np.float32)
    out_offsets = np.empty(len(offsets) + 1, np.int64)
    pos = 0
    for i, (o, e) in enumerate(zip(offsets, ends)):
        out_offsets[i] = pos
        r = rec[o // 8:e // 8]
        first, last = float(r["bin"][0]), float(r["bin"][-1])
        slope = (t_hi - t_lo) / (last - first)
        keep = r["inten"] != 0
        kept = r[keep]
        x = (kept["bin"] - first) + kept["frac"] * (1 / 65536)
        t = t_lo + slope * x
        s = t * cal[1] + cal[0]
        q = s / fc
        k = len(q)
        mz_out[pos:pos + k] = q * q
        int_out[pos:pos + k] = kept["inten"]
        pos += k
    out_offsets[-1] = pos
    return out_offsets, mz_out[:pos], int_out[:pos]


def read_whole(path: Path, buf: np.ndarray) -> float:
    with open(path, "rb", buffering=0) as f:
        t = time.perf_counter()
        f.readinto(buf)
        return time.perf_counter() - t


def timed(fn, *args, **kw) -> float:
    t = time.perf_counter()
    result = fn(*args, **kw)
    elapsed = time.perf_counter() - t
    del result
    return elapsed


PEAK_SCRIPT = """
import sys, tessmoor_bulk
run = tessmoor_bulk.Run(sys.argv[1])
what = sys.argv[2]
def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
def rss():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
run.tic(1, threads=1)  # warm: libraries loaded, pools made
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = rss()
out = 0
if what == "spectra":
    b = run.spectra(1)
    out = b.mz.nbytes + b.intensity.nbytes + b.offsets.nbytes + b.scans.nbytes + b.rt_min.nbytes
elif what == "tic":
    run.tic(1)
else:
    for b in run.iter_spectra(1):
        pass
print(hwm() - base, out)
"""


def peak(root: Path, what: str) -> tuple[int, int]:
    out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, str(root), what], check=True,
                         capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dir", type=Path, default=synthetic.DATA)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--calls", type=int, default=300)
    args = ap.parse_args()

    large = synthetic.large_run(args.dir)
    small = synthetic.small_run(args.dir)
    run = tessmoor_bulk.Run(large)
    dat = large / "_FUNC001.DAT"
    records = dat.stat().st_size // 8
    buf = np.empty(dat.stat().st_size, np.uint8)
    buf[:] = 0
    cores = tessmoor_bulk._native.available_cores()
    print(f"{large}: function 1 holds {records / 1e6:.0f} M records ({dat.stat().st_size / 2**30:.2f} GiB); "
          f"{cores} cores")

    # Fresh memory costs more the first time the machine hands it out than
    # when it comes back after being freed (a virtual machine backs its
    # pages lazily).  Touch twice the largest output once, so that every
    # contender below starts from memory in the same state.
    warm = np.ones(2 * records * 12 // 8, dtype=np.float64)
    del warm

    # The baseline must give the same arrays as spectra(1).
    ref = run.spectra(1)
    offs, mz, inten = numpy_baseline(large, 1)
    same = np.array_equal(offs, ref.offsets) and np.array_equal(mz, ref.mz) and np.array_equal(inten, ref.intensity)
    print(f"numpy baseline equal to spectra(1): {same}")
    del ref, offs, mz, inten

    samples: dict[str, list[float]] = {k: [] for k in ("baseline", "spectra1", "spectraN", "read", "tic")}
    for _ in range(args.rounds):
        samples["read"].append(read_whole(dat, buf))
        samples["baseline"].append(timed(numpy_baseline, large, 1))
        samples["spectra1"].append(timed(run.spectra, 1, threads=1))
        samples["spectraN"].append(timed(run.spectra, 1))
        samples["tic"].append(timed(run.tic, 1))
    t = {k: statistics.median(v) for k, v in samples.items()}
    rate = {k: records / t[k] / 1e6 for k in ("baseline", "spectra1", "spectraN")}
    print(f"\nmedian of {args.rounds} rounds, interleaved")
    print(f"  read of the DAT into a buffer    {t['read']:7.3f} s")
    print(f"  numpy baseline                   {t['baseline']:7.3f} s  {rate['baseline']:6.1f} M records/s")
    print(f"  spectra(1, threads=1)            {t['spectra1']:7.3f} s  {rate['spectra1']:6.1f} M records/s"
          f"   {rate['spectra1'] / rate['baseline']:.2f}x the baseline (want >= 3)")
    print(f"  spectra(1), {cores} threads           {t['spectraN']:7.3f} s  {rate['spectraN']:6.1f} M records/s"
          f"   {t['spectra1'] / t['spectraN']:.2f}x one thread (want >= 1.7), "
          f"{t['spectraN'] / t['read']:.2f}x the read (want <= 3)")
    print(f"  tic(1)                           {t['tic']:7.3f} s"
          f"   {t['tic'] / t['read']:.2f}x the read (want <= 1.5)")

    # Both readers do the same work per call whatever the DAT size; what can
    # still differ between the runs is where the scans' bytes sit: the small
    # run's picks fit in the last-level cache, the large run's come from memory.
    print(f"\nper call, {args.calls} random scans, median of {args.rounds} rounds (small and large interleaved)")
    runs = {"small": tessmoor_bulk.Run(small), "large": run}
    for func, ims in ((1, False), (1, True), (2, False)):
        per: dict[str, list[float]] = {}
        for k in range(args.rounds):
            for name, r in runs.items():
                picks = [random.Random(k).randrange(r.n_scans(func)) for _ in range(args.calls)]
                legacy = r.reader.read_ims_spectrum if ims else r.reader.read_spectrum
                for label, fn in (("bulk", lambda s: r.spectrum(func, s, ims=ims)), ("tessmoor", lambda s: legacy(func, s))):
                    for s in picks:  # warm
                        fn(s)
                    t0 = time.perf_counter()
                    for s in picks:
                        fn(s)
                    per.setdefault(f"{label}-{name}", []).append((time.perf_counter() - t0) / args.calls)
        m = {key: statistics.median(v) for key, v in per.items()}
        print(f"  func {func}{' ims' if ims else '    '}  spectrum: small {m['bulk-small'] * 1e6:7.1f} us, "
              f"large {m['bulk-large'] * 1e6:7.1f} us (large/small {m['bulk-large'] / m['bulk-small']:.2f}); "
              f"tessmoor on large {m['tessmoor-large'] * 1e6:7.1f} us (bulk/tessmoor "
              f"{m['bulk-large'] / m['tessmoor-large']:.2f}; tessmoor large/small "
              f"{m['tessmoor-large'] / m['tessmoor-small']:.2f})")

    print("\npeak memory, each in a fresh process (rise of the resident high-water mark)")
    used, out = peak(large, "spectra")
    print(f"  spectra(1)      {used / 2**20:8.0f} MiB for {out / 2**20:.0f} MiB of output "
          f"(want <= {(1.1 * out + 64 * 2**20) / 2**20:.0f})")
    for what in ("tic", "iter_spectra"):
        used, _ = peak(large, what)
        print(f"  {what:15s} {used / 2**20:8.0f} MiB (want <= 256)")


if __name__ == "__main__":
    main()
