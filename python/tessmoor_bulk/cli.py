"""The command line ``tessmoor``: what a run holds, its chromatograms and
spectra as CSV or pictures, and whole-run exports.

    tessmoor info RUN [--json]
    tessmoor tic RUN [-f N] [RANGES] [IONS] [--csv FILE | --plot FILE]
    tessmoor xic RUN MZ [MZ ...] [--ppm P | --da D] [-f N] [RANGES] [IONS] [--csv FILE | --plot FILE]
    tessmoor mobilogram RUN FUNC MZ [MZ ...] [--ppm P | --da D] [--scans A:B] [--rt LO HI] [IONS] [...]
    tessmoor spectrum RUN FUNC (SCAN | --rt MIN) [--mz LO HI] [IONS] [--csv FILE | --plot FILE]
    tessmoor export RUN OUT [options]
    tessmoor export RUN [RUN ...] --out-dir DIR --format mzML|parquet [-j N] [options]
    tessmoor check RUN [--json]
    tessmoor view RUN [--port N] [--host ADDRESS] [--no-browser]

RANGES: --scans A:B (a Python slice), --rt LO HI, --mz LO HI.
IONS: --ims, --drift LO HI, --centroid, --lock-mass MZ (those each command takes).

Installed as the console script ``tessmoor``; ``python -m tessmoor_bulk``
runs the same.  A failure prints one line ``tessmoor: error: ...`` and exits
with 1; a usage error exits with 2, an interrupted command with 130, one
whose standard output was closed early (``| head``) quietly with 141.
"""

from __future__ import annotations

import argparse
import errno
import glob
import io
import warnings
import json
import math
import multiprocessing
import os
import signal
import sys
import time
from contextlib import contextmanager
from multiprocessing.connection import Connection, wait
from pathlib import Path
from typing import Any, Callable, Iterator, NamedTuple, Sequence, cast

import numpy as np

from . import _export
from ._native import FormatError
from ._results import Chromatogram
from ._run import BadScansSkipped, LockMass, Run
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
        args = parser.parse_args(_joined_scans(sys.argv[1:] if argv is None else argv))
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


def _joined_scans(argv: Sequence[str]) -> list[str]:
    """argv with "--scans -10:" as "--scans=-10:": argparse would take the
    slice counting from the end for an option."""
    out: list[str] = []
    for a in argv:
        if out and out[-1] == "--scans" and a.startswith("-"):
            out[-1] = f"--scans={a}"
        else:
            out.append(a)
    return out


def _fail(message: str) -> int:
    print(f"{PROG}: error: {' '.join(message.splitlines())}", file=sys.stderr)
    return 1


# -- the parser --------------------------------------------------------------

