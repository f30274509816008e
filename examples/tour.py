"""A short tour of tessmoor on a .raw directory (default: the bundled sample).

    python examples/tour.py [PATH.raw]
"""

import sys
from pathlib import Path

import tessmoor

path = sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).resolve().parent / "sample.raw")
reader = tessmoor.RawReader(path)
print(reader)

for f in reader.functions:
    n = reader.n_scans(f.index)
    print(f"  {f}  scans={n}  first rt={reader.retention_time(f.index, 0):.4f} min")

spec = reader.read_spectrum(1, 0)
print(f"function 1, scan 0: {spec}")
for mz, inten in list(zip(spec.mz, spec.intensity))[:5]:
    print(f"  m/z {mz:10.4f}  intensity {inten:6.0f}")

ims = reader.read_ims_spectrum(2, 0)
print(f"function 2, scan 0: {ims}")
for mz, dt, inten in list(zip(ims.mz, ims.drift_time_ms, ims.intensity))[:5]:
    print(f"  m/z {mz:10.4f}  drift {dt:7.3f} ms  intensity {inten:6.0f}")

for ch in reader.channels:
    points = reader.read_chrom(ch.index)
    print(f"  {ch}  {len(points)} points, first {points[0]}")
