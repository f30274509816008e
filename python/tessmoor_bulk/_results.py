"""The result classes: spectra and chromatograms as numpy arrays.

They hold the arrays the native reader decoded into, without a copy, and
hand out views: reading an attribute twice gives the same array, and the
scans of a batch are slices of its flat arrays.  They are immutable: no
attribute can be set once they exist (the arrays themselves are ordinary,
writable numpy arrays, owned by the caller).

`Spectrum` and `Spectra` are generic in the type of ``drift_time_ms``, for
type checkers: ``Spectrum[None]`` is what ``ims=False`` reads,
``Spectrum[NDArray[np.float64]]`` what ``ims=True`` reads, and a bare
``Spectrum`` may be either.  At run time the parameter changes nothing:
``Spectrum[None](...)`` makes a plain Spectrum, and ``ims`` tells the kinds
apart.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, ClassVar, Generic, Iterator, SupportsIndex, cast, overload

import numpy as np
from numpy.typing import NDArray

from ._extras import require

if TYPE_CHECKING:
    import pandas
    import polars
    import pyarrow
    # Type checkers know typing_extensions without it being installed; its
    # TypeVar takes a default (typing's only from Python 3.13), so that a
    # bare Spectrum means Spectrum[NDArray[np.float64] | None].
    from typing_extensions import TypeVar

    Drift = TypeVar("Drift", bound=NDArray[np.float64] | None, default=NDArray[np.float64] | None,
                    covariant=True)
else:
    from typing import TypeVar

    Drift = TypeVar("Drift", covariant=True)

# The long table of spectra, one row per peak: the layout of to_arrow(),
# to_pandas() and the Parquet export.  Ion-mobility reads add DRIFT_COLUMN.
LONG_COLUMNS: tuple[tuple[str, type[np.generic]], ...] = (
    ("function", np.int32), ("scan", np.int64), ("rt_min", np.float64), ("mz", np.float64),
    ("intensity", np.float32))
DRIFT_COLUMN: tuple[str, type[np.generic]] = ("drift_time_ms", np.float64)


class _Frozen:
    """Slots set once in __init__ and never again."""

    __slots__ = ()
    _fields: ClassVar[tuple[str, ...]]

    # The slots' own setters, in the order of _fields: a single scan's read
    # makes one of these objects, and this is the cheapest way to fill them.
    _setters: ClassVar[tuple[Any, ...]] = ()

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        cls._setters = tuple(getattr(cls, name).__set__ for name in cls.__dict__.get("_fields", ()))

    def _set(self, *values: Any) -> None:
        for setter, value in zip(self._setters, values):
            setter(self, value)

    # Hidden from type checkers, which would otherwise take them as leave
    # to assign any attribute: for them the attributes are read-only
    # properties, and unknown ones do not exist.
    if not TYPE_CHECKING:
        def __setattr__(self, name: str, value: Any) -> None:
            raise AttributeError(f"{type(self).__name__} objects are immutable")

        def __delattr__(self, name: str) -> None:
            raise AttributeError(f"{type(self).__name__} objects are immutable")

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), tuple(getattr(self, name) for name in self._fields))


class Spectrum(_Frozen, Generic[Drift]):
    """The peaks of one scan.

    Attributes
    ----------
    func : int
        Function number (from 1).
    scan : int
        Scan number (from 0).
    rt_min : float
        Retention time in minutes.
    mz : ndarray of float64
        Calibrated m/z values, in record order.
    intensity : ndarray of float32
        Intensities.
    drift_time_ms : ndarray of float64 or None
        Drift times in milliseconds, for ion-mobility reads (``ims=True``).
    """

    __slots__ = ("func", "scan", "rt_min", "mz", "intensity", "drift_time_ms")
    _fields = __slots__

    if TYPE_CHECKING:
        # The slots, read-only as they are at run time.
        @property
        def func(self) -> int: ...
        @property
        def scan(self) -> int: ...
        @property
        def rt_min(self) -> float: ...
        @property
        def mz(self) -> NDArray[np.float64]: ...
        @property
        def intensity(self) -> NDArray[np.float32]: ...
        @property
        def drift_time_ms(self) -> Drift: ...

    @overload
    def __init__(self: Spectrum[None], func: int, scan: int, rt_min: float, mz: NDArray[np.float64],
                 intensity: NDArray[np.float32], drift_time_ms: None = None) -> None: ...
    @overload
    def __init__(self, func: int, scan: int, rt_min: float, mz: NDArray[np.float64],
                 intensity: NDArray[np.float32], drift_time_ms: Drift) -> None: ...

    def __init__(self, func: int, scan: int, rt_min: float, mz: NDArray[np.float64],
                 intensity: NDArray[np.float32], drift_time_ms: NDArray[np.float64] | None = None) -> None:
        self._set(func, scan, rt_min, mz, intensity, drift_time_ms)

    @property
    def ims(self) -> bool:
        """True for an ion-mobility read (with drift times)."""
        return self.drift_time_ms is not None

    def __len__(self) -> int:
        return len(self.mz)

    def __repr__(self) -> str:
        unit = "ions" if self.ims else "peaks"
        return f"Spectrum(func={self.func}, scan={self.scan}, rt_min={self.rt_min:.4f}, {len(self)} {unit})"


class Spectra(_Frozen, Generic[Drift]):
    """The peaks of many scans of one function, in flat arrays.

    Scan ``i`` (``scans[i]`` in the function) holds the peaks
    ``mz[offsets[i]:offsets[i + 1]]`` (likewise ``intensity`` and
    ``drift_time_ms``).  ``batch[i]`` gives that scan as a `Spectrum` whose
    arrays are views into these; iterating gives every scan in order.

    Attributes
    ----------
    func : int
        Function number.
    scans : ndarray of int64
        Scan numbers, one per scan of the batch.
    rt_min : ndarray of float64
        Retention times in minutes, one per scan.
    offsets : ndarray of int64
        ``len(batch) + 1`` positions into the peak arrays.
    mz : ndarray of float64
        The m/z values of all scans, end to end.
    intensity : ndarray of float32
        Their intensities.
    drift_time_ms : ndarray of float64 or None
        Their drift times, for ion-mobility reads.
    """

    __slots__ = ("func", "scans", "rt_min", "offsets", "mz", "intensity", "drift_time_ms")
    _fields = __slots__

    if TYPE_CHECKING:
        @property
        def func(self) -> int: ...
        @property
        def scans(self) -> NDArray[np.int64]: ...
        @property
        def rt_min(self) -> NDArray[np.float64]: ...
        @property
        def offsets(self) -> NDArray[np.int64]: ...
        @property
        def mz(self) -> NDArray[np.float64]: ...
        @property
        def intensity(self) -> NDArray[np.float32]: ...
        @property
        def drift_time_ms(self) -> Drift: ...

    @overload
    def __init__(self: Spectra[None], func: int, scans: NDArray[np.int64], rt_min: NDArray[np.float64],
                 offsets: NDArray[np.int64], mz: NDArray[np.float64], intensity: NDArray[np.float32],
                 drift_time_ms: None = None) -> None: ...
    @overload
    def __init__(self, func: int, scans: NDArray[np.int64], rt_min: NDArray[np.float64],
                 offsets: NDArray[np.int64], mz: NDArray[np.float64], intensity: NDArray[np.float32],
                 drift_time_ms: Drift) -> None: ...

    def __init__(self, func: int, scans: NDArray[np.int64], rt_min: NDArray[np.float64],
                 offsets: NDArray[np.int64], mz: NDArray[np.float64], intensity: NDArray[np.float32],
                 drift_time_ms: NDArray[np.float64] | None = None) -> None:
        self._set(func, scans, rt_min, offsets, mz, intensity, drift_time_ms)

    @property
    def ims(self) -> bool:
        """True for an ion-mobility read (with drift times)."""
        return self.drift_time_ms is not None

    @property
    def n_peaks(self) -> int:
        """The number of peaks of all scans together."""
        return len(self.mz)

    def __len__(self) -> int:
        return len(self.scans)

    def _drift(self, lo: int, hi: int) -> Drift:
        """Peaks lo to hi of drift_time_ms: drift times again, or None."""
        return cast(Drift, None if self.drift_time_ms is None else self.drift_time_ms[lo:hi])

    @overload
    def __getitem__(self, i: SupportsIndex) -> Spectrum[Drift]: ...
    @overload
    def __getitem__(self, i: slice) -> Spectra[Drift]: ...

    def __getitem__(self, i: SupportsIndex | slice) -> Spectrum[Drift] | Spectra[Drift]:
        if isinstance(i, slice):
            start, stop, step = i.indices(len(self))
            if step != 1:
                raise ValueError("a batch can be sliced only with step 1")
            stop = max(start, stop)
            lo, hi = int(self.offsets[start]), int(self.offsets[stop])
            return Spectra(self.func, self.scans[start:stop], self.rt_min[start:stop],
                           self.offsets[start:stop + 1] - lo, self.mz[lo:hi], self.intensity[lo:hi],
                           self._drift(lo, hi))
        n = len(self)
        k = i.__index__()
        if k < 0:
            k += n
        if not 0 <= k < n:
            raise IndexError(f"scan position {i} out of range for a batch of {n} scans")
        lo, hi = int(self.offsets[k]), int(self.offsets[k + 1])
        return Spectrum(self.func, int(self.scans[k]), float(self.rt_min[k]), self.mz[lo:hi],
                        self.intensity[lo:hi], self._drift(lo, hi))

    def __iter__(self) -> Iterator[Spectrum[Drift]]:
        for k in range(len(self)):
            yield self[k]

    def _columns(self) -> dict[str, NDArray[Any]]:
        """The long table as numpy columns: the peak columns are the batch's
        own arrays, the others repeat each scan's values over its peaks."""
        counts = np.diff(self.offsets)
        out: dict[str, NDArray[Any]] = {
            "function": np.full(self.n_peaks, self.func, dtype=np.int32),
            "scan": np.repeat(self.scans, counts),
            "rt_min": np.repeat(self.rt_min, counts),
            "mz": self.mz,
            "intensity": self.intensity}
        if self.drift_time_ms is not None:
            out[DRIFT_COLUMN[0]] = self.drift_time_ms
        return out

    def to_arrow(self) -> pyarrow.Table:
        """The batch as a pyarrow Table with one row per peak: ``function``
        int32, ``scan`` int64, ``rt_min`` float64, ``mz`` float64,
        ``intensity`` float32, and ``drift_time_ms`` float64 for an
        ion-mobility read (the layout of the Parquet export).  Needs the
        ``arrow`` extra (pyarrow)."""
        pa = require("pyarrow", "arrow", "Spectra.to_arrow()")
        table: pyarrow.Table = pa.table(self._columns())
        return table

    def to_pandas(self) -> pandas.DataFrame:
        """The batch as a pandas DataFrame with one row per peak, in the
        columns of `to_arrow()`.  Needs the ``pandas`` extra.

        The ``mz``, ``intensity`` and ``drift_time_ms`` columns are the
        batch's own arrays, not copies (under pandas' copy-on-write, a
        change to the frame copies them first); the frame takes 20 bytes of
        new memory per peak, for ``function``, ``scan`` and ``rt_min``."""
        pd = require("pandas", "pandas", "Spectra.to_pandas()")
        # copy=False: neither copies nor merges the columns into one block
        # per dtype, which would hold every float64 column twice for a
        # while.
        frame: pandas.DataFrame = pd.DataFrame(self._columns(), copy=False)
        return frame

    def to_polars(self) -> polars.DataFrame:
        """The batch as a polars DataFrame with one row per peak, in the
        columns of `to_arrow()`, over the batch's arrays without copying
        them.  Needs the ``polars`` extra."""
        pl = require("polars", "polars", "Spectra.to_polars()")
        frame: polars.DataFrame = pl.DataFrame(self._columns())
        return frame

    def __repr__(self) -> str:
        unit = "ions" if self.ims else "peaks"
        return f"Spectra(func={self.func}, {len(self)} scans, {self.n_peaks} {unit})"