_DESCRIPTION = """\
Reads .raw acquisition directories of time-of-flight mass spectrometers:
what a run holds, its chromatograms and spectra as CSV (to standard output)
or pictures (PNG, SVG, PDF), and exports of runs to Parquet or mzML.

'tessmoor COMMAND --help' describes each command, with an example."""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=_DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {version}")
    commands = parser.add_subparsers(metavar="COMMAND", required=True)

    def command(name: str, handler: Callable[[argparse.Namespace], int], summary: str, text: str,
                example: str, usage: str | None = None) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=f"{summary}\n\n{text}",
                                  epilog=f"example:\n  {example}", usage=usage,
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

    check = command("check", _check, "Look for what is wrong with a run.",
                    "Every scan of every function and every channel looked at: files missing or\n"
                    "unreadable, scans whose bytes lie past the end of the DAT, scans that cannot be\n"
                    "decoded, m/z far outside the function's range, drift times beyond the scan\n"
                    "time, retention times going backwards.  One line per kind of problem, with\n"
                    "counts and the first scans (--json: the whole list).  Exit status 0 when\n"
                    "nothing was found, 3 when something was, 1 when the run cannot be opened.",
                    "tessmoor check examples/sample.raw --json")
    _add_run(check)
    check.add_argument("--json", action="store_true", help="write the whole report as JSON")
    check.add_argument("--threads", type=_count, metavar="N",
                       help="decoding threads (default: every core this process may use)")

    tic = command("tic", _tic, "Total ion chromatogram of a function.",
                  "CSV columns: scan, rt_min, intensity (the sum of each scan's intensities).",
                  "tessmoor tic examples/sample.raw -f 1 --rt 0.03 0.1 --plot tic.svg")
    _add_run(tic)
    _add_function(tic)
    _add_ranges(tic, mz=True)
    _add_ims(tic)
    _add_bad_scans(tic)
    _add_output(tic, progress=True)

    xic = command("xic", _xic, "Extracted ion chromatograms of a function.",
                  "Per scan, the sum of the intensities within the tolerance of each target m/z\n"
                  "(default 10 ppm).  CSV columns: scan, rt_min, then one column per target.",
                  "tessmoor xic examples/sample.raw 840.65 791.47 -f 1")
    _add_run(xic)
    xic.add_argument("mz", metavar="MZ", nargs="+", type=_mz, help="target m/z values")
    _add_tolerance(xic)
    _add_function(xic)
    _add_ranges(xic, mz=False)
    _add_ims(xic)
    _add_centroid(xic)
    _add_lock_mass(xic)
    _add_bad_scans(xic)
    _add_output(xic, progress=True)

    mobilogram = command("mobilogram", _mobilogram, "Extracted ion mobilograms of an ion-mobility function.",
                         "Per drift time, the sum over the scans of the intensities within the tolerance\n"
                         "of each target m/z (default 10 ppm), from the ion-mobility reading.  CSV\n"
                         "columns: drift_time_ms, then one column per target.",
                         "tessmoor mobilogram examples/sample.raw 2 575.6864 --ppm 20 --rt 0 0.05")
    _add_run(mobilogram)
    mobilogram.add_argument("func", metavar="FUNC", type=int, help="function number (from 1)")
    mobilogram.add_argument("mz", metavar="MZ", nargs="+", type=_mz, help="target m/z values")
    _add_tolerance(mobilogram)
    _add_ranges(mobilogram, mz=False)
    _add_drift(mobilogram)
    _add_lock_mass(mobilogram)
    _add_output(mobilogram, progress=False)

    spectrum = command("spectrum", _spectrum, "One scan's peaks.",
                       "The scan is given by its number, or by a retention time (--rt: the scan\n"
                       "nearest to it, which standard error names).  CSV columns: mz, intensity, and\n"
                       "drift_time_ms with --ims.",
                       "tessmoor spectrum examples/sample.raw 2 0 --ims --plot scan.png")
    _add_run(spectrum)
    spectrum.add_argument("func", metavar="FUNC", type=int, help="function number (from 1)")
    spectrum.add_argument("scan", metavar="SCAN", type=int, nargs="?",
                          help="scan number (from 0; a negative one counts from the end)")
    spectrum.add_argument("--rt", type=_finite, metavar="MIN",
                          help="instead of SCAN: the scan whose retention time is nearest MIN minutes")
    spectrum.add_argument("--mz", type=_finite, nargs=2, metavar=("LO", "HI"),
                          help="only the peaks whose m/z lies in [LO, HI]")
    _add_ims(spectrum)
    _add_centroid(spectrum)
    _add_lock_mass(spectrum)
    _add_output(spectrum, progress=False)

    export = command("export", _export_command, "Write runs to Parquet or mzML.",
                     "One run: RUN OUT, the format following OUT's suffix, .parquet (one row per\n"
                     "peak, see the README) or .mzML, unless --format names it.  Many runs: RUN ...\n"
                     "--out-dir DIR --format F writes DIR/NAME.mzML or DIR/NAME.parquet for each\n"
                     "run NAME.raw, -j N runs at a time, each in a process of its own; a run that\n"
                     "fails is reported and the others are finished, a table sums up (standard\n"
                     "output), and the status is 1 when any failed.  Every output is written under\n"
                     "a temporary name beside it and renamed when complete, so an interrupted\n"
                     "export leaves no partial file behind.",
                     "tessmoor export examples/sample.raw sample.parquet --ims\n"
                     "  tessmoor export runs/*.raw --out-dir mzml --format mzML -j 2 "
                     "--compression numpress-zlib",
                     usage="%(prog)s RUN OUT [options]\n       %(prog)s RUN [RUN ...] --out-dir DIR "
                           "--format {mzML,parquet} [-j N] [options]")
    export.add_argument("paths", metavar="RUN", nargs="+",
                        help="a .raw acquisition directory; in the one-run form followed by OUT, the "
                             "output file (.parquet or .mzML)")
    export.add_argument("--out-dir", type=Path, metavar="DIR",
                        help="write one output per RUN into DIR (made when missing), named after the run")
    export.add_argument("--format", type=str.lower, choices=("mzml", "parquet"), metavar="{mzML,parquet}",
                        help="the output format (with --out-dir; by default OUT's suffix names it)")
    export.add_argument("-j", "--jobs", type=_count, metavar="N",
                        help="with --out-dir: convert N runs side by side (default 1)")
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
    export.add_argument("--compression", choices=("zlib", "numpress", "numpress-zlib", "zstd", "none"),
                        help="mzML: zlib (default), none, numpress or numpress-zlib (MS-Numpress: "
                             "smaller and lossy: m/z within 5e-7 or less, intensities within about 1e-4 relative); "
                             "Parquet: zstd (default) or none")
    export.add_argument("--threads", type=_count, metavar="N",
                        help="decoding threads of each run (default: every core this process may use, "
                             "shared among the -j runs)")
    _add_ranges(export, mz=True)
    _add_bad_scans(export)
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


