"""`Run`: a .raw directory opened for whole-function reads."""

from __future__ import annotations

import operator
import os
import warnings
from typing import Any, Generic, Literal, Sequence, SupportsIndex, TypedDict, Union, overload

import numpy as np
from numpy.typing import NDArray

import tessmoor

from . import _native
from ._check import CheckReport, Problem, problem_of
from ._native import FormatError
from ._results import Chromatogram, Drift, Spectra, Spectrum

_U32_MAX = 0xFFFFFFFF
_U64_MAX = 0xFFFFFFFFFFFFFFFF
_I64_MAX = 0x7FFFFFFFFFFFFFFF
# Peaks per batch of iter_spectra by default (32 MiB of 8-byte scan
# records): with the batch a caller still holds while the next is read, peak
# memory stays near 200 MiB.
_BATCH_PEAKS = 1 << 22

# What `scans=` takes: every scan (None), a slice, or scan numbers in the
# order wanted, negative ones counting from the end.
Scans = Union[None, slice, Sequence[SupportsIndex], NDArray[np.integer[Any]]]
# A closed interval (lo, hi) of retention times or m/z values.
Window = tuple[float, float]
# A slice's start, stop (None: open) and step, for the native reader.
_Slice = tuple[int | None, int | None, int]


class Calibration(TypedDict):
    """The calibration of one function (`Run.calibrations`)."""

    coefficients: list[float]
    kind: Literal["T0", "T1"]


class FunctionSettings(TypedDict):
    """The settings of one function in _extern.inf (`Run.instrument`)."""

    start_mass: float
    end_mass: float
    adc_pusher_frequency: float | None


class Instrument(TypedDict):
    """The constants of _extern.inf (`Run.instrument`)."""

    lteff_mm: float
    veff_v: float
    pusher_interval: float
    functions: dict[int, FunctionSettings]


def _func(func: SupportsIndex) -> int:
    f = operator.index(func)
    if not 0 <= f <= _U32_MAX:
        raise IndexError(f"function {f} not found: function numbers run from 1 to {_U32_MAX}")
    return f


def _threads(threads: int | None) -> int:
    if threads is None:
        return _native.available_cores()
    if isinstance(threads, bool):
        raise TypeError("threads must be an int or None, not bool")
    n = operator.index(threads)
    if n < 1:
        raise ValueError(f"threads must be at least 1, not {n}")
    return min(n, 1024)


# What a read does with a scan it cannot read: fail, or leave it out.
BadScans = Literal["fail", "skip"]


class BadScansSkipped(UserWarning):
    """Scans a read left out, asked to with ``on_bad_scan="skip"``: the
    function `func` and `scans`, (scan number, message) pairs in the order of
    the read, each message naming the file and the fault as the error of a
    read that fails on the scan would."""

    def __init__(self, func: int, scans: Sequence[tuple[int, str]]) -> None:
        self.func = func
        self.scans: tuple[tuple[int, str], ...] = tuple((int(n), str(m)) for n, m in scans)
        numbers = ", ".join(str(n) for n, _ in self.scans[:5]) + (", ..." if len(self.scans) > 5 else "")
        super().__init__(f"function {func}: {len(self.scans)} bad scan(s) left out ({numbers}); "
                         f"the first: {self.scans[0][1]}")


def _skip(on_bad_scan: str) -> bool:
    if on_bad_scan not in ("fail", "skip"):
        raise ValueError(f'on_bad_scan must be "fail" or "skip", not {on_bad_scan!r}')
    return on_bad_scan == "skip"


def _warn_skipped(func: int, skipped: Sequence[tuple[int, str]]) -> None:
    if skipped:
        # Reported at the caller's line: Run's method, then the caller.
        warnings.warn(BadScansSkipped(func, skipped), stacklevel=3)


