"""What the viewer's page asks of a run: chromatograms, spectra, ion maps and
mobilograms, cut to the window shown and reduced for its pixels.

Everything here goes through the public calls of `Run`; the page's options
for centroids, lock-mass correction and the ion-mobility reading of
chromatograms are offered when the installed `Run` takes them (looked up in
its signatures), and what is missing until then is computed from
`Run.spectra` with numpy.

Functions of 30-byte index records hold ion-mobility scans: their m/z come
right only from the ion-mobility reading (``ims=True``), the 1-D reading
taking the drift field for a bin fraction.  Spectra, XICs, ion maps and
mobilograms of such functions are therefore all read with ``ims=True``, so
that a mass picked on the spectrum is the mass extracted.
"""

from __future__ import annotations

import inspect
import math
import threading
from collections import OrderedDict
from concurrent.futures import Future
from dataclasses import dataclass, field
from typing import Any, Callable, Hashable

import numpy as np
from numpy.typing import NDArray

from .._results import Chromatogram
from .._run import Run
from . import _reduce

# Retention-time maps: the drift-time and m/z span is looked up on this many
# scans spread over the range before the one pass that bins every ion.
_SPAN_SAMPLE_SCANS = 16
# Whole-function chromatograms kept (TIC, base peak, XIC), most recent last.
_MEMO_ITEMS = 64


class Superseded(Exception):
    """A long read given up because the page has asked for another one in
    its place (an ion map of a retention-time range, zoomed again)."""


class BadRequest(ValueError):
    """A request the page should not have made (a missing or malformed
    parameter): answered with 400 and the message."""


@dataclass
class Reply:
    """Arrays for the page and what it needs to know about them."""

    meta: dict[str, Any]
    arrays: list[tuple[str, NDArray[Any]]] = field(default_factory=list)


# An XIC's target and tolerance: (mz, ppm, None) or (mz, None, da), as
# `Run.xic` takes them.  A window [lo, hi] picked on a spectrum is the
# target (lo + hi) / 2 with da = (hi - lo) / 2.
Xic = tuple[float, float | None, float | None]


def parse_xic(text: str) -> Xic:
    """``lo:hi`` (an m/z window), ``MZ~Pppm`` or ``MZ~Dda``."""
    try:
        if ":" in text:
            lo, hi = (float(v) for v in text.split(":"))
            if math.isfinite(lo) and math.isfinite(hi) and 0 <= lo <= hi:
                return ((lo + hi) / 2, None, (hi - lo) / 2)
        else:
            mz, _, tol = text.lower().partition("~")
            unit = "ppm" if tol.endswith("ppm") else "da" if tol.endswith("da") else ""
            value, center = float(tol[:-len(unit)] if unit else "nan"), float(mz)
            if math.isfinite(center) and math.isfinite(value) and value >= 0:
                return (center, value, None) if unit == "ppm" else (center, None, value)
    except ValueError:
        pass
    raise BadRequest(f"xic={text!r}: give lo:hi, MZ~Pppm or MZ~Dda")


def tolerance(xic: Xic) -> float:
    """The half width of an XIC's window, in m/z."""
    center, ppm, da = xic
    return da if da is not None else center * (ppm or 0.0) / 1e6


def _accepts(call: Callable[..., Any], name: str) -> bool:
    try:
        return name in inspect.signature(call).parameters
    except (TypeError, ValueError):
        return False


class _Memo:
    """Results by key, computed once even when several requests ask at the
    same time (the later ones wait for the first); the oldest dropped
    beyond `size`.  Failures are not kept."""

    def __init__(self, size: int) -> None:
        self._size = size
        self._lock = threading.Lock()
        self._items: OrderedDict[Hashable, Future[Any]] = OrderedDict()

    def get(self, key: Hashable, compute: Callable[[], Any]) -> Any:
        with self._lock:
            future = self._items.get(key)
            mine = future is None
            if future is None:
                future = self._items[key] = Future()
                while len(self._items) > self._size:
                    self._items.popitem(last=False)
            else:
                self._items.move_to_end(key)
        if mine:
            try:
                future.set_result(compute())
            except BaseException as e:
                future.set_exception(e)
                with self._lock:
                    if self._items.get(key) is future:
                        del self._items[key]
        return future.result()


