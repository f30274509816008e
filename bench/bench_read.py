"""Benchmark of the scan queries on large synthetic runs.

Writes two runs whose DAT files differ a hundred times in size (same scans,
a hundred times as many of them), each with a function of 22-byte index
records (6-byte scan records) and one of 30-byte index records (8-byte scan
records), then measures in one process:

  * the per-call time of read_spectrum and read_ims_spectrum on random scans
    of each run, with the page cache warm, and the ratio large/small (a query
    reads only what it needs, so the ratio should stay near 1);
  * decoded scan records per second, reading every scan of a function in turn;
  * the per-call time of retention_time and read_spectrum on indexes whose
    size fits both record layouts (a multiple of 330 bytes), against indexes
    one record longer, which the size alone decides.  Their DAT files hold
    tiny scans, so the index is what costs.  A 22-byte-record index is
    settled from its first records (ratio near 1); a 30-byte-record one is
    Variant B only if all its offsets are consistent, so it is read whole.

    python bench/bench_read.py [--dir DIR] [--scale N] [--calls N] [--rounds N]

--scale sets the number of scans of the small run (the large run has a
hundred times as many); the default, 40, writes about 1.1 GiB of DAT in all.
The runs are kept in DIR (default bench/data) and reused when present.
"""

import argparse
import random
import statistics
import struct
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import tessmoor  # noqa: E402
from rawwriter import (Function, extern_text, functions_inf, header_text, idx_a_record,  # noqa: E402
                       idx_b_record, scan_8, scan_a)

POINTS_A = 12000   # 6-byte records per Encoding A scan (72 KB)
RECORDS_B = 12000  # 8-byte records per Encoding B/C scan (96 KB)


def scan_templates(rng):
    """A handful of distinct scans of each kind, repeated through the file."""
    a, b = [], []
    for _ in range(8):
        recs = bytearray(struct.pack("<HBBH", 0, 0x70, 0, 40000))
        for _ in range(POINTS_A - 1):
            recs += struct.pack("<HBBH", 0, 0, rng.randrange(1, 256), rng.randrange(4000, 40000))
        a.append(bytes(recs))
        bins = sorted(rng.randrange(1001, 29999) for _ in range(RECORDS_B - 2))
        recs = bytearray(struct.pack("<HHHH", 0, 3, 0, 1000))
        for tb in bins:
            recs += struct.pack("<HHHH", 0, rng.randrange(0, 3000), rng.randrange(65536), tb)
        recs += struct.pack("<HHHH", 0, 5, 0, 30000)
        b.append(bytes(recs))
    return a, b


