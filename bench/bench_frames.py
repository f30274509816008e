"""Peak memory of Spectra.to_pandas() and to_polars() on a large read.

Each measurement runs in a fresh child process that reads the first SCANS
scans of function 1 of the synthetic run (bench/synthetic.py, about 1.25
GiB of DAT) with `Run.spectra`, then makes a frame of them, and reports its
maximum resident set.  Printed as multiples of the read's own arrays, in
one run:

  * read only;
  * a frame made as pandas makes it by default, ``pd.DataFrame(columns)``
    (copies, and float64 columns merged into one block);
  * ``Spectra.to_pandas()``;
  * ``Spectra.to_polars()``.

    PYTHONPATH=build/rel python bench/bench_frames.py [--run DIR] [--scans N]
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from synthetic import large_run  # noqa: E402

CHILD = """
import json, resource, sys
import numpy as np, pandas as pd, polars as pl
import tessmoor_bulk
run, scans, how = sys.argv[1], int(sys.argv[2]), sys.argv[3]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
batch = tessmoor_bulk.Run(run).spectra(1, slice(0, scans))
arrays = sum(a.nbytes for a in (batch.scans, batch.rt_min, batch.offsets, batch.mz, batch.intensity))
if how == "default":
    frame = pd.DataFrame(batch._columns())
elif how == "to_pandas":
    frame = batch.to_pandas()
elif how == "to_polars":
    frame = batch.to_polars()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"peak": (peak - before) * 1024, "arrays": arrays, "peaks": batch.n_peaks}))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--run", type=Path)
    parser.add_argument("--scans", type=int, default=3700, help="scans of function 1 read (12,200 peaks each)")
    args = parser.parse_args()
    run = str(args.run or large_run())
    results = {}
    for how in ("read", "default", "to_pandas", "to_polars"):
        out = subprocess.run([sys.executable, "-c", CHILD, run, str(args.scans), how], check=True,
                             capture_output=True, text=True).stdout
        results[how] = json.loads(out)
    arrays = results["read"]["arrays"]
    print(f"{args.scans} scans, {results['read']['peaks'] / 1e6:.1f} M peaks, read arrays {arrays / 1e6:.0f} MB")
    for how, r in results.items():
        print(f"  {how:<10} peak memory {r['peak'] / 1e6:7.0f} MB  = {r['peak'] / arrays:4.2f} x the read")
    print(f"  default frame / to_pandas() peak memory: {results['default']['peak'] / results['to_pandas']['peak']:.2f}")


if __name__ == "__main__":
    main()
