"""`Run`: a .raw directory opened for whole-function reads."""

from __future__ import annotations

import operator
import os
import warnings
from typing import TYPE_CHECKING, Any, Generic, Literal, Sequence, SupportsIndex, TypedDict, Union, overload

import numpy as np
from numpy.typing import NDArray

import tessmoor

from . import _native
from ._check import CheckReport, Problem, problem_of
from ._native import FormatError
from ._results import Chromatogram, Drift, Mobilogram, Spectra, Spectrum

_U32_MAX = 0xFFFFFFFF
_U64_MAX = 0xFFFFFFFFFFFFFFFF
_I64_MAX = 0x7FFFFFFFFFFFFFFF
# Peaks per batch of iter_spectra by default (32 MiB of 8-byte scan
# records): with the batch a caller still holds while the next is read, peak
# memory stays near 200 MiB.
_BATCH_PEAKS = 1 << 22
# Scans looked at to tell profile from centroid data (spectrum_type).
_SPECTRUM_TYPE_SCANS = 64

# What `scans=` takes: every scan (None), a slice, or scan numbers in the
# order wanted, negative ones counting from the end.
Scans = Union[None, slice, Sequence[SupportsIndex], NDArray[np.integer[Any]]]
# A closed interval (lo, hi) of retention times or m/z values.
Window = tuple[float, float]
# A slice's start, stop (None: open) and step, for the native reader.
_Slice = tuple[int | None, int | None, int]


class LockMass:
    """A lock-mass correction: `mz` is the reference compound's m/z,
    `window_da` how far (in daltons, either side) its peak is looked for,
    `function` the lock-mass function (default: the one function whose
    ``is_lock_mass`` is set).  ``Run(path, lock_mass=556.2771)`` is
    ``Run(path, lock_mass=LockMass(556.2771))``."""

    __slots__ = ("mz", "window_da", "function")

    def __init__(self, mz: float, *, window_da: float = 0.5, function: SupportsIndex | None = None) -> None:
        mz, window_da = float(mz), float(window_da)
        if not (np.isfinite(mz) and mz > 0):
            raise ValueError(f"the lock mass must be a positive m/z, not {mz!r}")
        if not (np.isfinite(window_da) and window_da > 0):
            raise ValueError(f"window_da must be a positive number of daltons, not {window_da!r}")
        object.__setattr__(self, "mz", mz)
        object.__setattr__(self, "window_da", window_da)
        object.__setattr__(self, "function", None if function is None else _func(function))

    if TYPE_CHECKING:
        @property
        def mz(self) -> float: ...
        @property
        def window_da(self) -> float: ...
        @property
        def function(self) -> int | None: ...
    else:
        def __setattr__(self, name: str, value: Any) -> None:
            raise AttributeError("LockMass objects are immutable")

    def __eq__(self, other: object) -> bool:
        return isinstance(other, LockMass) and (self.mz, self.window_da, self.function) == \
            (other.mz, other.window_da, other.function)

    def __hash__(self) -> int:
        return hash((self.mz, self.window_da, self.function))

    def __reduce__(self) -> tuple[Any, ...]:
        return (_lock_mass, (self.mz, self.window_da, self.function))

    def __repr__(self) -> str:
        extra = "" if self.function is None else f", function={self.function}"
        return f"LockMass({self.mz!r}, window_da={self.window_da!r}{extra})"


def _lock_mass(mz: float, window_da: float, function: int | None) -> LockMass:
    return LockMass(mz, window_da=window_da, function=function)


def _reopen(path: str, lock_mass: LockMass | None) -> Run:
    return Run(path, lock_mass=lock_mass)


# A lock-mass correction for the native reader: the reference scans'
# retention times and factors.
_Lock = tuple[NDArray[np.float64], NDArray[np.float64]]


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
BadScans = Union[Literal["fail"], Literal["skip"]]


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

    __slots__ = ("_func", "_iteration", "_mz", "_threads", "_ions", "_next")

    def __init__(self, func: int, iteration: Any, mz: Window | None, threads: int,
                 ions: tuple[Window | None, bool, _Lock | None] = (None, False, None)) -> None:
        self._func, self._iteration, self._mz, self._threads = func, iteration, mz, threads
        self._ions = ions
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
        *arrays, _ = self._iteration.read(k, self._mz, self._threads, *self._ions)
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


