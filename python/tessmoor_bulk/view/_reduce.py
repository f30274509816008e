"""Reducing traces and ion clouds to what a plot of a given width can show.

A trace of n points drawn on p pixel columns shows, per column, at most the
first and last point, the lowest and the highest: keeping those four (the
M4 aggregation of Jugel et al., "M4: A Visualization-Oriented Time Series
Data Aggregation", VLDB 2014) draws the same picture as every point, with at
most 4p of them.  The points kept are points of the trace, values unchanged,
so a hover or a CSV of what is drawn still gives exact numbers.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

# Below this many points per pixel column a window is sent whole: four is
# what M4 would keep anyway.
POINTS_PER_PIXEL = 4
# The widest plot served, in device pixels (a 4K screen): 4 points of at
# most 24 bytes (retention time, value, base peak m/z) per column keep a
# trace's response under 400 kB.
MAX_PIXELS = 4096
# The most cells of an ion map: 250,000 float32 values are 1 MB.
MAX_CELLS = 250_000


def ascending(x: NDArray[Any]) -> NDArray[np.intp] | None:
    """None when `x` is already ascending, else the stable order that sorts
    it (equal values keep their record order)."""
    if len(x) < 2 or bool(np.all(x[1:] >= x[:-1])):
        return None
    return np.argsort(x, kind="stable")


def window(x: NDArray[np.float64], lo: float | None, hi: float | None) -> tuple[int, int]:
    """The slice of ascending `x` that covers [lo, hi] plus one point beyond
    each end, so that a line drawn from it reaches the plot's edges."""
    n = len(x)
    start = 0 if lo is None else max(int(np.searchsorted(x, lo, "left")) - 1, 0)
    stop = n if hi is None else min(int(np.searchsorted(x, hi, "right")) + 1, n)
    return start, max(start, stop)


def m4(x: NDArray[np.float64], y: NDArray[Any], pixels: int,
       lo: float | None = None, hi: float | None = None) -> NDArray[np.intp]:
    """The indices (ascending) of the points of the trace (x ascending, y)
    that M4 keeps for `pixels` columns spanning [lo, hi] (default: the
    trace's own span): every index when there are few enough points."""
    n = len(x)
    if n <= POINTS_PER_PIXEL * pixels:
        return np.arange(n)
    lo = float(x[0]) if lo is None else lo
    hi = float(x[-1]) if hi is None else hi
    span = hi - lo if hi > lo else 1.0
    column = np.clip(((x - lo) * (pixels / span)).astype(np.int64), 0, pixels - 1)
    # x ascending, so each column's points are one run of indices.
    starts = np.flatnonzero(np.r_[True, column[1:] != column[:-1]])
    ends = np.r_[starts[1:], n] - 1
    counts = ends - starts + 1
    keep = [starts, ends]
    # The first lowest and first highest point of each run.  fmin/fmax skip
    # NaN (a damaged channel sample), which then only ever shows as a first
    # or last point.
    values = np.asarray(y, dtype=np.float64)
    run_of = np.repeat(np.arange(len(starts)), counts)
    for reduce in (np.fmin, np.fmax):
        extreme = reduce.reduceat(values, starts)
        hits = np.flatnonzero(values == extreme[run_of])
        _, first = np.unique(run_of[hits], return_index=True)
        keep.append(hits[first])
    return np.unique(np.concatenate(keep))


def tallest(x: NDArray[np.float64], y: NDArray[Any], pixels: int,
            lo: float | None = None, hi: float | None = None) -> NDArray[np.intp]:
    """For peaks drawn as sticks from zero: the indices (ascending) of the
    first tallest peak of each of `pixels` columns, which hides every other
    stick of its column, so the picture is that of every peak."""
    n = len(x)
    if n <= pixels:
        return np.arange(n)
    lo = float(x[0]) if lo is None else lo
    hi = float(x[-1]) if hi is None else hi
    span = hi - lo if hi > lo else 1.0
    column = np.clip(((x - lo) * (pixels / span)).astype(np.int64), 0, pixels - 1)
    starts = np.flatnonzero(np.r_[True, column[1:] != column[:-1]])
    values = np.asarray(y, dtype=np.float64)
    run_of = np.repeat(np.arange(len(starts)), np.diff(np.r_[starts, n]))
    hits = np.flatnonzero(values == np.fmax.reduceat(values, starts)[run_of])
    _, first = np.unique(run_of[hits], return_index=True)
    # A column of NaN intensities only keeps its first point.
    return np.union1d(hits[first], starts[~np.isin(np.arange(len(starts)), run_of[hits])])


def edges(lo: float, hi: float, bins: int) -> NDArray[np.float64]:
    if not hi > lo:
        lo, hi = lo - 0.5, hi + 0.5
    return np.linspace(lo, hi, bins + 1)


def grid_edges(values: NDArray[np.float64], lo: float, hi: float, bins: int) -> NDArray[np.float64] | None:
    """Drift times are whole multiples of the pusher period: when the
    distinct `values` lie on a regular grid of at most `bins` points within
    [lo, hi], one bin per grid point (so that no bin falls between two grid
    points and stays empty); else None."""
    distinct = np.unique(values[(values >= lo) & (values <= hi)])
    if len(distinct) < 2:
        return None
    step = float(np.diff(distinct).min())
    first = distinct[0] - np.floor((distinct[0] - lo) / step) * step
    points = (distinct - first) / step
    count = int(np.floor((hi - first) / step)) + 1
    if count > bins or not np.allclose(points, np.round(points), atol=1e-3):
        return None
    grid: NDArray[np.float64] = first + (np.arange(count + 1) - 0.5) * step
    return grid


def bin_index(values: NDArray[np.float64], grid: NDArray[np.float64]) -> NDArray[np.int64]:
    """The bin of each value on the ascending edges `grid`, closed at both
    ends; -1 outside."""
    bins = len(grid) - 1
    lo, hi = grid[0], grid[-1]
    index: NDArray[np.int64]
    if grid.size > 2 and np.allclose(np.diff(grid), grid[1] - grid[0]):
        index = np.floor((values - lo) * (bins / (hi - lo))).astype(np.int64)
        index[values == hi] = bins - 1
    else:
        index = np.searchsorted(grid, values, "right").astype(np.int64) - 1
        index[values == hi] = bins - 1
    index[(values < lo) | (values > hi) | ~np.isfinite(values) | (index >= bins)] = -1
    return index
