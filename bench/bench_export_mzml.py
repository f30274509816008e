"""Benchmark of the mzML export against a straightforward psims script.

Both export the same scans of the synthetic run (bench/synthetic.py, about
1.25 GiB of DAT) with zlib compression, in one process, page cache warm:

  * tessmoor_bulk's writer (`tessmoor_bulk._mzml.write_mzml`);
  * psims' MzMLWriter fed the arrays of `Run.iter_spectra` scan by scan,
    with the same header, spectrum and chromatogram content.

Then the peak memory (maximum resident set) of the writer exporting the
whole run, measured in a child process, against the 512 MiB allowed.

    python bench/bench_export_mzml.py [--run DIR] [--scans N] [--threads N] [--no-whole] [--out DIR]

--scans limits both exports to the first N scans of every function, by
writing a run of those scans beside the output (the psims script takes
minutes on the whole run); 0 means the whole run.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import tessmoor_bulk  # noqa: E402
from synthetic import large_run  # noqa: E402
from tessmoor_bulk._mzml import write_mzml  # noqa: E402


def subset_run(source: Path, scans: int, directory: Path) -> Path:
    """The first `scans` scans of every function of `source`, as a run of its
    own: the same metadata files, each index cut short and its DAT cut at the
    end of the last scan kept (both layouts store DAT offsets, not lengths)."""
    root = directory / f"first{scans}.raw"
    root.mkdir(parents=True, exist_ok=True)
    run = tessmoor_bulk.Run(source)
    for name in os.listdir(source):
        if not name.startswith("_FUNC") or name == "_FUNCTNS.INF":
            shutil.copy(source / name, root / name)
    for f in run.functions:
        idx = (source / f"_FUNC{f.index:03d}.IDX").read_bytes()
        n = run.n_scans(f.index)
        size = len(idx) // n
        keep = min(scans, n)
        (root / f"_FUNC{f.index:03d}.IDX").write_bytes(idx[:keep * size])
        if size == 30:  # a 30-byte record's scan ends where the next one starts
            end = int.from_bytes(idx[keep * 30 + 22:keep * 30 + 26], "little") if keep < n else None
        else:           # offset (4 bytes) and count of 6-byte records (2 bytes)
            last = (keep - 1) * 22
            end = int.from_bytes(idx[last:last + 4], "little") + 6 * int.from_bytes(idx[last + 4:last + 6], "little")
        with open(source / f"_FUNC{f.index:03d}.DAT", "rb") as src, open(root / f"_FUNC{f.index:03d}.DAT", "wb") as dst:
            dst.write(src.read(end) if end is not None else src.read())
    shutil.copy(source / "_FUNCTNS.INF", root / "_FUNCTNS.INF")
    return root


def psims_export(run: tessmoor_bulk.Run, path: Path) -> None:
    """The straightforward script: psims writes everything, scan by scan."""
    from psims.mzml.writer import MzMLWriter

    functions = run.functions
    with MzMLWriter(open(path, "wb"), close=True) as w:
        w.controlled_vocabularies()
        w.file_description(["MS1 spectrum"], [dict(id="RAW", name=Path(run.path).name, location="file:///",
                                                   params=["Waters nativeID format", "Waters raw format"])])
        w.software_list([w.Software(id="tessmoor", version="0", params=["custom unreleased software tool"])])
        w.instrument_configuration_list([w.InstrumentConfiguration(id="IC", component_list=w.ComponentList([
            w.Source(params=[], order=1), w.Analyzer(params=["time-of-flight"], order=2),
            w.Detector(params=[], order=3)]))])
        w.data_processing_list([w.DataProcessing(processing_methods=[
            dict(order=0, software_reference="tessmoor", params=["Conversion to mzML"])], id="export")])
        tics = []
        with w.run(id="run", instrument_configuration="IC"):
            with w.spectrum_list(count=sum(run.n_scans(f.index) for f in functions)):
                for f in functions:
                    times, tic = [], []
                    for batch in run.iter_spectra(f.index):
                        for s in batch:
                            total = float(s.intensity.sum(dtype=np.float64))
                            params = ["MS1 spectrum", {"ms level": 1}, {"total ion current": total}]
                            if len(s):
                                top = int(np.argmax(s.intensity))
                                params += [{"base peak m/z": float(s.mz[top])},
                                           {"base peak intensity": float(s.intensity[top])},
                                           {"lowest observed m/z": float(s.mz.min())},
                                           {"highest observed m/z": float(s.mz.max())}]
                            w.write_spectrum(s.mz, s.intensity, id=f"function={f.index} process=0 scan={s.scan + 1}",
                                             centroided=True, scan_start_time=s.rt_min, params=params,
                                             scan_params=[{"preset scan configuration": f.index}],
                                             scan_window_list=[(f.mz_low, f.mz_high)],
                                             encoding={"m/z array": np.float64, "intensity array": np.float32},
                                             compression="zlib")
                            times.append(s.rt_min)
                            tic.append(total)
                    tics.append((f.index, times, tic))
            with w.chromatogram_list(count=len(tics) + len(run.channels)):
                for index, times, tic in tics:
                    w.write_chromatogram(np.array(times), np.array(tic), id=f"TIC function={index}",
                                         chromatogram_type="total ion current chromatogram", encoding=64)
                for c in run.channels:
                    trace = run.channel(c.index)
                    w.write_chromatogram(trace.rt_min, trace.intensity, id=f"channel={c.index}",
                                         chromatogram_type="pressure chromatogram", encoding=64)


def zlib_used() -> str:
    """Which deflate psims uses: the standard library's zlib, or ISA-L's
    (much faster) when the isal package is installed."""
    from psims.mzml import binary_encoding
    return f"psims uses {binary_encoding.zlib.__name__}, tessmoor_bulk the system zlib at level 1"


PEAK_CHILD = """
import sys
import tessmoor_bulk
from tessmoor_bulk._mzml import write_mzml

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field))