def _targets(mz: Any, ppm: float | None,
             da: float | None) -> tuple[NDArray[np.float64], float | None, float | None, bool]:
    """XIC targets as an array, the tolerance (10 ppm by default) and
    whether a single target was given."""
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
    return targets, None if ppm is None else float(ppm), None if da is None else float(da), scalar


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

    With ``lock_mass`` (a reference m/z, or a `LockMass`), every m/z read
    from a function other than the lock-mass function is corrected by the
    factor of its scan (see `lock_mass_factors`).
    """

    __slots__ = ("_path", "_native", "_reader", "_lock_mass", "_lock")

    def __init__(self, path: str | os.PathLike[str] | bytes, *,
                 lock_mass: float | LockMass | None = None) -> None:
        # The file system's own bytes reach the reader, so that directory
        # names that are not UTF-8 open too; the str form (os.fsdecode)
        # is what the run shows and pickles.
        text = os.fspath(path)
        self._path: str = os.fsdecode(text)
        self._reader: tessmoor.RawReader | None = None
        if lock_mass is not None and not isinstance(lock_mass, LockMass):
            lock_mass = LockMass(lock_mass)
        self._lock_mass: LockMass | None = lock_mass
        # (lock-mass function, its reference scans), found when first needed.
        self._lock: tuple[int, _Lock | None] | None = None
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

    @property
    def lock_mass(self) -> LockMass | None:
        """The lock-mass correction the run applies, or None."""
        return self._lock_mass

    def lock_mass_function(self) -> int:
        """The lock-mass function: the one given, or the one function whose
        ``is_lock_mass`` is set (LookupError naming the choices otherwise)."""
        lock = self._lock_mass
        if lock is not None and lock.function is not None:
            known = [f.index for f in self.functions]
            if lock.function not in known:
                raise LookupError(f"{self._path}: no function {lock.function} for the lock mass (the run's "
                                  f"functions are {', '.join(map(str, known))})")
            return lock.function
        marked = [f.index for f in self.functions if f.is_lock_mass]
        if len(marked) != 1:
            which = "no function is" if not marked else f"functions {', '.join(map(str, marked))} are"
            raise LookupError(f"{self._path}: {which} marked as lock mass: name one with "
                              f"LockMass(mz, function=N) (the run's functions are "
                              f"{', '.join(str(f.index) for f in self.functions)})")
        return marked[0]

    def lock_mass_reference(self) -> tuple[NDArray[np.int64], NDArray[np.float64], NDArray[np.float64],
                                           NDArray[np.float64]]:
        """The lock-mass scans where the reference peak was found: their
        scan numbers, retention times, observed m/z (the most intense
        centroid within the window) and factors (reference m/z / observed),
        ascending in retention time.  ValueError without a lock mass."""
        lock = self._lock_mass
        if lock is None:
            raise ValueError("the run was opened without lock_mass")
        func = self.lock_mass_function()
        return self._native.lock_mass_reference(func, lock.mz, lock.window_da, _native.available_cores())

    def _correction(self, func: int) -> _Lock | None:
        """The correction of `func` for the native reader: None without a
        lock mass, for the lock-mass function itself, and when the reference
        peak was found nowhere (with a warning, once)."""
        if self._lock_mass is None:
            return None
        if self._lock is None:
            lock_func = self.lock_mass_function()
            _, rt_min, _, factor = self.lock_mass_reference()
            if len(factor) == 0:
                warnings.warn(f"{self._path}: the lock mass {self._lock_mass.mz!r} was found in no scan of "
                              f"function {lock_func} (within ±{self._lock_mass.window_da!r} Da): m/z left "
                              f"as recorded", RuntimeWarning, stacklevel=3)
            self._lock = (lock_func, (rt_min, factor) if len(factor) else None)
        lock_func, reference = self._lock
        return None if func == lock_func else reference

    def lock_mass_factors(self, func: SupportsIndex) -> NDArray[np.float64]:
        """The factor every m/z of each scan of `func` is multiplied by (float64,
        one per scan): 1.0 without a lock mass and for the lock-mass function."""
        f = _func(func)
        correction = self._correction(f)
        if correction is None:
            return np.ones(self.n_scans(f))
        return self._native.lock_mass_factors(f, correction)

    def index_record_size(self, func: SupportsIndex) -> int:
        """22 or 30: the size of the scan index records of `func`.  Functions
        of 30-byte records hold ion-mobility scans (``ims=True`` reads them
        with drift times)."""
        return int(self._native.describe(_func(func))[1])

    def has_drift_times(self, func: SupportsIndex) -> bool:
        """True when the scans of `func` carry drift times (its index records
        are 30 bytes): ``ims=True`` reads them."""
        return bool(self._native.describe(_func(func))[2])

    def spectrum_type(self, func: SupportsIndex) -> Literal["profile", "centroid"]:
        """What the scans of `func` hold: ``"profile"`` (a continuous signal)
        when more than half of the records, in up to 64 scans spread evenly
        over the function, have a record in the next time-of-flight bin (of
        the same drift position, for a function with drift times);
        ``"centroid"`` (one record per ion) otherwise."""
        _, records, with_next = self._native.neighbours(_func(func), _SPECTRUM_TYPE_SCANS)
        return "profile" if 2 * with_next > records else "centroid"
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
    def spectrum(self, func: SupportsIndex, scan: SupportsIndex, *, ims: Literal[False] = False,
                 drift: Window | None = None, centroid: bool = False) -> Spectrum[None]: ...
    @overload
    def spectrum(self, func: SupportsIndex, scan: SupportsIndex, *, ims: Literal[True],
                 drift: Window | None = None, centroid: bool = False) -> Spectrum[NDArray[np.float64]]: ...
    @overload
    def spectrum(self, func: SupportsIndex, scan: SupportsIndex, *, ims: bool,
                 drift: Window | None = None, centroid: bool = False) -> Spectrum[NDArray[np.float64] | None]: ...

    def spectrum(self, func: SupportsIndex, scan: SupportsIndex, *, ims: bool = False,
                 drift: Window | None = None, centroid: bool = False) -> Spectrum[NDArray[np.float64] | None]:
        """One scan as a `Spectrum`; ``ims=True`` reads drift times too
        (30-byte-index functions only), `drift` and `centroid` as in
        `spectra()`.  A negative `scan` counts from the end; one out of
        range raises IndexError."""
        f = _func(func)
        s = operator.index(scan)
        if not -(1 << 63) <= s < (1 << 63):
            raise IndexError(f"scan {s} out of range")
        if drift is not None or centroid or self._correction(f) is not None:
            return self.spectra(f, [s], ims=bool(ims), drift=drift, centroid=centroid, threads=1)[0]
        number, rt_min, mz, intensity, drift_ms = self._native.scan(f, s, bool(ims))
        return Spectrum(f, number, rt_min, mz, intensity, drift_ms)

    @overload
    def spectra(self, func: SupportsIndex, scans: Scans = None, *, rt: Window | None = None,
                mz: Window | None = None, ims: Literal[False] = False, drift: Window | None = None,
                centroid: bool = False, threads: int | None = None,
                on_bad_scan: BadScans = "fail") -> Spectra[None]: ...
    @overload
    def spectra(self, func: SupportsIndex, scans: Scans = None, *, rt: Window | None = None,
                mz: Window | None = None, ims: Literal[True], drift: Window | None = None,
                centroid: bool = False, threads: int | None = None,
                on_bad_scan: BadScans = "fail") -> Spectra[NDArray[np.float64]]: ...
    @overload
    def spectra(self, func: SupportsIndex, scans: Scans = None, *, rt: Window | None = None,
                mz: Window | None = None, ims: bool, drift: Window | None = None,
                centroid: bool = False, threads: int | None = None,
                on_bad_scan: BadScans = "fail") -> Spectra[NDArray[np.float64] | None]: ...

    def spectra(self, func: SupportsIndex, scans: Scans = None, *, rt: Window | None = None,
                mz: Window | None = None, ims: bool = False, drift: Window | None = None,
                centroid: bool = False, threads: int | None = None,
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
            ``(lo, hi)``: keep only peaks whose m/z lies in [lo, hi] (after
            centroiding and the lock-mass correction).
        ims
            Read the ion-mobility records with drift times (refused, with
            ValueError, on functions of 22-byte index records).
        drift
            ``(lo, hi)`` in milliseconds, with ``ims=True``: keep only the
            records whose drift time lies in [lo, hi].
        centroid
            One centroid per peak instead of one entry per time-of-flight bin
            (with ``ims=True``, per peak and drift position); see the guide's
            "Centroids".
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
        numbers, rt_min, offsets, peak_mz, intensity, drift_ms, skipped = self._native.spectra(
            f, picks, part, _window("rt", rt), _window("mz", mz), bool(ims), _threads(threads), _skip(on_bad_scan),
            _window("drift", drift), bool(centroid), self._correction(f))
        _warn_skipped(f, skipped)
        return Spectra(f, numbers, rt_min, offsets, peak_mz, intensity, drift_ms)

    @overload
    def iter_spectra(self, func: SupportsIndex, *, batch_scans: SupportsIndex = 1024,
                     batch_peaks: SupportsIndex | None = None, scans: Scans = None,
                     rt: Window | None = None, mz: Window | None = None, ims: Literal[False] = False,
                     drift: Window | None = None, centroid: bool = False,
                     threads: int | None = None, on_bad_scan: BadScans = "fail") -> SpectraBatches[None]: ...
    @overload
    def iter_spectra(self, func: SupportsIndex, *, batch_scans: SupportsIndex = 1024,
                     batch_peaks: SupportsIndex | None = None, scans: Scans = None,
                     rt: Window | None = None, mz: Window | None = None, ims: Literal[True],
                     drift: Window | None = None, centroid: bool = False,
                     threads: int | None = None,
                     on_bad_scan: BadScans = "fail") -> SpectraBatches[NDArray[np.float64]]: ...
    @overload
    def iter_spectra(self, func: SupportsIndex, *, batch_scans: SupportsIndex = 1024,
                     batch_peaks: SupportsIndex | None = None, scans: Scans = None,
                     rt: Window | None = None, mz: Window | None = None, ims: bool,
                     drift: Window | None = None, centroid: bool = False,
                     threads: int | None = None,
                     on_bad_scan: BadScans = "fail") -> SpectraBatches[NDArray[np.float64] | None]: ...

    def iter_spectra(self, func: SupportsIndex, *, batch_scans: SupportsIndex = 1024,
                     batch_peaks: SupportsIndex | None = None, scans: Scans = None,
                     rt: Window | None = None, mz: Window | None = None, ims: bool = False,
                     drift: Window | None = None, centroid: bool = False,
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
        ions = (_window("drift", drift), bool(centroid), self._correction(f))
        if ions[0] is not None and not ims:
            raise ValueError("a drift window needs the ion-mobility reading (ims)")
        iteration = self._native.iterate(f, picks, part, _window("rt", rt), bool(ims), size, peaks, n_threads,
                                         _skip(on_bad_scan))
        _warn_skipped(f, iteration.skipped)
        return SpectraBatches(f, iteration, _window("mz", mz), n_threads, ions)

    # -- chromatograms -----------------------------------------------------

    def tic(self, func: SupportsIndex, *, scans: Scans = None, rt: Window | None = None, mz: Window | None = None,
            ims: bool = False, drift: Window | None = None, threads: int | None = None,
            on_bad_scan: BadScans = "fail") -> Chromatogram:
        """Total ion chromatogram: per scan, the sum in float64 and in record
        order of its intensities (only those of peaks inside `mz`, if given).
        `scans`, `rt` and `on_bad_scan` select scans as in `spectra()`; `ims`
        and `drift` read as there (the ion-mobility reading gives other m/z,
        so it matters with `mz`)."""
        return self._reduce("tic", func, scans, rt, mz, ims, drift, False, threads, on_bad_scan)

    def base_peak(self, func: SupportsIndex, *, scans: Scans = None, rt: Window | None = None,
                  mz: Window | None = None, ims: bool = False, drift: Window | None = None,
                  centroid: bool = False, threads: int | None = None,
                  on_bad_scan: BadScans = "fail") -> Chromatogram:
        """Base peak chromatogram: per scan, the largest intensity (the first
        such peak on ties) in `intensity` and its m/z in `mz`; a scan without
        peaks gives 0 and NaN.  With ``centroid=True``, the largest
        centroid."""
        return self._reduce("base_peak", func, scans, rt, mz, ims, drift, centroid, threads, on_bad_scan)

    def xic(self, func: SupportsIndex, mz: float | Sequence[float] | NDArray[np.floating[Any]], *,
            ppm: float | None = None, da: float | None = None, scans: Scans = None, rt: Window | None = None,
            ims: bool = False, drift: Window | None = None, centroid: bool = False,
            threads: int | None = None, on_bad_scan: BadScans = "fail") -> Chromatogram:
        """Extracted ion chromatogram: per scan, the sum of the intensities
        whose m/z lies in [target - tol, target + tol], tol being `da`, or
        target * ppm / 1e6 (default: 10 ppm).  For a sequence of targets,
        `intensity` has one row per target.  ``ims=True`` takes the m/z of
        the ion-mobility reading (the right ones for a function with drift
        times), `drift` keeps the records of a drift window, ``centroid=True``
        sums centroids instead of records."""
        f = _func(func)
        targets, ppm_, da_, scalar = _targets(mz, ppm, da)
        picks, part = _scans(scans)
        numbers, rt_min, intensity, _, skipped = self._native.reduce(
            "xic", f, picks, part, _window("rt", rt), None, targets, ppm_, da_, _threads(threads),
            _skip(on_bad_scan), bool(ims), _window("drift", drift), bool(centroid), self._correction(f))
        _warn_skipped(f, skipped)
        if scalar:
            return Chromatogram("xic", f, numbers, rt_min, intensity[0], float(targets[0]))
        return Chromatogram("xic", f, numbers, rt_min, intensity, targets)

    def mobilogram(self, func: SupportsIndex, mz: float | Sequence[float] | NDArray[np.floating[Any]], *,
                   ppm: float | None = None, da: float | None = None, rt: Window | None = None,
                   scans: Scans = None, drift: Window | None = None, threads: int | None = None) -> Mobilogram:
        """Extracted ion mobilogram of an ion-mobility function: per drift
        position, the sum over the selected scans of the intensities whose
        m/z (of the ion-mobility reading) lies in the target's window, as in
        `xic()`.  `drift_time_ms` lists every drift position that holds such
        a record, ascending; `intensity` has one row per target for a
        sequence of targets."""
        f = _func(func)
        targets, ppm_, da_, scalar = _targets(mz, ppm, da)
        picks, part = _scans(scans)
        drift_ms, intensity = self._native.mobilogram(f, picks, part, _window("rt", rt), targets, ppm_, da_,
                                                     _window("drift", drift), self._correction(f),
                                                     _threads(threads))
        if scalar:
            return Mobilogram(f, drift_ms, intensity[0], float(targets[0]))
        return Mobilogram(f, drift_ms, intensity, targets)

    def _reduce(self, kind: str, func: SupportsIndex, scans: Scans, rt: Window | None, mz: Window | None,
                ims: bool, drift: Window | None, centroid: bool, threads: int | None,
                on_bad_scan: BadScans) -> Chromatogram:
        f = _func(func)
        picks, part = _scans(scans)
        numbers, rt_min, intensity, peak_mz, skipped = self._native.reduce(
            kind, f, picks, part, _window("rt", rt), _window("mz", mz), None, None, None, _threads(threads),
            _skip(on_bad_scan), bool(ims), _window("drift", drift), bool(centroid), self._correction(f))
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
        return (_reopen, (self._path, self._lock_mass))

    def __repr__(self) -> str:
        if not hasattr(self, "_native"):  # a constructor that failed, seen in its traceback
            return f"Run({getattr(self, '_path', '?')!r}, not open)"
        return f"Run({self._path!r}, {len(self.functions)} functions, {len(self.channels)} channels)"