def _add_output(p: argparse.ArgumentParser, progress: bool) -> None:
    out = p.add_mutually_exclusive_group()
    out.add_argument("--csv", metavar="FILE", help="write the CSV to FILE instead of standard output")
    out.add_argument("--plot", metavar="FILE", type=_picture,
                     help="draw a picture instead, in the format FILE's suffix names: .png, .svg or .pdf "
                          "(needs the 'plot' extra)")
    if progress:
        _add_quiet(p)


def _add_ranges(p: argparse.ArgumentParser, mz: bool) -> None:
    p.add_argument("--scans", type=_slice, metavar="A:B",
                   help="only the scans A to B-1, as a Python slice (A:, :B, A:B:STEP; negative numbers "
                        "count from the end)")
    p.add_argument("--rt", type=_finite, nargs=2, metavar=("LO", "HI"),
                   help="only the scans whose retention time (minutes) lies in [LO, HI]")
    if mz:
        p.add_argument("--mz", type=_finite, nargs=2, metavar=("LO", "HI"),
                       help="only the peaks whose m/z lies in [LO, HI]")


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
    p.add_argument("--drift", nargs=2, type=_finite, metavar=("LO", "HI"),
                   help="only the records whose drift time lies in [LO, HI] ms (implies --ims)")


def _add_centroid(p: argparse.ArgumentParser) -> None:
    p.add_argument("--centroid", action="store_true",
                   help="one centroid per peak instead of one value per time-of-flight bin")


def _add_lock_mass(p: argparse.ArgumentParser) -> None:
    p.add_argument("--lock-mass", type=_mz, metavar="MZ",
                   help="correct m/z against this reference m/z in the run's lock-mass function")


def _open(args: argparse.Namespace, path: str | None = None) -> Run:
    """The run, with the lock-mass correction asked for."""
    lock = getattr(args, "lock_mass", None)
    return Run(args.run if path is None else path, lock_mass=None if lock is None else LockMass(lock))


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


def _add_bad_scans(p: argparse.ArgumentParser) -> None:
    p.add_argument("--on-bad-scan", choices=("fail", "skip"), default="fail",
                   help="what a scan that cannot be read does: fail the command (default), or is left out "
                        "and named on standard error, the exit status then 3")


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


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text}")
    return value


def _slice(text: str) -> slice:
    parts = text.split(":")
    try:
        if not 2 <= len(parts) <= 3:
            raise ValueError
        start, stop, *step = (int(p) if p.strip() else None for p in parts)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a slice of scans such as 10:20, 100: or -50: ({text!r})") from None
    if step and step[0] == 0:
        raise argparse.ArgumentTypeError(f"a slice step cannot be zero ({text!r})")
    return slice(start, stop, step[0] if step else None)


_PICTURES = (".png", ".svg", ".pdf")


def _picture(text: str) -> str:
    if Path(text).suffix.lower() not in _PICTURES:
        raise argparse.ArgumentTypeError(f"cannot tell the picture format of {text!r}: use a name ending in "
                                         f"{', '.join(_PICTURES[:-1])} or {_PICTURES[-1]}")
    return text