def write_run(root: Path, n_scans: int, templates) -> None:
    a_scans, b_scans = templates
    root.mkdir(parents=True, exist_ok=True)
    (root / "_HEADER.TXT").write_text(header_text({1: "0,1,T1", 2: "0.001,0.9999,T1"}))
    (root / "_extern.inf").write_text(extern_text(lteff=1800, veff=7200))
    (root / "_FUNCTNS.INF").write_bytes(functions_inf([Function(), Function(mz_high=1200.0)]))
    for func, scans, variant in ((1, a_scans, "A"), (2, b_scans, "B")):
        idx = bytearray()
        offset = 0
        with open(root / f"_FUNC{func:03d}.DAT", "wb") as dat:
            for i in range(n_scans):
                scan = scans[i % len(scans)]
                if variant == "A":
                    idx += idx_a_record(offset, len(scan) // 6, 0.01 * i)
                else:
                    idx += idx_b_record(offset, 0.01 * i)
                dat.write(scan)
                offset += len(scan)
        (root / f"_FUNC{func:03d}.IDX").write_bytes(bytes(idx))
    (root / "done").write_text(str(n_scans))


def ensure_run(root: Path, n_scans: int, templates) -> Path:
    marker = root / "done"
    if not (marker.exists() and marker.read_text() == str(n_scans)):
        t = time.perf_counter()
        write_run(root, n_scans, templates)
        print(f"wrote {root} ({n_scans} scans per function) in {time.perf_counter() - t:.1f} s")
    return root


# Functions of the run whose index sizes fit both layouts or not:
# (function, layout, scans).  300,000 22-byte records and 220,000 30-byte
# records both make 6,600,000 bytes, a multiple of 330.
AMBIGUOUS = [(1, "A", 300_000), (2, "A", 300_001), (3, "B", 220_000), (4, "B", 220_001)]


def ensure_ambiguous_run(root: Path) -> Path:
    marker = root / "done"
    if marker.exists() and marker.read_text() == repr(AMBIGUOUS):
        return root
    t = time.perf_counter()
    root.mkdir(parents=True, exist_ok=True)
    (root / "_HEADER.TXT").write_text(header_text({}))
    (root / "_extern.inf").write_text(extern_text(lteff=1800, veff=7200))
    (root / "_FUNCTNS.INF").write_bytes(functions_inf([Function()] * len(AMBIGUOUS)))
    scan = {"A": scan_a(40000, [(20000, 9)]), "B": scan_8([(3, 0, 1000), (5, 0, 30000)])}
    for func, layout, n_scans in AMBIGUOUS:
        size = len(scan[layout])
        if layout == "A":
            idx = b"".join(idx_a_record(size * i, size // 6, 0.01 * i) for i in range(n_scans))
        else:
            idx = b"".join(idx_b_record(size * i, 0.01 * i) for i in range(n_scans))
        (root / f"_FUNC{func:03d}.IDX").write_bytes(idx)
        (root / f"_FUNC{func:03d}.DAT").write_bytes(scan[layout] * n_scans)
    marker.write_text(repr(AMBIGUOUS))
    print(f"wrote {root} in {time.perf_counter() - t:.1f} s")
    return root


def per_call(reader, method, func, n_scans, calls, rng):
    fn = getattr(reader, method)
    picks = [rng.randrange(n_scans) for _ in range(calls)]
    # One untimed pass brings the picked scans into the page cache, so that
    # both runs are timed warm and the figures measure the reader, not the disk.
    for s in picks:
        fn(func, s)
    t = time.perf_counter()
    for s in picks:
        fn(func, s)
    return (time.perf_counter() - t) / calls


def throughput(reader, method, func, n_scans, records_per_scan):
    fn = getattr(reader, method)
    t = time.perf_counter()
    for s in range(n_scans):
        fn(func, s)
    return n_scans * records_per_scan / (time.perf_counter() - t)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dir", type=Path, default=Path(__file__).resolve().parent / "data")
    ap.add_argument("--scale", type=int, default=40)
    ap.add_argument("--calls", type=int, default=400)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()

    rng = random.Random(7)
    templates = scan_templates(rng)
    small = ensure_run(args.dir / "small.raw", args.scale, templates)
    large = ensure_run(args.dir / "large.raw", args.scale * 100, templates)
    for run in (small, large):
        size = sum(p.stat().st_size for p in run.glob("_FUNC*.DAT"))
        print(f"{run.name}: {size / 2**20:.1f} MiB of DAT")

    readers = {name: tessmoor.RawReader(str(run)) for name, run in (("small", small), ("large", large))}
    counts = {name: r.n_scans(1) for name, r in readers.items()}

    print(f"\nper-call time, {args.calls} random scans each, median of {args.rounds} rounds "
          "(small and large interleaved)")
    for method, func in (("read_spectrum", 1), ("read_spectrum", 2), ("read_ims_spectrum", 2)):
        samples = {"small": [], "large": []}
        for k in range(args.rounds):
            for name, r in readers.items():
                samples[name].append(per_call(r, method, func, counts[name], args.calls,
                                              random.Random(k)))
        times = {name: statistics.median(v) for name, v in samples.items()}
        label = f"{method}(func {func}, {'A' if func == 1 else 'B'})"
        print(f"  {label:32s} small {times['small'] * 1e6:8.1f} us   large {times['large'] * 1e6:8.1f} us"
              f"   ratio large/small {times['large'] / times['small']:.2f}")

    print("\ndecoded records per second, every scan of the small run in turn")
    r = readers["small"]
    for method, func, per_scan in (("read_spectrum", 1, POINTS_A), ("read_spectrum", 2, RECORDS_B),
                                   ("read_ims_spectrum", 2, RECORDS_B)):
        rate = throughput(r, method, func, counts["small"], per_scan)
        print(f"  {method}(func {func}): {rate / 1e6:7.1f} M records/s")

    r = tessmoor.RawReader(str(ensure_ambiguous_run(args.dir / "ambiguous.raw")))
    for func, layout, n_scans in AMBIGUOUS:
        got = r.n_scans(func)
        assert got == n_scans, f"function {func}: {got} scans, not {n_scans} (layout misread)"
    print(f"\nindex sizes that fit both layouts, per-call time, {args.calls} random scans each, "
          f"median of {args.rounds} rounds (interleaved)")
    for method in ("retention_time", "read_spectrum"):
        for both, plain in ((AMBIGUOUS[0], AMBIGUOUS[1]), (AMBIGUOUS[2], AMBIGUOUS[3])):
            samples = {both: [], plain: []}
            for k in range(args.rounds):
                for f in (both, plain):
                    samples[f].append(per_call(r, method, f[0], f[2], args.calls, random.Random(k)))
            t_both, t_plain = (statistics.median(samples[f]) for f in (both, plain))
            print(f"  {method + '(' + both[1] + ')':20s} {both[2]:7d} scans {t_both * 1e6:8.1f} us   "
                  f"{plain[2]:7d} scans {t_plain * 1e6:8.1f} us   ratio {t_both / t_plain:.2f}")


if __name__ == "__main__":
    main()
