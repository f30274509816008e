"""Many runs as one lazy Dask DataFrame, read where the tasks run.

    import tessmoor_bulk.dask
    peaks = tessmoor_bulk.dask.read_spectra(paths, 1)   # nothing read yet
    peaks.to_parquet("peaks/")                          # read and written by the workers

`read_spectra` gives the long table of the Parquet export (one row per peak:
``function`` int32, ``scan`` int64, ``rt_min`` float64, ``mz`` float64,
``intensity`` float32, and ``drift_time_ms`` float64 with ``ims=True``)
behind a first column ``run``, the run's path as given.  There is one
partition per run, function and block of scans; `tic` gives one per run and
function.  A task carries only a path, a function and a scan range and opens
the run itself: scan data stays on the workers (unless a result is computed
into the client), and every worker must see the runs under the paths given.

``run`` is categorical, each partition with the single category of its path.
The path repeats on every row, so a string column would store its bytes once
per peak (more than the numbers of the row); as a category it costs one
byte a row.  The categories are left unknown in the metadata: declaring
every path would put the whole list of runs into every task.

Needs the ``dask`` extra: ``pip install 'tessmoor[dask]'``.
"""

from __future__ import annotations

import operator
import os
from typing import Any, Iterable

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
    from dask.dataframe.utils import clear_known_categories
except ImportError as e:
    raise ImportError(f"tessmoor_bulk.dask needs dask[dataframe] ({e}): pip install 'tessmoor[dask]'",
                      name=e.name) from e

import numpy as np

from . import _native
from ._results import Chromatogram, Spectra
from ._run import LockMass, Run, _func, _threads, _window

__all__ = ["read_spectra", "tic"]

DEFAULT_SCANS_PER_PARTITION = 256


def read_spectra(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
                 func: int | Iterable[int], *, ims: bool = False, drift: tuple[float, float] | None = None,
                 centroid: bool = False, lock_mass: float | LockMass | None = None,
                 scans_per_partition: int | None = DEFAULT_SCANS_PER_PARTITION,
                 threads: int = 1) -> dd.DataFrame:
    """The peaks of function(s) `func` of every run in `paths`, as a lazy
    Dask DataFrame in the long layout, with one partition per run, function
    and block of `scans_per_partition` scans, in the order given.

    Building the frame needs the scan count of each run and function: one
    small task per run, run by the current scheduler (on the workers when a
    distributed Client is active), opens the run (its _HEADER.TXT,
    _extern.inf, _FUNCTNS.INF and _CHROMS.INF) and looks at the size of
    each function's index (reading it only when its size fits both
    layouts).  No scan data is read until the frame is computed.  With
    ``scans_per_partition=None`` nothing at all is read.  A missing run or
    function fails here.

    Parameters
    ----------
    paths
        Run directories (or a single one); ``run`` holds each as given.
    func
        A function number or several, read from every run.
    ims, drift, centroid
        As `Run.spectra` takes them: drift times too (a function of 22-byte
        index records then fails the computation with ValueError), only
        those of a drift window, centroids.
    lock_mass
        The lock-mass correction each task's run applies (as
        ``Run(path, lock_mass=...)``).
    scans_per_partition
        Scans per partition (a partition holds 33 bytes per peak, 41 with
        drift times), or None for one partition per run and function.
    threads
        Decoding threads per task; the workers already run tasks side by
        side.
    """
    runs, funcs, n_threads = _runs(paths), _funcs(func), _threads(threads)
    parts: list[tuple[str, int, int | None, int | None]]
    if scans_per_partition is None:
        parts = [(path, f, None, None) for path in runs for f in funcs]
    else:
        size = operator.index(scans_per_partition)
        if size < 1:
            raise ValueError(f"scans_per_partition must be at least 1 or None, not {size}")
        counts = _scan_counts(runs, funcs)
        # An empty function still gets its (empty) partition, so that every
        # run and function is read, and a refused ion-mobility read fails.
        parts = [(path, f, start, min(start + size, n))
                 for path in runs for f, n in zip(funcs, counts[path])
                 for start in range(0, max(n, 1), size)]
    ims = bool(ims)
    if drift is not None and not ims:
        raise ValueError("a drift window needs the ion-mobility reading (ims=True)")
    options = {"ims": ims, "drift": _window("drift", drift), "centroid": bool(centroid)}
    lock = _lock_mass(lock_mass)
    meta = _spectra_frame("", _empty_spectra(funcs[0], ims))
    frame: dd.DataFrame = dd.from_map(_read_block, parts, options=options, lock_mass=lock, threads=n_threads,
                                      meta=clear_known_categories(meta, cols=["run"]), label="tessmoor-spectra")
    return frame


