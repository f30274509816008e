"""`export()`: a run written to a Parquet or mzML file, whole or not at all.

The file is written under a hidden name beside its destination and renamed
to it when complete, so whatever bears the destination's name is a whole
export: a failure, Ctrl-C or SIGTERM removes the partial file.
"""

from __future__ import annotations

import errno
import operator
import os
import secrets
import signal
import sys
import threading
from contextlib import contextmanager, nullcontext
from pathlib import Path
from typing import Any, Callable, ContextManager, Iterator, Sequence, SupportsIndex

from ._run import LockMass, Run, Scans, Window

__all__ = ["export"]

# The formats, by name and by suffix, and their compressions (the default
# first).
FORMATS = {"parquet": ("zstd", "none"), "mzml": ("zlib", "none", "numpress", "numpress-zlib")}
SUFFIXES = {".parquet": "parquet", ".mzml": "mzml"}
# What export() passes on to the reads of each function.
READING_OPTIONS = ("scans", "rt", "mz", "on_bad_scan", "drift", "centroid", "spectrum_type")
# Those of them that decide which scans are written.
_SELECTING = ("scans", "rt", "mz", "on_bad_scan")


def export(run: Run | str | os.PathLike[str], out: str | os.PathLike[str], *, format: str | None = None,
           functions: Sequence[SupportsIndex] | None = None, ims: bool = False, compression: str | None = None,
           threads: int | None = None, progress: bool | Callable[[int], object] = False,
           lock_mass: float | LockMass | None = None, **reading_options: Any) -> Path:
    r"""Writes the spectra of `run` to the file `out`, as ``tessmoor export``
    does, and returns its path.

    Parameters
    ----------
    run
        A `Run`, or the path of a .raw directory.
    out
        The file to write.  It is written under a hidden temporary name
        beside it (``.NAME.partial-XXXXXXXX.SUFFIX``) and renamed to `out`
        when complete; an export that fails or is interrupted (an exception,
        KeyboardInterrupt, or SIGTERM when no handler of its own is set)
        removes it and leaves `out` as it was.
    format
        ``"parquet"`` or ``"mzML"`` (any case); by default the one `out`'s
        suffix names (``.parquet``, ``.mzML``).
    functions
        The function numbers to write, in that order (default: every
        function of the run).
    ims
        Read the functions of 30-byte index records with their drift times
        (the others as they are).
    compression
        Parquet: ``"zstd"`` (default) or ``"none"``; mzML: ``"zlib"``
        (default), ``"none"``, ``"numpress"`` or ``"numpress-zlib"``.
    threads
        Decoding threads (default: every core this process may use).
    progress
        True for a progress bar on standard error, or a function called with
        the number of scans just written.
    lock_mass
        For a run given by its path: the lock-mass correction to open it
        with, as ``Run(path, lock_mass=...)`` (a `Run` brings its own).
    \*\*reading_options
        ``scans=``, ``rt=``, ``mz=`` and ``on_bad_scan=``, as for
        `Run.spectra`, applied to every function: the scans selected, with
        their peaks inside `mz`; with ``on_bad_scan="skip"`` the scans that
        cannot be read are left out, named in the file (a userParam
        "skipped scan" of the mzML run, ``tessmoor.skipped`` in the Parquet
        metadata) and in a `BadScansSkipped` warning per function.
        ``drift=`` and ``centroid=`` as for `Run.spectra` (``drift`` implies
        ``ims``); ``spectrum_type="profile"`` or ``"centroid"`` labels every
        function's spectra so instead of what their records show.

    Raises
    ------
    IndexError
        For a function the run does not have.
    ValueError
        For a function listed twice, an unknown format or compression.
    TypeError
        For an unknown keyword.
    OSError
        Naming `out`, when it cannot be written; and whatever reading the
        run raises (see `Run.spectra`).
    """
    unknown = sorted(set(reading_options) - set(READING_OPTIONS))
    if unknown:
        raise TypeError(f"export() got an unexpected keyword argument {unknown[0]!r}")
    destination = Path(out)
    fmt = output_format(destination, format)
    compression = output_compression(fmt, compression)
    if not isinstance(run, Run):
        run = Run(run, lock_mass=lock_mass)
    elif lock_mass is not None:
        raise ValueError("lock_mass= is for a run given by its path: open the Run with lock_mass instead")
    numbers = function_numbers(run, functions)
    if destination.is_dir():
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(destination))

    bar: ContextManager[Any] = nullcontext()
    if progress and not callable(progress):
        from tqdm import tqdm

        selecting = {k: v for k, v in reading_options.items() if k in _SELECTING}
        bar = tqdm(total=scans_to_write(run, numbers, **selecting), unit="scan", unit_scale=True,
                   file=sys.stderr, delay=1.0, leave=False, dynamic_ncols=True)
    write = _writer(fmt)
    with sigterm_as_exit(), bar as shown, replacing(destination) as temp:
        report = progress if callable(progress) else (shown.update if progress else None)
        try:
            write(run, temp, functions=numbers, ims=bool(ims), compression=compression, threads=threads,
                  progress=report, **reading_options)
        except OSError as e:
            # Writing errors (a full disk) name no file, or the hidden one:
            # the caller knows the file by the name it gave.
            if e.filename is None or e.filename == temp:
                raise OSError(e.errno, e.strerror or str(e), str(destination)) from e
            raise
    return destination