def _window(parser: argparse.ArgumentParser, name: str, pair: list[float] | None) -> tuple[float, float] | None:
    if pair is None:
        return None
    if pair[0] > pair[1]:
        parser.error(f"{name} {_number(pair[0])} {_number(pair[1])} is empty: give the lower bound first")
    return pair[0], pair[1]


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
    _stdout(json.dumps(about, indent=2) + "\n" if args.json else _info_text(about))
    return 0


def _describe(run: Run) -> dict[str, Any]:
    """What `info` prints, as JSON-ready values.  Quantities the files store
    as 32-bit floats are given by their shortest decimal form (0.98, not
    0.9800000190734863)."""
    calibrations = run.calibrations
    functions = []
    for f in run.functions:
        # A function whose files are missing or damaged is shown with what
        # its table entry says, and the fault.
        try:
            rt = run.rt(f.index)
            index_record_size: int | None = run.index_record_size(f.index)
            problem = None
        except (OSError, FormatError) as e:
            rt, index_record_size = None, None
            problem = f"{e.strerror}: {e.filename}" if isinstance(e, OSError) and e.filename else str(e)
        functions.append({
            "function": f.index,
            "scans": None if rt is None else len(rt),
            "rt_min": [_f32(rt.min()), _f32(rt.max())] if rt is not None and len(rt) else None,
            "mz": [_f32(f.mz_low), _f32(f.mz_high)],
            "scan_time_s": _f32(f.scan_time_s),
            "index_record_size": index_record_size,
            "drift_times": None if index_record_size is None else index_record_size == 30,
            "spectrum_type": _spectrum_type(run, f.index) if rt is not None and len(rt) else None,
            "lock_mass": f.is_lock_mass,
            "calibration": calibrations.get(f.index),
            **({"problem": problem} if problem else {}),
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
        + [[str(f["function"]), "-" if f["scans"] is None else str(f["scans"]), span(f["rt_min"]), span(f["mz"]),
            _number(f["scan_time_s"]), "-" if f["index_record_size"] is None else str(f["index_record_size"]),
            "-" if f["drift_times"] is None else "yes" if f["drift_times"] else "no", f["spectrum_type"] or "-",
            "yes" if f["lock_mass"] else "no", calibration(f["calibration"])]
           for f in about["functions"]], numeric=(0, 1, 4, 5)))
    section("problems (tessmoor check RUN looks at every scan)",
            [f"  function {f['function']}: {f['problem']}" for f in about["functions"] if "problem" in f])
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


# -- damaged runs ------------------------------------------------------------

# The exit status of a command that did its work but left bad scans out, or
# of a check that found problems: scripts must notice.
_SKIPPED = 3


@contextmanager
def _skipped_scans() -> Iterator[list[BadScansSkipped]]:
    """Collects the BadScansSkipped warnings of the block and names each
    scan left out on standard error, one line each."""
    found: list[BadScansSkipped] = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", BadScansSkipped)
        try:
            yield found
        finally:
            found += [w.message for w in caught if isinstance(w.message, BadScansSkipped)]
            for warning in found:
                for scan, message in warning.scans:
                    print(f"{PROG}: skipped scan {scan} of function {warning.func}: {message}", file=sys.stderr)


def _check(args: argparse.Namespace) -> int:
    report = Run(args.run).check(threads=args.threads)
    if args.json:
        _stdout(json.dumps(report.to_dict(), indent=2) + "\n")
    else:
        _stdout(str(report) + "\n")
    return 0 if report.ok else _SKIPPED


# -- chromatograms and spectra -----------------------------------------------

def _tic(args: argparse.Namespace) -> int:
    run = Run(args.run)
    func = _function(run, args.function)
    mz = _window(args.parser, "--mz", args.mz)
    ims, drift = _reading(run, func, args), _window(args.parser, "--drift", args.drift)
    with _skipped_scans() as skipped:
        chrom = _chromatogram(run, func, args,
                              lambda scans: run.tic(func, scans=scans, mz=mz, ims=ims, drift=drift,
                                                    on_bad_scan=args.on_bad_scan))
    assert chrom.scans is not None  # a function's chromatogram lists its scans
    if args.plot:
        _plot(args.plot, lambda p: p.chromatogram(chrom, args.plot, f"{_name(run)}: TIC, function {func}"))
    else:
        _write_csv(args.csv, ["scan", "rt_min", "intensity"], [_ints(chrom.scans), _floats32(chrom.rt_min),
                                                              _floats(chrom.intensity)])
    return _SKIPPED if skipped else 0


