"""The command line ``tessmoor``: what a run holds, its chromatograms and
spectra as CSV or pictures, and whole-run exports.

    tessmoor info RUN [--json]
    tessmoor tic RUN [-f N] [--ims] [--drift LO HI] [--csv FILE | --plot FILE.png]
    tessmoor xic RUN MZ [MZ ...] [--ppm P | --da D] [-f N] [--ims] [--drift LO HI] [--centroid]
                 [--lock-mass MZ] [--csv FILE | --plot FILE.png]
    tessmoor mobilogram RUN FUNC MZ [MZ ...] [--ppm P | --da D] [--drift LO HI] [--lock-mass MZ] [...]
    tessmoor spectrum RUN FUNC SCAN [--ims] [--drift LO HI] [--centroid] [--lock-mass MZ] [...]
    tessmoor export RUN OUT [--functions 1,2] [--ims] [--drift LO HI] [--centroid] [--lock-mass MZ]
                    [--spectrum-type profile|centroid] [--compression C] [--threads N] [--quiet]
    tessmoor view RUN [--port N] [--host ADDRESS] [--no-browser]

Installed as the console script ``tessmoor``; ``python -m tessmoor_bulk``
runs the same.  A failure prints one line ``tessmoor: error: ...`` and exits
with 1; a usage error exits with 2, an interrupted command with 130, one
whose standard output was closed early (``| head``) quietly with 141.
"""

from __future__ import annotations

import argparse
import errno
import io
import json
import math
import os
import secrets
import signal
import sys
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Callable, Iterator, Sequence

import numpy as np

from ._results import Chromatogram
from ._run import LockMass, Run
from ._version import version

PROG = "tessmoor"

# A chromatogram is read in this many parts at most, for its progress bar.
_CHROMATOGRAM_PARTS = 20
_MIN_PART_SCANS = 256


def main(argv: Sequence[str] | None = None) -> int:
    """Runs one command; returns the exit status."""
    # Paths need not be UTF-8 (Linux allows any bytes but "/" and NUL in a
    # name): they are written back as the bytes they were, as ls does,
    # whatever the locale's encoding would refuse.
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="surrogateescape")
    parser = _parser()
    _NOTES.clear()
    try:
        args = parser.parse_args(argv)
        handler: Callable[[argparse.Namespace], int] = args.handler
        code = handler(args)
        for text in _NOTES:
            print(f"{PROG}: note: {text}", file=sys.stderr)
        return code
    except SystemExit as e:  # --help, usage errors (2), SIGTERM during an export
        return e.code if isinstance(e.code, int) else 0
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # Whoever read standard output has gone (`tessmoor tic RUN | head`):
        # stop without a word, and keep the interpreter's final flush of
        # stdout from failing again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except OSError as e:
        return _fail(f"{e.strerror}: {e.filename}" if e.strerror and e.filename else str(e))
    except (RuntimeError, LookupError, ValueError, ImportError) as e:  # FormatError is a RuntimeError
        return _fail(str(e))


def _fail(message: str) -> int:
    print(f"{PROG}: error: {' '.join(message.splitlines())}", file=sys.stderr)
    return 1


# -- the parser --------------------------------------------------------------

