"""Pictures of chromatograms and spectra, drawn with matplotlib (the
``plot`` extra): PNG, SVG or PDF, as the file's suffix says.

Figures are made with matplotlib's object interface and its Agg renderer:
no pyplot, so no window, no global figure state and no backend to choose.
"""

from __future__ import annotations

import os
from typing import Any, Sequence

import numpy as np
from numpy.typing import NDArray

from ._extras import require
from ._results import Chromatogram, Mobilogram, Spectrum

# Ion-mobility maps: bins along each axis grow with the square root of the
# number of ions (a sparse scan gets coarse bins that stay visible), up to
# these.  Drift times on a regular grid (steps of one pusher period) get
# one row per grid point, so that binning leaves no empty stripes.
_MZ_BINS = (50, 600)
_DRIFT_BINS = (20, 200)


def chromatogram(chrom: Chromatogram, path: str | os.PathLike[str], title: str,
                 labels: Sequence[str] = ()) -> None:
    """A trace (or one per row of an XIC of several targets) as lines."""
    fig, ax = _figure()
    rows = np.atleast_2d(chrom.intensity)
    for k, row in enumerate(rows):
        ax.plot(chrom.rt_min, row, linewidth=1.0, label=labels[k] if k < len(labels) else None)
    if len(labels) > 1:
        ax.legend(frameon=False)
    ax.set_xlabel("retention time (min)")
    ax.set_ylabel("intensity")
    ax.set_ylim(bottom=0)
    ax.margins(x=0)
    _save(fig, ax, path, title)


def mobilogram(mob: Mobilogram, path: str | os.PathLike[str], title: str, labels: Sequence[str] = ()) -> None:
    """Intensity over drift time (one line per target)."""
    fig, ax = _figure()
    for k, row in enumerate(np.atleast_2d(mob.intensity)):
        ax.plot(mob.drift_time_ms, row, linewidth=1.0, label=labels[k] if k < len(labels) else None)
    if len(labels) > 1:
        ax.legend(frameon=False)
    ax.set_xlabel("drift time (ms)")
    ax.set_ylabel("intensity")
    ax.set_ylim(bottom=0)
    ax.margins(x=0)
    _save(fig, ax, path, title)


def spectrum(spec: Spectrum, path: str | os.PathLike[str], title: str) -> None:
    """A spectrum as sticks, or an ion-mobility scan as an m/z x drift time
    map of summed intensity (logarithmic colours)."""
    fig, ax = _figure()
    if spec.drift_time_ms is None:
        ax.vlines(spec.mz, 0, spec.intensity, linewidth=0.8)
        ax.set_ylabel("intensity")
        ax.set_ylim(bottom=0)
    else:
        _ion_map(fig, ax, spec.mz, spec.drift_time_ms, spec.intensity)
        ax.set_ylabel("drift time (ms)")
    ax.set_xlabel("m/z")
    _save(fig, ax, path, title)


def _ion_map(fig: Any, ax: Any, mz: NDArray[np.float64], drift: NDArray[np.float64],
             intensity: NDArray[np.float32]) -> None:
    from matplotlib.colors import LogNorm

    keep = intensity > 0
    if not keep.any():
        ax.text(0.5, 0.5, "no ions", transform=ax.transAxes, ha="center", va="center")
        return
    mz, drift, weight = mz[keep], drift[keep], intensity[keep]
    root = np.sqrt(len(mz))
    mz_edges = _edges(mz, int(np.clip(4 * root, *_MZ_BINS)))
    drift_edges = _grid_edges(drift, _DRIFT_BINS[1])
    if drift_edges is None:
        drift_edges = _edges(drift, int(np.clip(2 * root, *_DRIFT_BINS)))
    sums, _, _ = np.histogram2d(mz, drift, weights=weight, bins=(mz_edges, drift_edges))
    image = ax.pcolormesh(mz_edges, drift_edges, np.ma.masked_equal(sums.T, 0), norm=LogNorm(),
                          cmap="viridis", shading="flat")
    fig.colorbar(image, ax=ax, label="intensity (sum per bin)")


def _edges(values: NDArray[np.float64], bins: int) -> NDArray[np.float64]:
    lo, hi = float(values.min()), float(values.max())
    if lo == hi:
        lo, hi = lo - 0.5, hi + 0.5
    return np.linspace(lo, hi, bins + 1)


def _grid_edges(values: NDArray[np.float64], bins: int) -> NDArray[np.float64] | None:
    """One bin per point of the regular grid the values lie on, if they lie
    on one of at most `bins` points; else None."""
    distinct = np.unique(values)
    if len(distinct) < 2:
        return None
    step = float(np.diff(distinct).min())
    points = (distinct - distinct[0]) / step
    count = int(round(points[-1])) + 1
    if count > bins or not np.allclose(points, np.round(points), atol=1e-3):
        return None
    edges: NDArray[np.float64] = distinct[0] + (np.arange(count + 1) - 0.5) * step
    return edges


def _figure() -> tuple[Any, Any]:
    require("matplotlib", "plot", "--plot")
    from matplotlib.figure import Figure

    fig = Figure(figsize=(9, 5), dpi=110, layout="constrained")
    return fig, fig.add_subplot()


FORMATS = ("png", "svg", "pdf")


def _save(fig: Any, ax: Any, path: str | os.PathLike[str], title: str) -> None:
    fmt = os.path.splitext(path)[1][1:].lower()
    if fmt not in FORMATS:
        raise ValueError(f"cannot tell the picture format of {os.fspath(path)!r}: use .png, .svg or .pdf")
    ax.set_title(title, loc="left", fontsize="medium")
    fig.savefig(path, format=fmt)
