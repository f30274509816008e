"""The synthetic runs the benchmarks read, written once and reused.

`large_run(dir)` writes (or finds) a run of about 1.25 GiB of DAT:

  function 1: 30-byte index records, 8-byte scan records, 11,000 scans of
              12,200 records (134 M records, 1.0 GiB), ion-mobility-like
              drift positions, about 1 record in 16 with zero intensity;
  function 2: 22-byte index records, 6-byte scan records, 4,000 scans of
              11,000 records (264 MB);

plus two instrument channels; `write_run(root, b_scans, a_scans)` writes
one of the same kind with other scan counts.  Scans are a few distinct
templates repeated, so that writing the run takes seconds, not minutes;
every byte still has to be read and decoded.  Built with numpy from the
format descriptions.

`small_run(dir)` writes the same scans a hundred times fewer.

    python bench/synthetic.py [DIR]      # writes DIR/large.raw (default bench/data)
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from rawwriter import (Function, chro_dat, chrom_name_field, chroms_inf, extern_text,  # noqa: E402
                       functions_inf, header_text)

DATA = Path(__file__).resolve().parent / "data"

B_SCANS, B_RECORDS = 11_000, 12_200
A_SCANS, A_RECORDS = 4_000, 11_000
TEMPLATES = 16
LTEFF, VEFF = 1800.0, 7200.0
# Coefficients of the T1 calibration of each function, constant term first.
CALIBRATION = {1: (0.001, 0.9999), 2: (0.0, 1.0)}


def _scans_8(rng: np.random.Generator) -> list[bytes]:
    """Scan templates of 8-byte records: anchors at bins 1000 and 30000."""
    out = []
    for _ in range(TEMPLATES):
        rec = np.zeros((B_RECORDS, 4), dtype="<u2")
        rec[:, 1] = rng.integers(1, 3000, B_RECORDS)
        rec[rng.random(B_RECORDS) < 1 / 16, 1] = 0
        rec[:, 2] = rng.integers(0, 65536, B_RECORDS)
        rec[:, 3] = np.sort(rng.integers(1001, 29999, B_RECORDS))
        rec[0, 3], rec[-1, 3] = 1000, 30000
        out.append(rec.tobytes())
    return out


def _scans_6(rng: np.random.Generator) -> list[bytes]:
    """Encoding A templates: a sentinel at bin 40000, then peaks."""
    out = []
    for _ in range(TEMPLATES):
        rec = np.zeros(A_RECORDS, dtype=[("pad", "<u2"), ("block", "u1"), ("inten", "u1"), ("bin", "<u2")])
        rec["inten"] = rng.integers(0, 256, A_RECORDS)
        rec["bin"] = np.sort(rng.integers(4000, 40000, A_RECORDS))
        rec[0] = (0, 0x70, 0, 40000)
        out.append(rec.tobytes())
    return out


def _write_function(root: Path, func: int, scans: list[bytes], n: int, variant: str) -> None:
    lens = np.array([len(scans[i % len(scans)]) for i in range(n)], dtype=np.int64)
    offsets = np.concatenate([[0], np.cumsum(lens)[:-1]])
    rts = (np.arange(n) * 0.0166 + 0.01).astype("<f4")
    if variant == "A":
        idx = np.zeros(n, dtype=[("offset", "<u4"), ("count", "<u2"), ("pad", "V6"), ("rt", "<f4"),
                                 ("word", "<u2"), ("pad2", "V4")])
        idx["offset"], idx["count"] = offsets, lens // 6
    else:
        idx = np.zeros(n, dtype=[("pad", "V12"), ("rt", "<f4"), ("pad2", "V6"), ("offset", "<u4"),
                                 ("pad3", "V4")])
        idx["offset"] = offsets
    idx["rt"] = rts
    (root / f"_FUNC{func:03d}.IDX").write_bytes(idx.tobytes())
    with open(root / f"_FUNC{func:03d}.DAT", "wb") as dat:
        for i in range(n):
            dat.write(scans[i % len(scans)])


def large_run(directory: Path = DATA) -> Path:
    """The ~1.25 GiB run."""
    return write_run(directory / "large.raw")


def small_run(directory: Path = DATA) -> Path:
    """The same scans, a hundred times fewer of them."""
    return write_run(directory / "small.raw", B_SCANS // 100, A_SCANS // 100)


def write_run(root: Path, b_scans: int = B_SCANS, a_scans: int = A_SCANS, seed: int = 20261208) -> Path:
    """Writes a run of `b_scans` scans in function 1 and `a_scans` in
    function 2 at `root`, unless one of that shape is already there."""
    marker = root / "complete"
    shape = f"{b_scans} {a_scans} {seed}"
    if marker.exists() and marker.read_text() == shape:
        return root
    root.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    cal = {f: ",".join(map(str, c)) + ",T1" for f, c in CALIBRATION.items()}
    (root / "_HEADER.TXT").write_text(header_text(cal, extra=["$$ Sample Description: benchmark run"]))
    (root / "_extern.inf").write_text(extern_text(lteff=LTEFF, veff=VEFF))
    (root / "_FUNCTNS.INF").write_bytes(functions_inf([Function(mz_low=50.0, mz_high=1200.0, scan_time_s=0.5),
                                                       Function(mz_low=50.0, mz_high=2000.0)]))
    _write_function(root, 1, _scans_8(rng), b_scans, "B")
    _write_function(root, 2, _scans_6(rng), a_scans, "A")
    (root / "_CHROMS.INF").write_bytes(chroms_inf([(4, chrom_name_field(b"Pump pressure", b"$CC$,1.0,x,y,z,bar")),
                                                   (1, chrom_name_field(b"Column temperature", b"$CC$,0.1,x,y,z,C"))]))
    t = np.arange(b_scans) * 0.0166
    (root / "_CHRO003.DAT").write_bytes(chro_dat(list(zip(t, 300 + 5 * np.sin(t)))))
    (root / "_CHRO004.DAT").write_bytes(chro_dat(list(zip(t, 45 + 0.01 * t))))
    marker.write_text(shape)
    return root


if __name__ == "__main__":
    print(large_run(Path(sys.argv[1]) if len(sys.argv) > 1 else DATA))