class SpectraBatches(Generic[Drift]):
    """The batches of `Run.iter_spectra`, an iterator of `Spectra`.  Its
    scans were selected when it was made: ``scans`` are the scan numbers it
    yields, in order, and ``skipped`` the (scan, message) pairs of the bad
    scans it leaves out."""

    __slots__ = ("_func", "_iteration", "_mz", "_threads", "_next")

    def __init__(self, func: int, iteration: Any, mz: Window | None, threads: int) -> None:
        self._func, self._iteration, self._mz, self._threads = func, iteration, mz, threads
        self._next = 0

    @property
    def scans(self) -> NDArray[np.int64]:
        """The scan numbers the batches hold, in order."""
        return self._iteration.scans  # type: ignore[no-any-return]

    @property
    def skipped(self) -> list[tuple[int, str]]:
        """(scan number, message) of each bad scan left out."""
        return list(self._iteration.skipped)

    def __len__(self) -> int:
        """The number of batches (an empty selection makes one empty batch)."""
        return len(self._iteration)

    def __iter__(self) -> SpectraBatches[Drift]:
        return self

    def __next__(self) -> Spectra[Drift]:
        if self._next >= len(self._iteration):
            raise StopIteration
        k, self._next = self._next, self._next + 1
        *arrays, _ = self._iteration.read(k, self._mz, self._threads)
        return Spectra(self._func, *arrays)


def _count(name: str, value: SupportsIndex) -> int:
    """A count from 1 to 2**63 - 1."""
    n = operator.index(value)
    if not 1 <= n <= _I64_MAX:
        raise ValueError(f"{name} must be at least 1 and at most 2**63 - 1, not {n}")
    return n


def _window(name: str, value: Any) -> tuple[float, float] | None:
    if value is None:
        return None
    try:
        lo, hi = value
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair (lo, hi) or None") from None
    lo, hi = float(lo), float(hi)
    if not lo <= hi:
        raise ValueError(f"{name}=({lo!r}, {hi!r}) is not a window: it needs lo <= hi")
    return lo, hi


def _scans(scans: Any) -> tuple[NDArray[np.int64] | None, _Slice | None]:
    """(picks, slice) for the native reader: scan numbers as int64, or the
    parts of a slice."""
    if scans is None:
        return None, None
    if isinstance(scans, slice):
        # Slices take integers of any size.  A function has far fewer than
        # 2**63 scans, so bounds and steps beyond 64 bits select what the
        # largest 64-bit ones do; the reader takes them as 64-bit integers,
        # and negates the step.
        def part(v: Any) -> int | None:
            return None if v is None else max(-_I64_MAX, min(_I64_MAX, operator.index(v)))
        start, stop, step = part(scans.start), part(scans.stop), part(scans.step)
        if step == 0:
            raise ValueError("slice step cannot be zero")
        return None, (start, stop, 1 if step is None else step)
    if isinstance(scans, (int, np.integer)):
        raise TypeError("scans must be None, a slice or a sequence of scan numbers; "
                        "use spectrum() for a single scan")
    picks = np.asarray(scans)
    if picks.ndim != 1:
        raise TypeError(f"scans must be one-dimensional, not of shape {picks.shape}")
    if picks.size == 0:
        return np.empty(0, dtype=np.int64), None
    if picks.dtype.kind in "fO" and not isinstance(scans, np.ndarray):
        # NumPy holds Python integers beyond 64 bits as floats or objects:
        # they are numbers that no scan has.
        try:
            beyond = [v for v in map(operator.index, scans) if not -_I64_MAX - 1 <= v <= _I64_MAX]
        except TypeError:
            beyond = []
        if beyond:
            raise IndexError(f"scan {beyond[0]} out of range")
    if picks.dtype.kind not in "iu":
        raise TypeError(f"scan numbers must be integers, not {picks.dtype}")
    if picks.dtype.kind == "u" and picks.max() > np.iinfo(np.int64).max:
        raise IndexError(f"scan {int(picks.max())} out of range")
    return np.ascontiguousarray(picks, dtype=np.int64), None