class Chromatogram(_Frozen):
    """A trace over retention time.

    Attributes
    ----------
    kind : str
        ``"tic"``, ``"base_peak"``, ``"xic"`` or ``"channel"``.
    func : int or None
        The function of a TIC, base peak or XIC.
    scans : ndarray of int64 or None
        The scan behind each point (None for an instrument channel).
    rt_min : ndarray of float64
        Retention times in minutes.
    intensity : ndarray of float64
        The trace: summed intensities (TIC, XIC), base peak intensities, or
        an instrument channel's values.  An XIC of several targets has one
        row per target.
    mz : ndarray of float64 or float or None
        The m/z of each scan's base peak (NaN for a scan without peaks), or
        the XIC target(s).
    channel : int or None
        The instrument channel's index.
    name : str or None
        The instrument channel's name, when its table lists it.
    units : str or None
        The instrument channel's units, when its table lists it.
    """

    __slots__ = ("kind", "func", "scans", "rt_min", "intensity", "mz", "channel", "name", "units")
    _fields = __slots__

    if TYPE_CHECKING:
        @property
        def kind(self) -> str: ...
        @property
        def func(self) -> int | None: ...
        @property
        def scans(self) -> NDArray[np.int64] | None: ...
        @property
        def rt_min(self) -> NDArray[np.float64]: ...
        @property
        def intensity(self) -> NDArray[np.float64]: ...
        @property
        def mz(self) -> NDArray[np.float64] | float | None: ...
        @property
        def channel(self) -> int | None: ...
        @property
        def name(self) -> str | None: ...
        @property
        def units(self) -> str | None: ...

    def __init__(self, kind: str, func: int | None, scans: NDArray[np.int64] | None, rt_min: NDArray[np.float64],
                 intensity: NDArray[np.float64], mz: NDArray[np.float64] | float | None = None,
                 channel: int | None = None, name: str | None = None, units: str | None = None) -> None:
        self._set(kind, func, scans, rt_min, intensity, mz, channel, name, units)

    def __len__(self) -> int:
        return len(self.rt_min)

    def _columns(self) -> dict[str, NDArray[Any]]:
        """The trace as columns: ``scan`` (when it has scans), ``rt_min``,
        then ``intensity`` (with ``mz`` for a base peak), ``value`` for an
        instrument channel, or one ``xic_MZ`` per target of an XIC of
        several targets (MZ as the shortest text of the target)."""
        out: dict[str, NDArray[Any]] = {}
        if self.scans is not None:
            out["scan"] = self.scans
        out["rt_min"] = self.rt_min
        if self.intensity.ndim == 2:
            for target, row in zip(np.atleast_1d(np.asarray(self.mz, dtype=np.float64)).tolist(), self.intensity):
                name = base = "xic_" + repr(target).removesuffix(".0")
                k = 1
                while name in out:  # a target given twice
                    k += 1
                    name = f"{base}_{k}"
                out[name] = row
        elif self.kind == "channel":
            out["value"] = self.intensity
        else:
            out["intensity"] = self.intensity
            if self.kind == "base_peak" and isinstance(self.mz, np.ndarray):
                out["mz"] = self.mz
        return out

    def to_pandas(self) -> pandas.DataFrame:
        """The trace as a pandas DataFrame, one row per point: ``scan`` (for
        a function's trace), ``rt_min``, then ``intensity`` (and ``mz`` for
        a base peak chromatogram), ``value`` for an instrument channel, or
        one column ``xic_MZ`` per target of an XIC of several targets.  The
        columns are the chromatogram's arrays, not copies.  Needs the
        ``pandas`` extra."""
        pd = require("pandas", "pandas", "Chromatogram.to_pandas()")
        frame: pandas.DataFrame = pd.DataFrame(self._columns(), copy=False)
        return frame

    def to_polars(self) -> polars.DataFrame:
        """The trace as a polars DataFrame, in the columns of `to_pandas()`.
        Needs the ``polars`` extra."""
        pl = require("polars", "polars", "Chromatogram.to_polars()")
        frame: polars.DataFrame = pl.DataFrame(self._columns())
        return frame

    def __repr__(self) -> str:
        where = f"channel={self.channel}" if self.kind == "channel" else f"func={self.func}"
        return f"Chromatogram({self.kind!r}, {where}, {len(self)} points)"


class Mobilogram(_Frozen):
    """An extracted ion mobilogram: intensity over drift time.

    Attributes
    ----------
    func : int
        The function (one with drift times).
    drift_time_ms : ndarray of float64
        One entry per drift position that holds a record of some target,
        ascending.
    intensity : ndarray of float64
        The sums over the selected scans, one per drift time; one row per
        target for a sequence of targets.
    mz : ndarray of float64 or float
        The target(s).
    """

    __slots__ = ("func", "drift_time_ms", "intensity", "mz")
    _fields = __slots__

    if TYPE_CHECKING:
        @property
        def func(self) -> int: ...
        @property
        def drift_time_ms(self) -> NDArray[np.float64]: ...
        @property
        def intensity(self) -> NDArray[np.float64]: ...
        @property
        def mz(self) -> NDArray[np.float64] | float: ...

    def __init__(self, func: int, drift_time_ms: NDArray[np.float64], intensity: NDArray[np.float64],
                 mz: NDArray[np.float64] | float) -> None:
        self._set(func, drift_time_ms, intensity, mz)

    def __len__(self) -> int:
        return len(self.drift_time_ms)

    def __repr__(self) -> str:
        return f"Mobilogram(func={self.func}, {len(self)} drift times)"