def output_format(out: Path, format: str | None) -> str:
    """The format name ("parquet" or "mzml") that `format`, or else `out`'s
    suffix, names."""
    if format is not None:
        fmt = format.lower()
        if fmt not in FORMATS:
            raise ValueError(f"unknown format {format!r}: use 'parquet' or 'mzML'")
        return fmt
    named = SUFFIXES.get(out.suffix.lower())
    if named is None:
        raise ValueError(f"cannot tell the format of {out} from its suffix: use .parquet or .mzML, or give format=")
    return named


def output_compression(fmt: str, compression: str | None) -> str:
    choices = FORMATS[fmt]
    if compression is None:
        return choices[0]
    if compression not in choices:
        name = "mzML" if fmt == "mzml" else "Parquet"
        raise ValueError(f"{name} compression is one of {', '.join(choices)}, not {compression!r}")
    return compression


def function_numbers(run: Run, functions: Sequence[SupportsIndex] | None) -> list[int]:
    """The functions to export: all of the run's, or those listed, once
    each and known to exist."""
    known = [f.index for f in run.functions]
    if functions is None:
        return known
    numbers = [operator.index(f) for f in functions]
    for k, f in enumerate(numbers):
        if f not in known:
            listed = ", ".join(map(str, known)) if known else "none"
            raise IndexError(f"{run.path}: no function {f} (the run's functions are {listed})")
        if f in numbers[:k]:
            raise ValueError(f"function {f} is listed twice")
    return numbers


def scans_to_write(run: Run, functions: Sequence[int], scans: Scans = None, rt: Window | None = None,
                   mz: Window | None = None, on_bad_scan: str = "fail") -> int:
    """How many spectra an export of `functions` with these reading options
    writes (what its progress counts)."""
    return sum(len(run._selected(f, scans, rt)) for f in functions)


def _writer(fmt: str) -> Callable[..., None]:
    if fmt == "parquet":
        from ._parquet import write_parquet

        return write_parquet
    from ._mzml import write_mzml

    return write_mzml


@contextmanager
def replacing(out: Path) -> Iterator[str]:
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
def sigterm_as_exit() -> Iterator[None]:
    """SIGTERM as SystemExit(143) while the block runs, so that the cleanup
    of an export runs when it is stopped politely.  Only where a handler can
    be set (the main thread) and none but the default one is: a program
    that handles SIGTERM itself keeps its handler."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
        yield
        return

    def stop(signum: int, frame: Any) -> None:
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, stop)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