def _xic(args: argparse.Namespace) -> int:
    run = _open(args)
    func = _function(run, args.function)
    ims, drift = _reading(run, func, args), _window(args.parser, "--drift", args.drift)
    with _skipped_scans() as skipped:
        chrom = _chromatogram(run, func, args,
                              lambda scans: run.xic(func, args.mz, ppm=args.ppm, da=args.da, scans=scans, ims=ims,
                                                    drift=drift, centroid=args.centroid,
                                                    on_bad_scan=args.on_bad_scan))
    assert chrom.scans is not None
    names = [_number(mz) for mz in args.mz]
    if args.plot:
        tolerance = f"{_number(args.da)} Da" if args.da is not None else \
            f"{_number(args.ppm if args.ppm is not None else 10)} ppm"
        title = f"{_name(run)}: XIC, function {func}, ±{tolerance}"
        _plot(args.plot, lambda p: p.chromatogram(chrom, args.plot, title, labels=[f"m/z {n}" for n in names]))
    else:
        _write_csv(args.csv, ["scan", "rt_min", *(f"xic_{n}" for n in names)],
                   [_ints(chrom.scans), _floats32(chrom.rt_min), *(_floats(row) for row in chrom.intensity)])
    return _SKIPPED if skipped else 0


def _mobilogram(args: argparse.Namespace) -> int:
    run = _open(args)
    func = _function(run, args.func)
    if not run.has_drift_times(func):
        raise ValueError(f"{run.path}: function {func} has no drift times (its index records are 22 bytes)")
    mob = run.mobilogram(func, args.mz, ppm=args.ppm, da=args.da, scans=args.scans,
                         rt=_window(args.parser, "--rt", args.rt), drift=_window(args.parser, "--drift", args.drift))
    names = [_number(mz) for mz in args.mz]
    rows = np.atleast_2d(mob.intensity)
    if args.plot:
        tolerance = f"{_number(args.da)} Da" if args.da is not None else \
            f"{_number(args.ppm if args.ppm is not None else 10)} ppm"
        title = f"{_name(run)}: mobilogram, function {func}, ±{tolerance}"
        return _plot(args.plot, lambda p: p.mobilogram(mob, args.plot, title, labels=[f"m/z {n}" for n in names]))
    _write_csv(args.csv, ["drift_time_ms", *(f"mobilogram_{n}" for n in names)],
               [_floats(mob.drift_time_ms), *(_floats(row) for row in rows)])
    return 0


def _spectrum(args: argparse.Namespace) -> int:
    run = _open(args)
    func = _function(run, args.func)
    parser: argparse.ArgumentParser = args.parser
    if (args.scan is None) == (args.rt is None):
        parser.error("give the scan: SCAN, or a retention time with --rt")
    mz = _window(parser, "--mz", args.mz)
    ims, drift = _reading(run, func, args), _window(parser, "--drift", args.drift)
    scan = args.scan
    if args.rt is not None:
        rt = run.rt(func)
        distance = np.abs(rt - args.rt)
        if not np.any(distance == distance):  # no scans, or no retention time a number
            raise LookupError(f"{run.path}: function {func} has no scan with a retention time")
        scan = int(np.nanargmin(distance))  # the first of equally near ones
        print(f"{PROG}: function {func}, scan {scan} at {_number(_f32(rt[scan]))} min", file=sys.stderr)
    if mz is None:
        spec = run.spectrum(func, scan, ims=ims, drift=drift, centroid=args.centroid)
    else:
        n = run.n_scans(func)
        if not -n <= scan < n:
            raise IndexError(f"scan {scan} out of range: function {func} has {n} scans")
        spec = run.spectra(func, [scan], mz=mz, ims=ims, drift=drift, centroid=args.centroid)[0]
    if args.plot:
        title = f"{_name(run)}: function {func}, scan {spec.scan}, {_number(_f32(spec.rt_min))} min"
        return _plot(args.plot, lambda p: p.spectrum(spec, args.plot, title))
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