def tic(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], func: int | Iterable[int], *,
        ims: bool = False, drift: tuple[float, float] | None = None, lock_mass: float | LockMass | None = None,
        threads: int = 1) -> dd.DataFrame:
    """The total ion chromatograms of function(s) `func` of every run in
    `paths`, as a lazy Dask DataFrame with one partition per run and function
    and the columns ``run`` (category, the path as given), ``function``
    int32, ``scan`` int64, ``rt_min`` float64 and ``intensity`` float64 (per
    scan, the sum of its intensities, as `Run.tic` forms it, with `ims` and
    `drift` as there).  `lock_mass` is taken as `read_spectra` takes it; it
    changes no TIC (the correction moves m/z, not intensities), so the tasks
    do not look for the reference.  Nothing is read until the frame is
    computed."""
    runs, funcs, n_threads = _runs(paths), _funcs(func), _threads(threads)
    _lock_mass(lock_mass)
    options = {"ims": bool(ims), "drift": _window("drift", drift)}
    meta = _tic_frame("", Chromatogram("tic", funcs[0], np.empty(0, np.int64), np.empty(0), np.empty(0)))
    frame: dd.DataFrame = dd.from_map(_read_tic, [(path, f) for path in runs for f in funcs], options=options,
                                      threads=n_threads,
                                      meta=clear_known_categories(meta, cols=["run"]), label="tessmoor-tic")
    return frame


# -- arguments -------------------------------------------------------------------


def _runs(paths: Any) -> list[str]:
    # A lone path is one run, not a sequence of one-letter runs.
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    runs = [os.fsdecode(os.fspath(p)) for p in paths]
    if not runs:
        raise ValueError("no runs given")
    return runs


def _funcs(func: Any) -> list[int]:
    if isinstance(func, (int, np.integer)):
        return [_func(func)]
    funcs = [_func(f) for f in func]
    if not funcs:
        raise ValueError("no functions given")
    return funcs


def _scan_counts(runs: list[str], funcs: list[int]) -> dict[str, list[int]]:
    unique = list(dict.fromkeys(runs))
    counts = dask.compute(*[dask.delayed(_count_scans, pure=True)(path, funcs) for path in unique])
    return dict(zip(unique, counts))


def _count_scans(path: str, funcs: list[int]) -> list[int]:
    run = Run(path)
    return [run.n_scans(f) for f in funcs]


# -- partitions ------------------------------------------------------------------


def _lock_mass(value: float | LockMass | None) -> LockMass | None:
    return value if value is None or isinstance(value, LockMass) else LockMass(value)


def _read_block(part: tuple[str, int, int | None, int | None], *, options: dict[str, Any],
                lock_mass: LockMass | None, threads: int) -> pd.DataFrame:
    path, func, start, stop = part
    run = Run(path, lock_mass=lock_mass)
    return _spectra_frame(path, run.spectra(func, slice(start, stop), threads=threads, **options))


def _read_tic(part: tuple[str, int], *, options: dict[str, Any], threads: int) -> pd.DataFrame:
    path, func = part
    return _tic_frame(path, Run(path).tic(func, threads=threads, **options))


def _run_column(path: str, n: int) -> pd.Categorical:
    return pd.Categorical.from_codes(np.zeros(n, dtype=np.int8), categories=[path])


def _spectra_frame(path: str, batch: Spectra) -> pd.DataFrame:
    # The long table of the Parquet export, behind the run's path.
    columns = {"run": _run_column(path, batch.n_peaks), **batch._columns()}
    return pd.DataFrame(columns, copy=False)


def _empty_spectra(func: int, ims: bool) -> Spectra:
    empty = np.empty(0)
    return Spectra(func, np.empty(0, np.int64), empty, np.zeros(1, np.int64), empty,
                   np.empty(0, np.float32), empty if ims else None)


def _tic_frame(path: str, chrom: Chromatogram) -> pd.DataFrame:
    n = len(chrom)
    return pd.DataFrame({"run": _run_column(path, n),
                         "function": np.full(n, chrom.func, dtype=np.int32),
                         "scan": chrom.scans,
                         "rt_min": chrom.rt_min,
                         "intensity": chrom.intensity}, copy=False)
