"""What a type checker infers from the types of tessmoor and tessmoor_bulk.

scripts/typecheck.sh runs mypy --strict on this file.  Each assert_type
states what mypy must infer (the overloads on ``ims`` above all); each line
marked ``# type: ignore[code]`` in `_rejected` is a use the types must
refuse, since strict mode reports an ignore that nothing needs.
test_typing.py also runs `reader` and `bulk` on the sample run, so that the
arrays have the dtypes their types name.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterator, Literal

import numpy as np
from numpy.typing import NDArray

import tessmoor
import tessmoor_bulk
from tessmoor_bulk import Chromatogram, LockMass, Mobilogram, Run, Spectra, Spectrum

if TYPE_CHECKING:
    from typing_extensions import assert_type
else:
    def assert_type(value, _):
        return value

F64 = NDArray[np.float64]
F32 = NDArray[np.float32]
I64 = NDArray[np.int64]


def dtype_is(a: NDArray[Any], dtype: type[np.generic]) -> None:
    assert a.dtype == dtype, f"{a.dtype} where the type says {dtype.__name__}"


def reader(path: str) -> None:
    r = tessmoor.RawReader(path)
    f = r.functions[0]
    assert_type(f, tessmoor.FunctionInfo)
    assert_type((f.index, f.mz_low, f.is_lock_mass), tuple[int, float, bool])
    assert_type(r.n_scans(np.int64(f.index)), int)  # indices go by __index__
    assert_type(r.retention_time(f.index, 0), float)
    spectrum = r.read_spectrum(1, 0)
    assert_type(spectrum.mz, list[float])
    assert_type(r.read_ims_spectrum(2, 0).drift_time_ms, list[float])
    channel = r.channels[0]
    assert_type(channel.units, str)
    assert_type(r.read_chrom(channel.index)[0].value, float)


def total(spectrum: Spectrum) -> float:
    """A bare Spectrum takes both kinds of scan."""
    return float(spectrum.intensity.sum())


def bulk(path: os.PathLike[str], ims: bool) -> None:
    run = Run(path)
    assert_type(tessmoor_bulk.__version__, str)
    assert_type(run.reader, tessmoor.RawReader)
    dtype_is(assert_type(run.rt(1), F64), np.float64)

    plain = run.spectrum(1, np.int64(0))
    assert_type(plain, Spectrum[None])
    assert_type(plain.drift_time_ms, None)
    dtype_is(assert_type(plain.mz, F64), np.float64)
    dtype_is(assert_type(plain.intensity, F32), np.float32)
    assert plain.drift_time_ms is None

    mobility = run.spectrum(2, -1, ims=True)
    assert_type(mobility, Spectrum[F64])
    dtype_is(assert_type(mobility.drift_time_ms, F64), np.float64)
    assert_type(run.spectrum(2, 0, ims=ims).drift_time_ms, F64 | None)
    total(plain), total(mobility)

    batch = run.spectra(1, [0, 2], mz=(100.0, 900.0))
    assert_type(batch, Spectra[None])
    dtype_is(assert_type(batch.scans, I64), np.int64)
    dtype_is(assert_type(batch.offsets, I64), np.int64)
    dtype_is(assert_type(batch.rt_min, F64), np.float64)
    assert_type(batch[0], Spectrum[None])
    assert_type(batch[1:], Spectra[None])
    assert batch.drift_time_ms is None and batch[1:].drift_time_ms is None

    mobilities = run.spectra(2, slice(None, None, 2), ims=True)
    dtype_is(assert_type(mobilities.drift_time_ms, F64), np.float64)
    for scan in mobilities:
        dtype_is(assert_type(scan.drift_time_ms, F64), np.float64)
    assert_type(run.spectra(2, np.arange(2), ims=ims), Spectra[F64 | None])
    parts = run.iter_spectra(2, batch_scans=2, ims=True)
    assert_type(parts, tessmoor_bulk.SpectraBatches[F64])
    for part in parts:
        dtype_is(part.drift_time_ms, np.float64)

    tic = run.tic(1, rt=(0.0, 1.0))
    assert_type(tic, Chromatogram)
    dtype_is(assert_type(tic.intensity, F64), np.float64)
    assert_type(tic.scans, I64 | None)
    assert_type(run.xic(1, [500.0, 750.0], da=0.5).mz, F64 | float | None)
    assert_type(run.channel(0).name, str | None)
    for calibration in run.calibrations.values():
        assert_type(calibration["kind"], Literal["T0", "T1"])
        assert_type(calibration["coefficients"], list[float])
    assert_type(run.instrument["functions"][1]["adc_pusher_frequency"], float | None)
    assert_type(run.header, dict[str, str])

    # Ions: centroids, drift windows, mobilograms, lock mass.
    ions = run.spectra(2, ims=True, drift=(0.0, 500.0), centroid=True)
    assert_type(ions, Spectra[F64])
    assert_type(run.spectrum(3, 0, centroid=True), Spectrum[None])
    assert_type(run.xic(2, 500.0, ims=True, centroid=True), Chromatogram)
    mob = run.mobilogram(2, [500.0, 600.0], ppm=20, rt=(0.0, 1.0))
    assert_type(mob, Mobilogram)
    dtype_is(assert_type(mob.drift_time_ms, F64), np.float64)
    assert_type(run.spectrum_type(1), Literal["profile", "centroid"])
    locked = Run(path, lock_mass=LockMass(360.0, window_da=0.5, function=3))
    assert_type(locked.lock_mass, LockMass | None)
    dtype_is(assert_type(locked.lock_mass_factors(1), F64), np.float64)


def _rejected(run: Run, plain: Spectrum[None], batch: Spectra[F64]) -> None:
    """Never run: uses the types refuse, each with the error it must give."""
    tessmoor.RawReader(Path(run.path))  # type: ignore[arg-type]
    run.spectrum(1, 0.5)  # type: ignore[call-overload]
    plain.mz = plain.mz  # type: ignore[misc]
    plain.colour = "red"  # type: ignore[attr-defined]
    plain.drift_time_ms.max()  # type: ignore[attr-defined]
    mobility: Spectrum[F64] = plain  # type: ignore[assignment]
    nothing: None = batch[0].drift_time_ms  # type: ignore[assignment]
    run.spectra(1, ims="yes")  # type: ignore[call-overload]
    tessmoor_bulk.Rnu  # type: ignore[attr-defined]
    run.mobilogram(2)  # type: ignore[call-arg]
    Run(run.path, lock_mass="556.2771")  # type: ignore[arg-type]