def _chromatogram(run: Run, func: int, args: argparse.Namespace,
                  read: Callable[[Any], Chromatogram]) -> Chromatogram:
    """`read(scans)` over the scans of `func` that --scans and --rt select,
    in a few parts for the progress bar, joined."""
    selected = run._selected(func, args.scans, _window(args.parser, "--rt", args.rt))
    n = len(selected)
    step = max(_MIN_PART_SCANS, -(-n // _CHROMATOGRAM_PARTS))
    parts = []
    with _progress(n, args.quiet, "scan") as bar:
        for start in range(0, max(n, 1), step):
            parts.append(read(selected[start:start + step]))
            bar.update(len(parts[-1]))
    first = parts[0]
    return Chromatogram(first.kind, func, np.concatenate([p.scans for p in parts]),
                        np.concatenate([p.rt_min for p in parts]),
                        np.concatenate([p.intensity for p in parts], axis=-1), first.mz)


def _write_csv(dest: str | None, header: list[str], columns: list[list[str]]) -> None:
    lines = [",".join(header), *(",".join(row) for row in zip(*columns))]
    text = "\n".join(lines) + "\n"
    if dest is None or dest == "-":
        _stdout(text)
        return
    with _naming(dest), open(dest, "w", encoding="utf-8", newline="") as f:
        f.write(text)


@contextmanager
def _naming(name: str) -> Iterator[None]:
    """OSErrors of the block with `name` as their file: a failed write or
    close (a full disk) names none."""
    try:
        yield
    except OSError as e:
        if e.filename is None and not isinstance(e, BrokenPipeError):
            raise OSError(e.errno, e.strerror or str(e), name) from e
        raise


def _stdout(text: str) -> None:
    """`text` on standard output, flushed.  A closed or failing standard
    output is an OSError that says so (a reader gone away stays a
    BrokenPipeError); the output is then pointed at /dev/null, so that the
    interpreter's final flush does not fail again."""
    if sys.stdout is None:
        raise OSError("standard output is closed")
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as e:
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        raise OSError(e.errno, e.strerror or str(e), "standard output") from e


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


def _plot(dest: str, draw: Callable[[Any], None]) -> int:
    """draw(module) with the plotting module, its OSErrors naming `dest`."""
    from . import _plot as module

    with _naming(dest):
        draw(module)
    return 0


# -- view --------------------------------------------------------------------

def _view(args: argparse.Namespace) -> int:
    from .view import serve

    return serve(args.run, host=args.host, port=args.port, open_browser=not args.no_browser)


# -- export ------------------------------------------------------------------

def _export_command(args: argparse.Namespace) -> int:
    parser: argparse.ArgumentParser = args.parser
    options = {name: value for name, value in (("scans", args.scans), ("rt", _window(parser, "--rt", args.rt)),
                                               ("mz", _window(parser, "--mz", args.mz))) if value is not None}
    if args.on_bad_scan != "fail":
        options["on_bad_scan"] = args.on_bad_scan
    # What is read of each scan and how it is labelled, beside which scans.
    ions = {name: value for name, value in (("drift", _window(parser, "--drift", args.drift)),
                                            ("centroid", args.centroid or None),
                                            ("spectrum_type", args.spectrum_type)) if value is not None}
    args.ims = bool(args.ims or args.drift)
    if args.out_dir is None:
        if len(args.paths) != 2:
            parser.error("give RUN OUT for one run, or runs with --out-dir DIR --format F")
        if args.jobs is not None:
            parser.error("-j converts several runs: give them with --out-dir DIR")
        run, out = args.paths[0], Path(args.paths[1])
        try:
            fmt = _export.output_format(out, args.format)
            if args.format and out.suffix.lower() in _export.SUFFIXES and _export.SUFFIXES[out.suffix.lower()] != fmt:
                raise ValueError(f"{out} has the suffix of another format than --format {args.format}")
            compression = _export.output_compression(fmt, args.compression)
        except ValueError as e:
            parser.error(str(e))
        return _export_one(run, out, fmt, compression, args, options, ions)
    if args.format is None:
        parser.error("--out-dir needs --format mzML or parquet")
    fmt = args.format
    try:
        compression = _export.output_compression(fmt, args.compression)
    except ValueError as e:
        parser.error(str(e))
    jobs = _export_jobs(parser, args.paths, args.out_dir, fmt)
    return _export_many(jobs, fmt, compression, args, options, ions)


def _export_one(path: str, out: Path, fmt: str, compression: str, args: argparse.Namespace,
                options: dict[str, Any], ions: dict[str, Any]) -> int:
    run = _open(args, path)
    functions = _export.function_numbers(run, args.functions)
    if not args.ims and any(run.has_drift_times(f) for f in functions):
        _note("functions with drift times (30-byte index records) are exported in their 1-D reading, whose "
              "m/z are off by tens of ppm; add --ims for the ion-mobility reading")
    total = _export.scans_to_write(run, functions, **options)
    with _skipped_scans() as skipped, _stopped_by_sigterm(), _progress(total, args.quiet, "scan") as bar:
        _export.export(run, out, format=fmt, functions=functions, ims=args.ims, compression=compression,
                       threads=args.threads, progress=bar.update, **options, **ions)
    return _SKIPPED if skipped else 0


class _Job(NamedTuple):
    run: str
    out: Path


def _export_jobs(parser: argparse.ArgumentParser, runs: list[str], out_dir: Path, fmt: str) -> list[_Job]:
    """Each run with its output DIR/NAME.SUFFIX, NAME the run's name without
    its .raw; two runs of the same name are refused before any is read."""
    suffix = ".mzML" if fmt == "mzml" else ".parquet"
    jobs: list[_Job] = []
    taken: dict[Path, str] = {}
    for run in runs:
        name = Path(run).name
        if name.lower().endswith(".raw") and len(name) > 4:
            name = name[:-4]
        out = out_dir / f"{name}{suffix}"
        if out in taken:
            parser.error(f"{taken[out]} and {run} would both be written to {out}")
        taken[out] = run
        jobs.append(_Job(run, out))
    return jobs


class _Outcome(NamedTuple):
    scans: int
    seconds: float
    error: str | None


def _export_many(jobs: list[_Job], fmt: str, compression: str, args: argparse.Namespace,
                 options: dict[str, Any], ions: dict[str, Any]) -> int:
    """The jobs converted by up to -j worker processes, one per run: a run
    that fails, or whose process dies, is reported and the others go on."""
    try:
        args.out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise OSError(e.errno, e.strerror, str(args.out_dir)) from None
    n_jobs = min(args.jobs or 1, len(jobs))
    threads = args.threads or max(1, _cores() // n_jobs)
    settings = dict(format=fmt, functions=args.functions, ims=args.ims, compression=compression, threads=threads,
                    lock_mass=args.lock_mass, **options, **ions)
    # Worker processes start from a server process forked early, which has
    # imported the package but runs no threads (a fork of this process,
    # which may, could inherit a lock held by another thread); where there
    # is no such server, from a new interpreter each.
    context: Any = multiprocessing.get_context("spawn")
    if "forkserver" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(["tessmoor_bulk.cli"])
    outcomes: dict[int, _Outcome] = {}
    running: dict[Connection, tuple[int, Any]] = {}
    waiting = list(enumerate(jobs))
    # Counting the scans opens every run: only for a progress bar shown.
    total = _total_scans(jobs, args.functions, options) if _shows_progress(args.quiet) else 0
    with _stopped_by_sigterm(), _progress(total, args.quiet, "scan") as bar:
        try:
            while waiting or running:
                while waiting and len(running) < n_jobs:
                    k, job = waiting.pop(0)
                    reader, writer = context.Pipe(duplex=False)
                    process = context.Process(target=_export_worker, args=(job.run, str(job.out), settings, writer),
                                              name=f"tessmoor export {job.run}")
                    # Known as running before it starts: a SIGTERM between
                    # the two would otherwise leave a worker nobody stops.
                    running[reader] = (k, process)
                    process.start()
                    writer.close()
                for ready in wait(list(running)):
                    reader = cast(Connection, ready)
                    k, process = running[reader]
                    try:
                        message = reader.recv()
                    except EOFError:  # the worker is done: its outcome came, or it died
                        del running[reader]
                        reader.close()
                        process.join()
                        if k not in outcomes:
                            outcomes[k] = _Outcome(0, 0.0, _death(process.exitcode))
                            _remove_partial(jobs[k])
                            _report(jobs[k], outcomes[k])
                        continue
                    if isinstance(message, int):
                        bar.update(message)
                    else:
                        outcomes[k] = message
                        if message.error is not None:
                            _report(jobs[k], message)
        finally:
            # Interrupted: the workers stop too, each removing its partial
            # file (SIGTERM is their cue, as for a single export).
            for _, process in running.values():
                if process.pid is not None:
                    process.terminate()
            for k, process in running.values():
                if process.pid is None:  # never started
                    continue
                process.join(10)
                if process.is_alive():
                    process.kill()
                    process.join()
                if process.exitcode is None or process.exitcode < 0:
                    _remove_partial(jobs[k])
    _stdout(_summary(jobs, outcomes))
    return 1 if any(o.error is not None for o in outcomes.values()) else 0


def _export_worker(run: str, out: str, settings: dict[str, Any], pipe: Connection) -> None:
    """In a worker process: one export, its progress and outcome sent down
    `pipe` (scan counts as ints, then an _Outcome)."""
    start = time.monotonic()
    written = 0

    def progress(n: int) -> None:
        nonlocal written
        written += n
        pipe.send(n)

    try:
        _export.export(run, out, progress=progress, **settings)
        error = None
    except KeyboardInterrupt:
        error = "interrupted"
    except SystemExit as e:  # SIGTERM
        error = f"stopped (exit status {e.code})"
    except OSError as e:
        error = f"{e.strerror}: {e.filename}" if e.strerror and e.filename else str(e)
    except Exception as e:  # noqa: BLE001 - whatever it is, it is this run's failure
        error = " ".join(str(e).splitlines()) or type(e).__name__
    pipe.send(_Outcome(written, time.monotonic() - start, error))
    pipe.close()


def _remove_partial(job: _Job) -> None:
    """The hidden file of a worker that died before it could remove it (see
    _export.replacing for its name)."""
    for partial in job.out.parent.glob(f".{glob.escape(job.out.stem)}.partial-*{glob.escape(job.out.suffix)}"):
        partial.unlink(missing_ok=True)


def _death(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            return f"the worker process was killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            pass
    return f"the worker process ended with status {exitcode} without a result"


def _report(job: _Job, outcome: _Outcome) -> None:
    print(f"{PROG}: error: {job.run}: {outcome.error}", file=sys.stderr, flush=True)


def _total_scans(jobs: list[_Job], functions: list[int] | None, options: dict[str, Any]) -> int:
    """The scans all the runs will write, for the progress bar; runs that
    cannot be opened count none (their worker reports why)."""
    total = 0
    for job in jobs:
        try:
            run = Run(job.run)
            total += _export.scans_to_write(run, _export.function_numbers(run, functions), **options)
        except (OSError, RuntimeError, LookupError, ValueError):
            pass
    return total


def _summary(jobs: list[_Job], outcomes: dict[int, _Outcome]) -> str:
    rows = [["run", "output", "scans", "MB", "seconds", "result"]]
    for k, job in enumerate(jobs):
        o = outcomes.get(k, _Outcome(0, 0.0, "not run"))
        if o.error is None:
            size = job.out.stat().st_size / 1e6 if job.out.exists() else 0.0
            rows.append([job.run, str(job.out), str(o.scans), f"{size:.1f}", f"{o.seconds:.1f}", "ok"])
        else:
            rows.append([job.run, "-", "-", "-", "-", f"failed: {o.error}"])
    failed = sum(o.error is not None for o in outcomes.values()) + len(jobs) - len(outcomes)
    lines = _table(rows, numeric=(2, 3, 4))
    lines.append(f"  {len(jobs) - failed} of {len(jobs)} runs exported" + (f", {failed} failed" if failed else ""))
    return "\n".join(line[2:] for line in lines) + "\n"


def _cores() -> int:
    from . import _native

    return _native.available_cores()


@contextmanager
def _stopped_by_sigterm() -> Iterator[None]:
    """SIGTERM as an exception while the block runs, so that the cleanup
    of an export runs when it is killed politely."""
    def stop(signum: int, frame: Any) -> None:
        raise SystemExit(128 + signum)

    previous = signal.signal(signal.SIGTERM, stop)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _shows_progress(quiet: bool) -> bool:
    return not quiet and sys.stderr is not None and sys.stderr.isatty()


def _progress(total: int, quiet: bool, unit: str) -> Any:
    """A progress bar on stderr, shown only when stderr is a terminal, the
    work lasts more than a second and --quiet is not given."""
    from tqdm import tqdm

    return tqdm(total=total, unit=unit, unit_scale=True, file=sys.stderr, delay=1.0, leave=False,
                disable=not _shows_progress(quiet), dynamic_ncols=True)