_DESCRIPTION = """\
Reads .raw acquisition directories of time-of-flight mass spectrometers:
what a run holds, its chromatograms and spectra as CSV (to standard output)
or PNG pictures, and whole-run exports to Parquet or mzML.

'tessmoor COMMAND --help' describes each command, with an example."""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=_DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {version}")
    commands = parser.add_subparsers(metavar="COMMAND", required=True)

    def command(name: str, handler: Callable[[argparse.Namespace], int], summary: str, text: str,
                example: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=f"{summary}\n\n{text}",
                                  epilog=f"example:\n  {example}",
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(handler=handler, parser=sub)
        return sub

    info = command("info", _info, "Describe a run.",
                   "The run's header fields and instrument constants, one line per acquisition\n"
                   "function (scans, retention-time and m/z range, scan time, index record size,\n"
                   "lock mass, calibration) and the instrument channels.",
                   "tessmoor info examples/sample.raw --json")
    _add_run(info)
    info.add_argument("--json", action="store_true", help="write JSON for scripts instead of a table")

    tic = command("tic", _tic, "Total ion chromatogram of a function.",
                  "CSV columns: scan, rt_min, intensity (the sum of each scan's intensities).",
                  "tessmoor tic examples/sample.raw -f 1 --plot tic.png")
    _add_run(tic)
    _add_function(tic)
    _add_ims(tic)
    _add_output(tic, progress=True)

    xic = command("xic", _xic, "Extracted ion chromatograms of a function.",
                  "Per scan, the sum of the intensities within the tolerance of each target m/z\n"
                  "(default 10 ppm).  CSV columns: scan, rt_min, then one column per target.",
                  "tessmoor xic examples/sample.raw 524.26 556.28 --ppm 20 -f 1")
    _add_run(xic)
    xic.add_argument("mz", metavar="MZ", nargs="+", type=_mz, help="target m/z values")
    _add_tolerance(xic)
    _add_function(xic)
    _add_ims(xic)
    _add_centroid(xic)
    _add_lock_mass(xic)
    _add_output(xic, progress=True)

    mobilogram = command("mobilogram", _mobilogram, "Extracted ion mobilograms of an ion-mobility function.",
                         "Per drift time, the sum over the scans of the intensities within the tolerance\n"
                         "of each target m/z (default 10 ppm), from the ion-mobility reading.  CSV\n"
                         "columns: drift_time_ms, then one column per target.",
                         "tessmoor mobilogram examples/sample.raw 2 524.26 --rt 1.0 2.5")
    _add_run(mobilogram)
    mobilogram.add_argument("func", metavar="FUNC", type=int, help="function number (from 1)")
    mobilogram.add_argument("mz", metavar="MZ", nargs="+", type=_mz, help="target m/z values")
    _add_tolerance(mobilogram)
    mobilogram.add_argument("--rt", nargs=2, type=float, metavar=("LO", "HI"),
                            help="only the scans of this retention-time window (minutes)")
    _add_drift(mobilogram)
    _add_lock_mass(mobilogram)
    _add_output(mobilogram, progress=False)

    spectrum = command("spectrum", _spectrum, "One scan's peaks.",
                       "CSV columns: mz, intensity, and drift_time_ms with --ims.",
                       "tessmoor spectrum examples/sample.raw 2 0 --ims --plot scan.png")
    _add_run(spectrum)
    spectrum.add_argument("func", metavar="FUNC", type=int, help="function number (from 1)")
    spectrum.add_argument("scan", metavar="SCAN", type=int,
                          help="scan number (from 0; a negative one counts from the end)")
    _add_ims(spectrum)
    _add_centroid(spectrum)
    _add_lock_mass(spectrum)
    _add_output(spectrum, progress=False)

    export = command("export", _export, "Write a whole run to Parquet or mzML.",
                     "The format follows OUT's suffix: .parquet (one row per peak, see the README)\n"
                     "or .mzML.  OUT is written under a temporary name beside it and renamed when\n"
                     "complete, so an interrupted export leaves no OUT behind.",
                     "tessmoor export examples/sample.raw sample.parquet --ims")
    _add_run(export)
    export.add_argument("out", metavar="OUT", type=Path, help="output file, .parquet or .mzML")
    export.add_argument("--functions", type=_numbers, metavar="1,2",
                        help="the functions to export, by number (default: all)")
    export.add_argument("--ims", action="store_true",
                        help="read the functions of 30-byte index records with their drift times "
                             "(the others as they are)")
    _add_drift(export)
    _add_centroid(export)
    _add_lock_mass(export)
    export.add_argument("--spectrum-type", choices=("profile", "centroid"),
                        help="label the spectra so, instead of what each function's records show "
                             "(see 'tessmoor info'); with --centroid they are centroids")
    export.add_argument("--compression", choices=("zlib", "zstd", "none"),
                        help="mzML: zlib (default) or none; Parquet: zstd (default) or none")
    export.add_argument("--threads", type=_count, metavar="N",
                        help="decoding threads (default: every core this process may use)")
    _add_quiet(export)

    view = command("view", _view, "Look at a run in the browser.",
                   "Serves a page (functions, chromatograms, spectra, XICs, ion-mobility maps) from a\n"
                   "local web server until Ctrl-C.  Its URL, with a random token that every request\n"
                   "needs, is printed on standard output.  Needs the 'view' extra.",
                   "tessmoor view examples/sample.raw --port 8765")
    _add_run(view)
    view.add_argument("--port", type=_port, default=0, metavar="N", help="port to listen on (default: a free one)")
    view.add_argument("--host", default="127.0.0.1", metavar="ADDRESS",
                      help="address to listen on (default 127.0.0.1, this machine only; another one "
                           "lets other machines in, with a warning)")
    view.add_argument("--no-browser", action="store_true", help="print the URL without opening a browser")
    return parser


def _add_run(p: argparse.ArgumentParser) -> None:
    p.add_argument("run", metavar="RUN", help="a .raw acquisition directory")


def _add_function(p: argparse.ArgumentParser) -> None:
    p.add_argument("-f", "--function", type=int, metavar="N",
                   help="function number (default: the run's first function)")


def _add_tolerance(p: argparse.ArgumentParser) -> None:
    tolerance = p.add_mutually_exclusive_group()
    tolerance.add_argument("--ppm", type=_tolerance, metavar="P", help="tolerance in parts per million")
    tolerance.add_argument("--da", type=_tolerance, metavar="D", help="tolerance in daltons (m/z units)")


def _add_ims(p: argparse.ArgumentParser) -> None:
    p.add_argument("--ims", action="store_true",
                   help="the ion-mobility reading of a function of 30-byte index records: its m/z "
                        "right, with drift times")
    _add_drift(p)


def _add_drift(p: argparse.ArgumentParser) -> None:
    p.add_argument("--drift", nargs=2, type=float, metavar=("LO", "HI"),
                   help="only the records whose drift time lies in [LO, HI] ms (implies --ims)")


def _add_centroid(p: argparse.ArgumentParser) -> None:
    p.add_argument("--centroid", action="store_true",
                   help="one centroid per peak instead of one value per time-of-flight bin")


def _add_lock_mass(p: argparse.ArgumentParser) -> None:
    p.add_argument("--lock-mass", type=_mz, metavar="MZ",
                   help="correct m/z against this reference m/z in the run's lock-mass function")


def _open(args: argparse.Namespace) -> Run:
    """The run, with the lock-mass correction asked for."""
    lock = getattr(args, "lock_mass", None)
    return Run(args.run, lock_mass=None if lock is None else LockMass(lock))


def _reading(run: Run, func: int, args: argparse.Namespace) -> bool:
    """Whether `func` is read with drift times: --ims or --drift.  A
    function that has them read without says so on stderr, once."""
    ims = bool(getattr(args, "ims", False) or getattr(args, "drift", None))
    if ims and not run.has_drift_times(func):
        raise ValueError(f"{run.path}: function {func} has no drift times (its index records are 22 bytes); "
                         f"leave out --ims and --drift")
    if not ims and run.has_drift_times(func):
        _note(f"function {func} has drift times (30-byte index records): without --ims its m/z are "
              f"those of the 1-D reading, off by tens of ppm; add --ims for the ion-mobility reading")
    return ims


# Notes for stderr, printed once the command has done its work: a failure
# stays one line.
_NOTES: list[str] = []


def _note(text: str) -> None:
    if text not in _NOTES:
        _NOTES.append(text)


def _add_output(p: argparse.ArgumentParser, progress: bool) -> None:
    out = p.add_mutually_exclusive_group()
    out.add_argument("--csv", metavar="FILE", help="write the CSV to FILE instead of standard output")
    out.add_argument("--plot", metavar="FILE.png", help="draw a PNG picture (needs the 'plot' extra)")
    if progress:
        _add_quiet(p)


def _add_quiet(p: argparse.ArgumentParser) -> None:
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar")


def _mz(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"not a positive m/z: {text}")
    return value


def _tolerance(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"not a tolerance (finite, not negative): {text}")
    return value


def _count(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"needs at least 1, not {text}")
    return value


def _port(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"not a port (0 to 65535): {text}")
    return value


def _numbers(text: str) -> list[int]:
    try:
        return [int(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a comma-separated list of function numbers: {text!r}") from None


# -- info --------------------------------------------------------------------

def _info(args: argparse.Namespace) -> int:
    run = Run(args.run)
    about = _describe(run)
    if args.json:
        json.dump(about, sys.stdout, indent=2)
        sys.stdout.write("\n")
    else:
        sys.stdout.write(_info_text(about))
    sys.stdout.flush()
    return 0


def _describe(run: Run) -> dict[str, Any]:
    """What `info` prints, as JSON-ready values.  Quantities the files store
    as 32-bit floats are given by their shortest decimal form (0.98, not
    0.9800000190734863)."""
    calibrations = run.calibrations
    functions = []
    for f in run.functions:
        rt = run.rt(f.index)
        functions.append({
            "function": f.index,
            "scans": len(rt),
            "rt_min": [_f32(rt.min()), _f32(rt.max())] if len(rt) else None,
            "mz": [_f32(f.mz_low), _f32(f.mz_high)],
            "scan_time_s": _f32(f.scan_time_s),
            "index_record_size": run.index_record_size(f.index),
            "drift_times": run.has_drift_times(f.index),
            "spectrum_type": _spectrum_type(run, f.index) if len(rt) else None,
            "lock_mass": f.is_lock_mass,
            "calibration": calibrations.get(f.index),
        })
    constants = run.instrument
    # JSON's keys are strings.
    instrument = {**constants, "functions": {str(n): s for n, s in constants["functions"].items()}}
    return {
        "path": run.path,
        "header": run.header,
        "instrument": instrument,
        "functions": functions,
        "channels": [{"index": c.index, "name": c.name, "units": c.units} for c in run.channels],
    }


def _spectrum_type(run: Run, func: int) -> str | None:
    """The verdict of `Run.spectrum_type`, or None when the scans it looks
    at cannot be read: the rest of the run is still described."""
    try:
        return run.spectrum_type(func)
    except (RuntimeError, OSError, ValueError):
        return None


def _info_text(about: dict[str, Any]) -> str:
    out = [f"run  {about['path']}"]

    def section(title: str, lines: list[str]) -> None:
        if lines:
            out.extend(["", title, *lines])

    section("header", _table([[k, v] for k, v in about["header"].items()], numeric=()))
    instrument = about["instrument"]
    section("instrument (_extern.inf)",
            _table([[k, _number(instrument[k])] for k in ("lteff_mm", "veff_v", "pusher_interval")], numeric=()))

    def span(pair: list[float] | None) -> str:
        return "-" if pair is None else f"{_number(pair[0])}..{_number(pair[1])}"

    def calibration(c: dict[str, Any] | None) -> str:
        return "-" if c is None else f"{c['kind']}: {', '.join(_number(x) for x in c['coefficients'])}"

    section("functions", _table(
        [["function", "scans", "rt_min", "mz", "scan_time_s", "index_bytes", "drift_times", "spectra",
          "lock_mass", "calibration"]]
        + [[str(f["function"]), str(f["scans"]), span(f["rt_min"]), span(f["mz"]), _number(f["scan_time_s"]),
            str(f["index_record_size"]), "yes" if f["drift_times"] else "no", f["spectrum_type"] or "-",
            "yes" if f["lock_mass"] else "no", calibration(f["calibration"])]
           for f in about["functions"]], numeric=(0, 1, 4, 5)))
    settings = instrument["functions"]
    section("function settings (_extern.inf)", _table(
        [["function", "start_mass", "end_mass", "adc_pusher_frequency"]]
        + [[n, _number(s["start_mass"]), _number(s["end_mass"]),
            "-" if s["adc_pusher_frequency"] is None else _number(s["adc_pusher_frequency"])]
           for n, s in settings.items()], numeric=(0, 1, 2, 3)) if settings else [])
    section("channels", _table([["index", "name", "units"]]
                               + [[str(c["index"]), c["name"], c["units"]] for c in about["channels"]],
                               numeric=(0,)) if about["channels"] else [])
    return "\n".join(out) + "\n"


def _table(rows: list[list[str]], numeric: Sequence[int]) -> list[str]:
    """Rows as aligned lines, indented; the `numeric` columns right-aligned."""
    if not rows:
        return []
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  " + "  ".join(cell.rjust(w) if i in numeric else cell.ljust(w)
                             for i, (cell, w) in enumerate(zip(row, widths))).rstrip()
            for row in rows]


def _f32(x: float) -> float:
    """The shortest decimal that reads back as the same 32-bit float."""
    return float(str(np.float32(x)))


def _number(x: float) -> str:
    text = repr(float(x))
    return text[:-2] if text.endswith(".0") else text


# -- chromatograms and spectra -----------------------------------------------

def _tic(args: argparse.Namespace) -> int:
    run = Run(args.run)
    func = _function(run, args.function)
    ims = _reading(run, func, args)
    chrom = _chromatogram(run, func, args.quiet, lambda scans: run.tic(func, scans=scans, ims=ims, drift=args.drift))
    assert chrom.scans is not None  # a function's chromatogram lists its scans
    if args.plot:
        _plot().chromatogram(chrom, args.plot, f"{_name(run)}: TIC, function {func}")
        return 0
    _write_csv(args.csv, ["scan", "rt_min", "intensity"], [_ints(chrom.scans), _floats32(chrom.rt_min),
                                                          _floats(chrom.intensity)])
    return 0


def _xic(args: argparse.Namespace) -> int:
    run = _open(args)
    func = _function(run, args.function)
    ims = _reading(run, func, args)
    chrom = _chromatogram(run, func, args.quiet,
                          lambda scans: run.xic(func, args.mz, ppm=args.ppm, da=args.da, scans=scans, ims=ims,
                                                drift=args.drift, centroid=args.centroid))
    assert chrom.scans is not None
    names = [_number(mz) for mz in args.mz]
    if args.plot:
        tolerance = f"{_number(args.da)} Da" if args.da is not None else \
            f"{_number(args.ppm if args.ppm is not None else 10)} ppm"
        _plot().chromatogram(chrom, args.plot, f"{_name(run)}: XIC, function {func}, ±{tolerance}",
                             labels=[f"m/z {n}" for n in names])
        return 0
    _write_csv(args.csv, ["scan", "rt_min", *(f"xic_{n}" for n in names)],
               [_ints(chrom.scans), _floats32(chrom.rt_min), *(_floats(row) for row in chrom.intensity)])
    return 0


def _mobilogram(args: argparse.Namespace) -> int:
    run = _open(args)
    func = _function(run, args.func)
    if not run.has_drift_times(func):
        raise ValueError(f"{run.path}: function {func} has no drift times (its index records are 22 bytes)")
    mob = run.mobilogram(func, args.mz, ppm=args.ppm, da=args.da, rt=args.rt, drift=args.drift)
    names = [_number(mz) for mz in args.mz]
    rows = np.atleast_2d(mob.intensity)
    if args.plot:
        tolerance = f"{_number(args.da)} Da" if args.da is not None else \
            f"{_number(args.ppm if args.ppm is not None else 10)} ppm"
        _plot().mobilogram(mob, args.plot, f"{_name(run)}: mobilogram, function {func}, ±{tolerance}",
                           labels=[f"m/z {n}" for n in names])
        return 0
    _write_csv(args.csv, ["drift_time_ms", *(f"mobilogram_{n}" for n in names)],
               [_floats(mob.drift_time_ms), *(_floats(row) for row in rows)])
    return 0


def _spectrum(args: argparse.Namespace) -> int:
    run = _open(args)
    func = _function(run, args.func)
    ims = _reading(run, func, args)
    spec = run.spectrum(func, args.scan, ims=ims, drift=args.drift, centroid=args.centroid)
    if args.plot:
        _plot().spectrum(spec, args.plot, f"{_name(run)}: function {func}, scan {spec.scan}, "
                                          f"{_number(_f32(spec.rt_min))} min")
        return 0
    columns = [_floats(spec.mz), _floats32(spec.intensity)]
    if spec.drift_time_ms is not None:
        columns.append(_floats(spec.drift_time_ms))
    _write_csv(args.csv, ["mz", "intensity", "drift_time_ms"][:len(columns)], columns)
    return 0


def _function(run: Run, func: int | None) -> int:
    """`func`, or the run's first function, once it is known to exist."""
    known = [f.index for f in run.functions]
    if not known:
        raise LookupError(f"{run.path}: the run has no functions")
    if func is None:
        return known[0]
    if func not in known:
        raise LookupError(f"{run.path}: no function {func} (the run's functions are "
                          f"{', '.join(map(str, known))})")
    return func


def _chromatogram(run: Run, func: int, quiet: bool,
                  read: Callable[[slice], Chromatogram]) -> Chromatogram:
    """`read(scans)` over every scan of `func`, in a few parts for the
    progress bar, joined."""
    n = run.n_scans(func)
    step = max(_MIN_PART_SCANS, -(-n // _CHROMATOGRAM_PARTS))
    parts = []
    with _progress(n, quiet, "scan") as bar:
        for start in range(0, max(n, 1), step):
            parts.append(read(slice(start, start + step)))
            bar.update(len(parts[-1]))
    first = parts[0]
    return Chromatogram(first.kind, func, np.concatenate([p.scans for p in parts]),
                        np.concatenate([p.rt_min for p in parts]),
                        np.concatenate([p.intensity for p in parts], axis=-1), first.mz)


def _write_csv(dest: str | None, header: list[str], columns: list[list[str]]) -> None:
    lines = [",".join(header), *(",".join(row) for row in zip(*columns))]
    text = "\n".join(lines) + "\n"
    if dest is None or dest == "-":
        sys.stdout.write(text)
        sys.stdout.flush()
    else:
        with open(dest, "w", encoding="utf-8", newline="") as f:
            f.write(text)


# Numbers in CSV read back exactly: 64-bit floats by their shortest
# round-trip form, 32-bit ones (retention times, intensities as stored)
# by theirs at 32 bits.
def _floats(a: np.ndarray) -> list[str]:
    return [repr(x) for x in np.asarray(a, dtype=np.float64).tolist()]


def _floats32(a: np.ndarray) -> list[str]:
    return [str(x) for x in np.asarray(a, dtype=np.float32)]


def _ints(a: np.ndarray) -> list[str]:
    return [str(x) for x in a.tolist()]


def _name(run: Run) -> str:
    return Path(run.path).name or run.path


def _plot() -> Any:
    from . import _plot

    return _plot


# -- view --------------------------------------------------------------------

def _view(args: argparse.Namespace) -> int:
    from .view import serve

    return serve(args.run, host=args.host, port=args.port, open_browser=not args.no_browser)


# -- export ------------------------------------------------------------------

_FORMATS = {".parquet": "parquet", ".mzml": "mzml"}
_COMPRESSIONS = {"parquet": ("zstd", "none"), "mzml": ("zlib", "none")}


def _export(args: argparse.Namespace) -> int:
    out: Path = args.out
    parser: argparse.ArgumentParser = args.parser
    fmt = _FORMATS.get(out.suffix.lower())
    if fmt is None:
        parser.error(f"cannot tell the format of {out} from its suffix: use .parquet or .mzML")
    compression = args.compression or _COMPRESSIONS[fmt][0]
    if compression not in _COMPRESSIONS[fmt]:
        parser.error(f"{fmt} output takes --compression {' or '.join(_COMPRESSIONS[fmt])}")
    if out.is_dir():
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(out))

    run = _open(args)
    functions = [_function(run, f) for f in dict.fromkeys(args.functions)] if args.functions else \
        [f.index for f in run.functions]
    ims = bool(args.ims or args.drift)
    if not ims and any(run.has_drift_times(f) for f in functions):
        _note("functions with drift times (30-byte index records) are exported in their 1-D reading, whose "
              "m/z are off by tens of ppm; add --ims for the ion-mobility reading")
    total = sum(run.n_scans(f) for f in functions)
    write = _writer(fmt)
    with _stopped_by_sigterm(), _progress(total, args.quiet, "scan") as bar, _replacing(out) as temp:
        write(run, temp, functions=functions, ims=ims, drift=args.drift, centroid=args.centroid,
              spectrum_type=args.spectrum_type, compression=compression, threads=args.threads,
              progress=bar.update)
    return 0


def _writer(fmt: str) -> Callable[..., None]:
    if fmt == "parquet":
        from ._parquet import write_parquet

        return write_parquet
    from ._mzml import write_mzml

    return write_mzml


@contextmanager
def _replacing(out: Path) -> Iterator[str]:
    """A new file beside `out`, hidden and of another name, to be written
    instead of it: renamed to `out` when the block completes, removed when it
    fails or is interrupted, so that whatever bears the name `out` is whole.
    It keeps `out`'s suffix, for writers that look at it."""
    temp = out.with_name(f".{out.stem}.partial-{secrets.token_hex(4)}{out.suffix}")
    try:
        os.close(os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666))
    except OSError as e:
        raise OSError(e.errno, e.strerror, str(out)) from None
    try:
        yield str(temp)
        os.replace(temp, out)
    except BaseException:
        temp.unlink(missing_ok=True)
        raise


@contextmanager
def _stopped_by_sigterm() -> Iterator[None]:
    """SIGTERM as an exception while the block runs, so that the cleanup of
    an export runs when it is killed politely."""
    def stop(signum: int, frame: Any) -> None:
        raise SystemExit(128 + signum)

    previous = signal.signal(signal.SIGTERM, stop)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _progress(total: int, quiet: bool, unit: str) -> Any:
    """A progress bar on stderr, shown only when stderr is a terminal, the
    work lasts more than a second and --quiet is not given."""
    from tqdm import tqdm

    return tqdm(total=total, unit=unit, unit_scale=True, file=sys.stderr, delay=1.0, leave=False,
                disable=quiet or not sys.stderr.isatty(), dynamic_ncols=True)