@dataclass(frozen=True)
class Trace:
    """A whole-function chromatogram, its retention times ascending."""

    rt: NDArray[np.float64]
    value: NDArray[np.float64]
    scans: NDArray[np.int64] | None = None
    mz: NDArray[np.float64] | None = None


def _trace(chrom: Chromatogram) -> Trace:
    rt, value, scans = chrom.rt_min, np.asarray(chrom.intensity, dtype=np.float64), chrom.scans
    mz = chrom.mz if isinstance(chrom.mz, np.ndarray) and chrom.mz.shape == rt.shape else None
    order = _reduce.ascending(rt)
    if order is not None:
        rt, value = rt[order], value[order]
        scans = None if scans is None else scans[order]
        mz = None if mz is None else mz[order]
    return Trace(rt, value, scans, mz)


class Source:
    """The run behind one viewer, and the answers to the page's requests."""

    def __init__(self, run: Run) -> None:
        self.run = run
        self._functions = {f.index: f for f in run.functions}
        self._ims = {f: run.index_record_size(f) == 30 for f in self._functions}
        self._memo = _Memo(_MEMO_ITEMS)
        self._runs: dict[float, Run] = {}
        self._runs_lock = threading.Lock()
        # The number of ion maps asked for so far: a map being binned stops
        # between batches once a later one is asked for.
        self._maps = 0
        self._maps_lock = threading.Lock()
        # What the installed Run offers beyond the calls used here.
        self.can_centroid = _accepts(run.spectrum, "centroid")
        self.can_lock_mass = _accepts(type(run), "lock_mass")
        self._xic_ims = _accepts(run.xic, "ims")
        self._base_peak_ims = _accepts(run.base_peak, "ims")
        mobilogram = getattr(run, "mobilogram", None)
        self._mobilogram = mobilogram is not None and all(_accepts(mobilogram, p) for p in ("da", "scans", "rt"))

    # -- what the page shows first -----------------------------------------

    def describe(self) -> dict[str, Any]:
        run = self.run
        calibrations = run.calibrations
        functions = []
        for f, info in self._functions.items():
            rt = self.rt(f)
            functions.append({
                "function": f,
                "scans": len(rt),
                "rt_min": [float(rt.min()), float(rt.max())] if len(rt) else None,
                "mz": [_f32(info.mz_low), _f32(info.mz_high)],
                "scan_time_s": _f32(info.scan_time_s),
                "drift_times": self._ims[f],
                "lock_mass": bool(info.is_lock_mass),
                "calibration": calibrations.get(f),
            })
        return {
            "path": run.path,
            "header": run.header,
            "instrument": {k: v for k, v in run.instrument.items() if k != "functions"},
            "functions": functions,
            "channels": [{"index": c.index, "name": c.name, "units": c.units} for c in run.channels],
            "options": {"centroid": self.can_centroid, "lock_mass": self.can_lock_mass},
        }

    def prefetch(self, func: int | None = None) -> None:
        """Reads the TIC and base peak of `func` (default: the first
        function) into the memo, for a page that will ask for them."""
        if func is None:
            if not self._functions:
                return
            func = next(iter(self._functions))
        self.trace(func, "tic")
        self.trace(func, "base_peak")

    # -- checks --------------------------------------------------------------

    def function(self, func: int) -> int:
        if func not in self._functions:
            known = ", ".join(map(str, self._functions)) or "none"
            raise LookupError(f"no function {func} (the run's functions: {known})")
        return func

    def has_drift_times(self, func: int) -> bool:
        return self._ims[self.function(func)]

    def _need_drift_times(self, func: int) -> None:
        if not self.has_drift_times(func):
            raise BadRequest(f"function {func} has no drift times (its index records are 22 bytes)")

    def _run(self, lock_mass: float | None) -> Run:
        """The run as opened with lock-mass correction to `lock_mass` (one
        `Run` per reference m/z asked for), or as it is."""
        if lock_mass is None:
            return self.run
        if not self.can_lock_mass:
            raise BadRequest("this version of tessmoor_bulk has no lock-mass correction")
        with self._runs_lock:
            run = self._runs.get(lock_mass)
            if run is None:
                run = self._runs[lock_mass] = Run(self.run.path, lock_mass=lock_mass)
            return run

    # -- chromatograms -------------------------------------------------------

    def rt(self, func: int) -> NDArray[np.float64]:
        return self._memo.get(("rt", func), lambda: self.run.rt(func))  # type: ignore[no-any-return]

    def nearest_scan(self, func: int, rt_min: float) -> int:
        rt = self.rt(self.function(func))
        if len(rt) == 0:
            raise LookupError(f"function {func} has no scans")
        with np.errstate(invalid="ignore"):
            return int(np.nanargmin(np.abs(rt - rt_min))) if np.isfinite(rt).any() else 0

    def trace(self, func: int, kind: str, *, xic: Xic | None = None, lock_mass: float | None = None,
              centroid: bool = False) -> Trace:
        """A whole-function TIC, base peak or XIC (of `xic`), memoised."""
        self.function(func)
        if kind == "tic":  # sums intensities: neither m/z correction nor reading changes it
            return self._memo.get(("tic", func), lambda: _trace(self.run.tic(func)))  # type: ignore[no-any-return]
        if centroid and not self.can_centroid:
            raise BadRequest("this version of tessmoor_bulk has no centroids")
        run, ims = self._run(lock_mass), self._ims[func]
        options: dict[str, Any] = {"centroid": True} if centroid else {}
        if kind == "base_peak":
            if ims and self._base_peak_ims:
                options["ims"] = True
            key: tuple[Any, ...] = ("base_peak", func, lock_mass, centroid)

            def read() -> Trace:
                t = _trace(run.base_peak(func, **options))
                # The 1-D reading's m/z are wrong for ion-mobility scans.
                return t if not ims or "ims" in options else Trace(t.rt, t.value, t.scans, None)
            return self._memo.get(key, read)  # type: ignore[no-any-return]
        if kind == "xic":
            if xic is None:
                raise BadRequest("an XIC needs its m/z: xic=lo:hi, or xic=MZ~Pppm or MZ~Dda")
            center, ppm, da = xic
            key = ("xic", func, xic, lock_mass, centroid)
            if ims and not self._xic_ims:
                return self._memo.get(key, lambda: self._ims_xic(run, func, center, tolerance(xic)))  # type: ignore[no-any-return]
            if ims:
                options["ims"] = True
            return self._memo.get(key, lambda: _trace(run.xic(func, center, ppm=ppm, da=da, **options)))  # type: ignore[no-any-return]
        raise BadRequest(f"unknown chromatogram {kind!r}: tic, base_peak, xic or channel")

    def _ims_xic(self, run: Run, func: int, center: float, half: float) -> Trace:
        """The XIC of an ion-mobility function from its ion-mobility reading:
        per scan, the sum in float64 and in record order of the intensities
        whose m/z lies in [center - half, center + half]."""
        rt = run.rt(func)
        sums = np.zeros(len(rt))
        window = (center - half, center + half)
        for part in run.iter_spectra(func, mz=window, ims=True):
            scan_of = np.repeat(part.scans, np.diff(part.offsets))
            sums += np.bincount(scan_of, weights=part.intensity, minlength=len(rt))
        return _trace(Chromatogram("xic", func, np.arange(len(rt), dtype=np.int64), rt, sums, center))

    def channel(self, index: int) -> tuple[Trace, str]:
        known = [c.index for c in self.run.channels]
        if index not in known:
            raise LookupError(f"no channel {index} (the run's channels: {', '.join(map(str, known)) or 'none'})")

        def read() -> tuple[Trace, str]:
            c = self.run.channel(index)
            label = c.name or f"channel {index}"
            return _trace(c), f"{label} ({c.units})" if c.units else label
        return self._memo.get(("channel", index), read)  # type: ignore[no-any-return]

    @staticmethod
    def chromatogram(trace: Trace, lo: float | None, hi: float | None, pixels: int) -> Reply:
        """The part of `trace` in [lo, hi] (and one point beyond each end),
        reduced for `pixels` columns."""
        start, stop = _reduce.window(trace.rt, lo, hi)
        rt, value = trace.rt[start:stop], trace.value[start:stop]
        keep = _reduce.m4(rt, value, pixels, lo, hi)
        arrays = [("rt", rt[keep]), ("value", value[keep])]
        if trace.mz is not None:
            arrays.append(("mz", trace.mz[start:stop][keep]))
        meta = {"points": int(stop - start), "shown": len(keep), "reduced": len(keep) < stop - start}
        return Reply(meta, arrays)

    # -- spectra -------------------------------------------------------------

    def spectrum(self, func: int, scan: int, lo: float | None, hi: float | None, pixels: int | None, *,
                 sticks: bool = False, centroid: bool = False, lock_mass: float | None = None) -> Reply:
        """The peaks of one scan in m/z order, those in [lo, hi] (and one
        beyond each end), reduced for `pixels` columns (None: all): to the
        tallest peak per column for `sticks`, else as a line (M4)."""
        ims = self.has_drift_times(func)
        options: dict[str, Any] = {"ims": True} if ims else {}
        if centroid:
            if not self.can_centroid:
                raise BadRequest("this version of tessmoor_bulk has no centroids")
            options["centroid"] = True
        spec = self._run(lock_mass).spectrum(func, scan, **options)
        mz, intensity = spec.mz, spec.intensity
        order = _reduce.ascending(mz)
        if order is not None:
            mz, intensity = mz[order], intensity[order]
        start, stop = _reduce.window(mz, lo, hi)
        mz, intensity = mz[start:stop], intensity[start:stop]
        reduce = _reduce.tallest if sticks else _reduce.m4
        keep = np.arange(len(mz)) if pixels is None else reduce(mz, intensity, pixels, lo, hi)
        meta = {"function": func, "scan": spec.scan, "rt_min": spec.rt_min, "scans": self.run.n_scans(func),
                "peaks": len(spec.mz), "points": len(mz), "shown": len(keep), "reduced": len(keep) < len(mz),
                "ion_mobility_reading": ims, "centroid": centroid}
        return Reply(meta, [("mz", mz[keep]), ("intensity", intensity[keep])])

    # -- ion mobility --------------------------------------------------------

    def _selection(self, func: int, scan: int | None, rt: tuple[float, float] | None) -> dict[str, Any]:
        """`scans=` or `rt=` for the reads of an ion map or a mobilogram."""
        if (scan is None) == (rt is None):
            raise BadRequest("give a scan or a retention-time range")
        if scan is not None:
            n = self.run.n_scans(func)
            if not -n <= scan < n:
                raise IndexError(f"scan {scan} out of range: function {func} has {n} scans")
            return {"scans": [scan % n]}
        return {"rt": rt}

    def ion_map(self, func: int, scan: int | None, rt: tuple[float, float] | None,
                mz: tuple[float, float] | None, drift: tuple[float, float] | None,
                bins: tuple[int, int], *, centroid: bool = False, lock_mass: float | None = None) -> Reply:
        """Intensity summed on an m/z x drift-time grid, over one scan or
        the scans of a retention-time range; `mz` and `drift` give the
        window (default: the span of the ions)."""
        self._need_drift_times(func)
        if centroid and not self.can_centroid:
            raise BadRequest("this version of tessmoor_bulk has no centroids")
        with self._maps_lock:
            self._maps += 1
            mine = self._maps
        run = self._run(lock_mass)
        select = self._selection(func, scan, rt)
        options: dict[str, Any] = {"ims": True, "centroid": True} if centroid else {"ims": True}
        sample = self._sample(run, func, select, options)
        if sample is None or len(sample.mz) == 0:
            info = self._functions[func]
            mz = mz or (float(info.mz_low), float(info.mz_high))
            drift = drift or (0.0, 1.0)
        else:
            mz = mz or (float(sample.mz.min()), float(sample.mz.max()))
            drift = drift or (float(sample.drift_time_ms.min()), float(sample.drift_time_ms.max()))
        nx, ny = bins
        if sample is not None and len(sample.mz):
            # A sparse map gets coarser cells, so that its ions stay visible:
            # cells along each axis grow with the square root of the ions.
            ions = len(sample.mz) * len(self._scans_in(func, select)) / max(len(sample), 1)
            nx = int(min(nx, max(50, 4 * math.sqrt(ions))))
            ny = int(min(ny, max(20, 2 * math.sqrt(ions))))
        ny = max(1, min(ny, _reduce.MAX_CELLS // max(nx, 1)))
        x_edges = _reduce.edges(mz[0], mz[1], nx)
        y_edges = None if sample is None else _reduce.grid_edges(sample.drift_time_ms, drift[0], drift[1], ny)
        if y_edges is None:
            y_edges = _reduce.edges(drift[0], drift[1], ny)
        nx, ny = len(x_edges) - 1, len(y_edges) - 1
        sums = np.zeros(nx * ny)
        ions = 0
        for part in run.iter_spectra(func, mz=(float(x_edges[0]), float(x_edges[-1])), **select, **options):
            if self._maps != mine:
                raise Superseded("a later ion map was asked for")
            ix = _reduce.bin_index(part.mz, x_edges)
            iy = _reduce.bin_index(part.drift_time_ms, y_edges)
            inside = (ix >= 0) & (iy >= 0)
            ions += int(inside.sum())
            sums += np.bincount(iy[inside] * nx + ix[inside], weights=part.intensity[inside], minlength=nx * ny)
        meta = {"function": func, "scan": select.get("scans", [None])[0], "rt": rt, "nx": nx, "ny": ny,
                "ions": ions}
        return Reply(meta, [("mz_edges", x_edges), ("drift_edges", y_edges),
                            ("intensity", sums.astype(np.float32))])

    def _scans_in(self, func: int, select: dict[str, Any]) -> NDArray[np.intp]:
        if "scans" in select:
            return np.asarray(select["scans"])
        lo, hi = select["rt"]
        rt = self.rt(func)
        return np.flatnonzero((rt >= lo) & (rt <= hi))

    def _sample(self, run: Run, func: int, select: dict[str, Any], options: dict[str, Any]) -> Any:
        """The ions of the one scan selected, or of a few scans spread over
        the retention-time range selected (None when it holds no scan): what
        the span of a map's axes is taken from."""
        if "scans" in select:
            return run.spectra(func, select["scans"], **options)
        inside = self._scans_in(func, select)
        if len(inside) == 0:
            return None
        picks = inside[np.linspace(0, len(inside) - 1, min(len(inside), _SPAN_SAMPLE_SCANS)).astype(np.int64)]
        return run.spectra(func, np.unique(picks), **options)

    def mobilogram(self, func: int, xic: Xic, scan: int | None, rt: tuple[float, float] | None, *,
                   lock_mass: float | None = None) -> Reply:
        """Per distinct drift time (ascending), the summed intensity of the
        ions within the XIC's m/z window, over one scan or a
        retention-time range."""
        self._need_drift_times(func)
        run = self._run(lock_mass)
        select = self._selection(func, scan, rt)
        center, ppm, da = xic
        half = tolerance(xic)
        if self._mobilogram:
            m = run.mobilogram(func, center, ppm=ppm, da=da, **select)
            drift, sums = m.drift_time_ms, np.asarray(m.intensity, dtype=np.float64)
        else:
            drifts, weights = [], []
            for part in run.iter_spectra(func, mz=(center - half, center + half), ims=True, **select):
                drifts.append(part.drift_time_ms)
                weights.append(part.intensity)
            all_drift = np.concatenate(drifts) if drifts else np.empty(0)
            drift, where = np.unique(all_drift, return_inverse=True)
            sums = np.bincount(where.ravel(), weights=np.concatenate(weights) if weights else None,
                               minlength=len(drift)).astype(np.float64)
        meta = {"function": func, "mz": [center - half, center + half], "scan": select.get("scans", [None])[0], "rt": rt}
        return Reply(meta, [("drift", drift), ("intensity", sums)])


def _f32(x: float) -> float:
    """The shortest decimal that reads back as the same 32-bit float."""
    return float(str(np.float32(x)))


def finite(value: float, name: str) -> float:
    if not math.isfinite(value):
        raise BadRequest(f"{name} must be a finite number")
    return value
