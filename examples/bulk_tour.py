"""A short tour of tessmoor_bulk on a .raw directory (default: the bundled sample).

    python examples/bulk_tour.py [PATH.raw]
"""

import sys
from pathlib import Path

import numpy as np

import tessmoor_bulk

path = sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent / "sample.raw"
run = tessmoor_bulk.Run(path)
print(run)

# Every scan of function 1 in one call: flat arrays plus offsets.
batch = run.spectra(1)
print(batch, batch.mz.dtype, batch.intensity.dtype)
first = batch[0]  # a Spectrum whose arrays are views into the batch
print(f"  scan {first.scan} at {first.rt_min:.4f} min: {len(first)} peaks, "
      f"m/z {first.mz.min():.2f} to {first.mz.max():.2f}")

# Per-scan sums straight from the flat arrays.
sums = np.add.reduceat(batch.intensity.astype(np.float64), batch.offsets[:-1])
print("  summed intensity of the first scans:", sums[:4])

# Ion mobility: drift times for the function of 30-byte index records.
ims = run.spectra(2, ims=True, mz=(200.0, 800.0))
print(ims, f"drift times {ims.drift_time_ms.min():.2f} to {ims.drift_time_ms.max():.2f} ms")

# Chromatograms.
tic = run.tic(1)
print(tic, "max at", tic.rt_min[np.argmax(tic.intensity)], "min")
# Two of the sample's intense peaks, 840.65 in scan 4 and 791.47 in scan 2.
xic = run.xic(1, [840.65, 791.47], ppm=10)
print(xic, "intensity per target:", xic.intensity.tolist())
pressure = run.channel(0)
print(pressure, pressure.name, pressure.units, pressure.intensity[:3])
