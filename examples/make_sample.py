"""Writes the small sample run bundled with the repository, examples/sample.raw.

It is synthetic, made with the test suite's writer from the format
descriptions: three functions (a Q-TOF function with 22-byte index records,
an ion-mobility function with 30-byte index records, a lock-mass function)
and two instrument channels.

    python examples/make_sample.py [OUTPUT_DIR]
"""

import math
import random
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from rawwriter import (Function, FunctionData, chro_dat, chrom_name_field, extern_text,  # noqa: E402
                       header_text, make_run, scan_8, scan_a)


def main(out: Path) -> None:
    rng = random.Random(20261208)
    if out.exists():
        shutil.rmtree(out)

    qtof_scans = []
    for s in range(8):
        peaks = sorted((rng.randrange(8000, 40000), rng.randrange(1, 256)) for _ in range(40))
        qtof_scans.append(scan_a(40000, peaks))

    ims_scans = []
    for s in range(6):
        recs = [(rng.randrange(1, 2000), rng.randrange(0, 65536), b)
                for b in sorted(rng.randrange(1001, 29999) for _ in range(60))]
        ims_scans.append(scan_8([(5, 0, 1000)] + recs + [(7, 0, 30000)]))

    lock_scans = [scan_a(40000, [(24000, 200), (24001, 90)]) for _ in range(4)]

    functions = [
        Function(mz_low=50.0, mz_high=2000.0, scan_time_s=0.98),
        Function(mz_low=50.0, mz_high=1200.0, scan_time_s=0.5, tof_depth=30000),
        Function(scan_subtype=0x92, mz_low=100.0, mz_high=1000.0),
    ]
    # _extern.inf's block of settings for each function.
    settings = []
    for n, f in enumerate(functions, 1):
        settings += [f"Function Parameters - Function {n} - TOF MS FUNCTION", f"Start Mass\t{f.mz_low:g}",
                     f"End Mass\t{f.mz_high:g}", "ADC Pusher Frequency\t15600"]

    def rts(n: int, step: float) -> list[float]:
        return [round(step * (i + 1), 4) for i in range(n)]

    make_run(
        out,
        functions=functions,
        data={1: FunctionData("A", qtof_scans, rts(8, 0.0166)),
              2: FunctionData("B", ims_scans, rts(6, 0.0166)),
              3: FunctionData("A", lock_scans, rts(4, 0.5))},
        header=header_text({1: "0.0,1.0,T1", 2: "0.001,0.9999,T1", 3: "0,1,T0"},
                           extra=["$$ Acquired Date: 08-Dec-2026", "$$ Acquired Time: 13:45:00",
                                  "$$ User Name: sample", "$$ Sample Description: synthetic sample run"]),
        extern=extern_text(lteff=1800, veff=7200, pusher_interval=64.1, extra=settings),
        channels=[(4, chrom_name_field(b"Pump pressure", b"$CC$,1.0,x,y,z,bar")),
                  (1, chrom_name_field(b"Column temperature", b"$CC$,0.1,x,y,z,C"))],
        chro={0: chro_dat([(0.0166 * i, 300.0 + 5 * math.sin(i / 3)) for i in range(20)]),
              1: chro_dat([(0.0166 * i, 45.0 + 0.01 * i) for i in range(20)])},
    )


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent / "sample.raw")