run = tessmoor_bulk.Run(sys.argv[1])
# The peak so far is the parent's (a forked process inherits it): reset it.
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = status("VmRSS:")
write_mzml(run, sys.argv[2], threads=int(sys.argv[3]))
print(base, status("VmHWM:"))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--run", type=Path, help="the run (default: bench/data/large.raw, written if missing)")
    parser.add_argument("--scans", type=int, default=1000, help="scans per function compared (0: all)")
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--no-whole", action="store_true", help="skip the whole-run export (peak memory)")
    parser.add_argument("--out", type=Path, default=None, help="where the exports go (default: a temporary dir)")
    args = parser.parse_args()

    source = args.run or large_run()
    work = Path(tempfile.mkdtemp(dir=args.out))
    threads = args.threads or len(os.sched_getaffinity(0))
    try:
        compared = subset_run(source, args.scans, work) if args.scans else source
        run = tessmoor_bulk.Run(compared)
        n = sum(run.n_scans(f.index) for f in run.functions)
        for f in run.functions:  # warm the page cache
            run.tic(f.index)
        print(f"run: {compared} ({n} scans, {threads} threads)")

        ours, theirs = work / "tessmoor.mzML", work / "psims.mzML"
        t, c = time.perf_counter(), time.process_time()
        write_mzml(run, ours, threads=threads)
        t_ours, c_ours = time.perf_counter() - t, time.process_time() - c
        t, c = time.perf_counter(), time.process_time()
        psims_export(run, theirs)
        t_psims, c_psims = time.perf_counter() - t, time.process_time() - c
        print(f"zlib: {zlib_used()}; load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
        print(f"tessmoor_bulk  {t_ours:8.2f} s  (CPU {c_ours:7.2f} s)  {ours.stat().st_size / 2**20:8.1f} MiB")
        print(f"psims script   {t_psims:8.2f} s  (CPU {c_psims:7.2f} s)  {theirs.stat().st_size / 2**20:8.1f} MiB")
        print(f"speed-up       {t_psims / t_ours:8.1f} x  (CPU time {c_psims / c_ours:.1f} x)")
        ours.unlink()
        theirs.unlink()
        if args.no_whole:
            return

        whole = work / "whole.mzML"
        t = time.perf_counter()
        child = subprocess.run([sys.executable, "-c", PEAK_CHILD, str(source), str(whole), str(threads)],
                               check=True, capture_output=True, text=True)
        t_whole = time.perf_counter() - t
        base, peak = (int(v) for v in child.stdout.split())
        dat = sum(p.stat().st_size for p in Path(source).glob("_FUNC*.DAT"))
        print(f"whole run: {dat / 2**30:.2f} GiB of DAT -> {whole.stat().st_size / 2**30:.2f} GiB of mzML "
              f"in {t_whole:.1f} s; peak RSS {peak / 2**20:.0f} MiB ({base / 2**20:.0f} MiB before the export; "
              f"limit 512 MiB)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