class Run:
    """A .raw acquisition directory opened for whole-function reads.

    It opens the directory as `tessmoor.RawReader` does (the same files, in
    the same order, read once) and answers with numpy arrays: whole functions per call,
    decoded on several threads with the interpreter lock released, values
    bit for bit those of `tessmoor`.  Functions count from 1, scans and
    channels from 0; a negative scan counts from the end.

    Example::

        import tessmoor_bulk
        run = tessmoor_bulk.Run("examples/sample.raw")
        batch = run.spectra(1)               # every scan of function 1
        batch.mz, batch.intensity, batch.offsets
        tic = run.tic(1)                     # tic.rt_min, tic.intensity
    """

    __slots__ = ("_path", "_native", "_reader")

    def __init__(self, path: str | os.PathLike[str] | bytes) -> None:
        # The file system's own bytes reach the reader, so that directory
        # names that are not UTF-8 open too; the str form (os.fsdecode)
        # is what the run shows and pickles.
        text = os.fspath(path)
        self._path: str = os.fsdecode(text)
        self._reader: tessmoor.RawReader | None = None
        self._native = _native.open_run(os.fsencode(text))

    # -- what the run holds ------------------------------------------------

    @property
    def path(self) -> str:
        """The directory's path, as given."""
        return self._path

    @property
    def reader(self) -> tessmoor.RawReader:
        """A `tessmoor.RawReader` on the same directory, holding what this
        run read when it was opened (the directory is not read again).  Made
        when first asked for."""
        if self._reader is None:
            self._reader = self._native.reader()
        return self._reader

    @property
    def functions(self) -> list[tessmoor.FunctionInfo]:
        """The acquisition functions (the reader's list)."""
        return self.reader.functions

    @property
    def channels(self) -> list[tessmoor.ChromChannel]:
        """The instrument channels (the reader's list; empty without _CHROMS.INF)."""
        return self.reader.channels

    @property
    def header(self) -> dict[str, str]:
        """The acquisition fields of _HEADER.TXT that the file gives.

        Some of ``version``, ``acquired_name``, ``acquired_date``,
        ``acquired_time``, ``instrument``, ``user_name``,
        ``sample_description``, as written.  A new dict on every access (the
        file was read once, when the run was opened)."""
        return self._native.header()

    @property
    def calibrations(self) -> dict[int, Calibration]:
        """The calibration lines of _HEADER.TXT, by function number:
        ``{"coefficients": [...], "kind": "T0" | "T1"}``, the constant term
        first; only ``T1`` calibrations are applied to the m/z values."""
        return self._native.calibrations()

    @property
    def instrument(self) -> Instrument:
        """The constants of _extern.inf, as written.

        ``lteff_mm`` (effective flight length), ``veff_v`` (effective
        acceleration voltage), ``pusher_interval`` (in the file's unit,
        usually microseconds), and ``functions``: ``{number: {"start_mass",
        "end_mass", "adc_pusher_frequency" (None when absent)}}`` for the
        functions the file has a block of settings for.  A new dict on every
        access."""
        return self._native.instrument()

    def index_record_size(self, func: SupportsIndex) -> int:
        """22 or 30: the size of the scan index records of `func`.  Functions
        of 30-byte records hold ion-mobility scans (``ims=True`` reads them
        with drift times)."""
        return int(self._native.describe(_func(func))[1])

    def has_drift_times(self, func: SupportsIndex) -> bool:
        """True when the scans of `func` carry drift times (its index records
        are 30 bytes): ``ims=True`` reads them."""
        return bool(self._native.describe(_func(func))[2])

    def _selected(self, func: SupportsIndex, scans: Scans = None, rt: Window | None = None) -> NDArray[np.int64]:
        """The numbers of the scans of `func` that `scans` and `rt` select, in
        the order spectra() reads them."""
        picks, part = _scans(scans)
        return self._native.select(_func(func), picks, part, _window("rt", rt))

    def n_scans(self, func: SupportsIndex) -> int:
        """The number of scans of function `func`."""
        return self._native.n_scans(_func(func))

    def rt(self, func: SupportsIndex) -> NDArray[np.float64]:
        """Retention times (minutes, float64) of every scan of `func`, from one read of its index."""
        return self._native.rt(_func(func))

    # -- spectra -----------------------------------------------------------

    @overload
    def spectrum(self, func: SupportsIndex, scan: SupportsIndex, *,
                 ims: Literal[False] = False) -> Spectrum[None]: ...
    @overload
    def spectrum(self, func: SupportsIndex, scan: SupportsIndex, *,
                 ims: Literal[True]) -> Spectrum[NDArray[np.float64]]: ...
    @overload
    def spectrum(self, func: SupportsIndex, scan: SupportsIndex, *,
                 ims: bool) -> Spectrum[NDArray[np.float64] | None]: ...

    def spectrum(self, func: SupportsIndex, scan: SupportsIndex, *,
                 ims: bool = False) -> Spectrum[NDArray[np.float64] | None]:
        """One scan as a `Spectrum`; ``ims=True`` reads drift times too
        (30-byte-index functions only).  A negative `scan` counts from the end;
        one out of range raises IndexError."""
        f = _func(func)
        s = operator.index(scan)
        if not -(1 << 63) <= s < (1 << 63):
            raise IndexError(f"scan {s} out of range")
        number, rt_min, mz, intensity, drift = self._native.scan(f, s, bool(ims))
        return Spectrum(f, number, rt_min, mz, intensity, drift)

    @overload
    def spectra(self, func: SupportsIndex, scans: Scans = None, *, rt: Window | None = None,
                mz: Window | None = None, ims: Literal[False] = False,
                threads: int | None = None, on_bad_scan: BadScans = "fail") -> Spectra[None]: ...
    @overload
    def spectra(self, func: SupportsIndex, scans: Scans = None, *, rt: Window | None = None,
                mz: Window | None = None, ims: Literal[True],
                threads: int | None = None, on_bad_scan: BadScans = "fail") -> Spectra[NDArray[np.float64]]: ...
    @overload
    def spectra(self, func: SupportsIndex, scans: Scans = None, *, rt: Window | None = None,
                mz: Window | None = None, ims: bool,
                threads: int | None = None,
                on_bad_scan: BadScans = "fail") -> Spectra[NDArray[np.float64] | None]: ...

    def spectra(self, func: SupportsIndex, scans: Scans = None, *, rt: Window | None = None,
                mz: Window | None = None, ims: bool = False, threads: int | None = None,
                on_bad_scan: BadScans = "fail") -> Spectra[NDArray[np.float64] | None]:
        """Many scans of `func` as one `Spectra` batch of flat arrays.

        Parameters
        ----------
        scans
            None (every scan), a slice, or a sequence of scan numbers
            (negative ones count from the end), in the order wanted.
        rt
            ``(lo, hi)``: keep only scans whose retention time lies in
            [lo, hi].
        mz
            ``(lo, hi)``: keep only peaks whose m/z lies in [lo, hi].
        ims
            Read the ion-mobility records with drift times (refused, with
            ValueError, on functions of 22-byte index records).
        threads
            How many threads decode (default: every core this process may
            use).
        on_bad_scan
            ``"fail"``: a scan that cannot be read fails the call (the first
            in the order of the result decides).  ``"skip"``: such scans
            (a range past the end of the DAT, records the decoder refuses)
            are left out, and a `BadScansSkipped` warning lists them.
        """
        f = _func(func)
        picks, part = _scans(scans)
        *arrays, skipped = self._native.spectra(f, picks, part, _window("rt", rt), _window("mz", mz), bool(ims),
                                                _threads(threads), _skip(on_bad_scan))
        _warn_skipped(f, skipped)
        return Spectra(f, *arrays)

    @overload
    def iter_spectra(self, func: SupportsIndex, *, batch_scans: SupportsIndex = 1024,
                     batch_peaks: SupportsIndex | None = None, scans: Scans = None,
                     rt: Window | None = None, mz: Window | None = None, ims: Literal[False] = False,
                     threads: int | None = None, on_bad_scan: BadScans = "fail") -> SpectraBatches[None]: ...
    @overload
    def iter_spectra(self, func: SupportsIndex, *, batch_scans: SupportsIndex = 1024,
                     batch_peaks: SupportsIndex | None = None, scans: Scans = None,
                     rt: Window | None = None, mz: Window | None = None, ims: Literal[True],
                     threads: int | None = None,
                     on_bad_scan: BadScans = "fail") -> SpectraBatches[NDArray[np.float64]]: ...
    @overload
    def iter_spectra(self, func: SupportsIndex, *, batch_scans: SupportsIndex = 1024,
                     batch_peaks: SupportsIndex | None = None, scans: Scans = None,
                     rt: Window | None = None, mz: Window | None = None, ims: bool,
                     threads: int | None = None,
                     on_bad_scan: BadScans = "fail") -> SpectraBatches[NDArray[np.float64] | None]: ...

    def iter_spectra(self, func: SupportsIndex, *, batch_scans: SupportsIndex = 1024,
                     batch_peaks: SupportsIndex | None = None, scans: Scans = None,
                     rt: Window | None = None, mz: Window | None = None, ims: bool = False,
                     threads: int | None = None,
                     on_bad_scan: BadScans = "fail") -> SpectraBatches[NDArray[np.float64] | None]:
        """The scans of `spectra()` in batches of at most `batch_scans` scans
        and of scan records for at most `batch_peaks` peaks (default
        4,194,304: 32 MiB of 8-byte records), so that memory stays bounded
        whatever the size of the function; a scan larger than that is a
        batch of its own.

        The function's files are opened, its scans selected (and, with
        ``on_bad_scan="skip"``, the bad ones left out) when this is called,
        and held for the whole iteration: the iterator's ``scans`` are the
        scans it yields, whatever happens to the files meanwhile, and a file
        that changes under it ends it with `FormatError`."""
        f = _func(func)
        size = _count("batch_scans", batch_scans)
        peaks = _BATCH_PEAKS if batch_peaks is None else _count("batch_peaks", batch_peaks)
        picks, part = _scans(scans)
        n_threads = _threads(threads)
        iteration = self._native.iterate(f, picks, part, _window("rt", rt), bool(ims), size, peaks, n_threads,
                                         _skip(on_bad_scan))
        _warn_skipped(f, iteration.skipped)
        return SpectraBatches(f, iteration, _window("mz", mz), n_threads)

    # -- chromatograms -----------------------------------------------------

    def tic(self, func: SupportsIndex, *, scans: Scans = None, rt: Window | None = None, mz: Window | None = None,
            threads: int | None = None, on_bad_scan: BadScans = "fail") -> Chromatogram:
        """Total ion chromatogram: per scan, the sum in float64 and in record
        order of its intensities (only those of peaks inside `mz`, if given).
        `scans`, `rt` and `on_bad_scan` select scans as in `spectra()`."""
        return self._reduce("tic", func, scans, rt, mz, threads, on_bad_scan)

    def base_peak(self, func: SupportsIndex, *, scans: Scans = None, rt: Window | None = None,
                  mz: Window | None = None, threads: int | None = None,
                  on_bad_scan: BadScans = "fail") -> Chromatogram:
        """Base peak chromatogram: per scan, the largest intensity (the first
        such peak on ties) in `intensity` and its m/z in `mz`; a scan without
        peaks gives 0 and NaN."""
        return self._reduce("base_peak", func, scans, rt, mz, threads, on_bad_scan)

    def xic(self, func: SupportsIndex, mz: float | Sequence[float] | NDArray[np.floating[Any]], *,
            ppm: float | None = None, da: float | None = None, scans: Scans = None, rt: Window | None = None,
            threads: int | None = None, on_bad_scan: BadScans = "fail") -> Chromatogram:
        """Extracted ion chromatogram: per scan, the sum of the intensities
        whose m/z lies in [target - tol, target + tol], tol being `da`, or
        target * ppm / 1e6 (default: 10 ppm).  For a sequence of targets,
        `intensity` has one row per target."""
        f = _func(func)
        if ppm is not None and da is not None:
            raise ValueError("give ppm or da, not both")
        if da is None:
            ppm = 10.0 if ppm is None else ppm
            tol = float(ppm)
        else:
            tol = float(da)
        if not tol >= 0 or tol == float("inf"):
            raise ValueError(f"the tolerance must be finite and not negative, not {tol!r}")
        scalar = np.ndim(mz) == 0
        targets = np.ascontiguousarray(np.atleast_1d(np.asarray(mz, dtype=np.float64)))
        if targets.ndim != 1:
            raise TypeError("mz must be a number or a one-dimensional sequence of numbers")
        picks, part = _scans(scans)
        numbers, rt_min, intensity, _, skipped = self._native.reduce(
            "xic", f, picks, part, _window("rt", rt), None, targets,
            None if ppm is None else float(ppm), None if da is None else float(da), _threads(threads),
            _skip(on_bad_scan))
        _warn_skipped(f, skipped)
        if scalar:
            return Chromatogram("xic", f, numbers, rt_min, intensity[0], float(targets[0]))
        return Chromatogram("xic", f, numbers, rt_min, intensity, targets)

    def _reduce(self, kind: str, func: SupportsIndex, scans: Scans, rt: Window | None, mz: Window | None,
                threads: int | None, on_bad_scan: BadScans) -> Chromatogram:
        f = _func(func)
        picks, part = _scans(scans)
        numbers, rt_min, intensity, peak_mz, skipped = self._native.reduce(
            kind, f, picks, part, _window("rt", rt), _window("mz", mz), None, None, None, _threads(threads),
            _skip(on_bad_scan))
        _warn_skipped(f, skipped)
        return Chromatogram(kind, f, numbers, rt_min, intensity, peak_mz)

    # -- damaged runs ------------------------------------------------------

    def check(self, *, threads: int | None = None) -> CheckReport:
        """Every scan of every listed function, and every channel, looked
        at; a `CheckReport` of what was found wrong.

        Per function: files missing or unreadable, an index that does not
        parse, scans whose range lies past the end of the DAT, scans the
        decoder refuses (with its message), m/z outside the function's range
        by more than the range's width, drift times beyond the scan time
        (read with drift times where the function has them), retention
        times that go backwards.  Per channel: its file missing or
        malformed, retention times that go backwards.  Reads every scan
        once; ``threads`` as for `spectra()`."""
        n_threads = _threads(threads)
        problems: list[Problem] = []
        functions: dict[int, dict[str, Any]] = {}
        for f in (info.index for info in self.functions):
            try:
                count, drift, found = self._native.check(f, n_threads)
            except (OSError, FormatError) as e:
                problems.append(Problem(*problem_of(e), function=f))
                functions[f] = {"scans": None, "drift_times": None}
                continue
            functions[f] = {"scans": count, "drift_times": drift}
            problems += [Problem(kind, message, function=f, scan=scan) for kind, scan, message in found]
        channels = self.channels
        for channel in channels:
            try:
                trace = self.channel(channel.index)
            except (OSError, FormatError) as e:
                problems.append(Problem(*problem_of(e), channel=channel.index))
                continue
            for i in np.flatnonzero(np.diff(trace.rt_min) < 0) + 1:
                problems.append(Problem("channel_rt_backwards", f"retention time {trace.rt_min[i]:.6g} min after "
                                        f"{trace.rt_min[i - 1]:.6g} min", channel=channel.index, scan=int(i)))
        return CheckReport(self._path, functions, len(channels), tuple(problems))

    def channel(self, index: SupportsIndex) -> Chromatogram:
        """The samples of instrument channel `index` (from 0; negative counts
        from the end of `channels`): retention times and values, float64."""
        i = operator.index(index)
        if i < 0:
            count = len(self.channels)
            i += count
            if i < 0:
                raise IndexError(f"channel {index} out of range: the run lists {count} channels")
        if i > _U64_MAX:
            raise IndexError(f"channel {index} out of range")
        rt_min, value, name, units = self._native.channel(i)
        return Chromatogram("channel", None, None, rt_min, value, None, i, name, units)

    # -- Python protocol ---------------------------------------------------

    def __reduce__(self) -> tuple[Any, ...]:
        # By path: the unpickled run opens the directory afresh.
        return (Run, (self._path,))

    def __repr__(self) -> str:
        if not hasattr(self, "_native"):  # a constructor that failed, seen in its traceback
            return f"Run({getattr(self, '_path', '?')!r}, not open)"
        return f"Run({self._path!r}, {len(self.functions)} functions, {len(self.channels)} channels)"
