"""Drift times, centroids, mobilograms and lock-mass correction, each held
against a plain Python model on random synthetic runs."""

from __future__ import annotations

import math
import warnings

import numpy as np
import pytest

import tessmoor_bulk as tb
from rawwriter import (Function, FunctionData, header_text, make_run, profile_records, rec_a, scan_8)

SCAN_TIME_S = 0.5  # drift time of position p: 500 ms * p / 65536


# -- random runs and their records ---------------------------------------------


def random_records(rng: np.random.Generator, ims_like: bool) -> list[tuple[int, int, int]]:
    """(intensity, field4, bin) of a scan: runs of neighbouring bins (some
    records of zero intensity) at a few drift positions, between anchors."""
    recs = [(int(rng.integers(1, 50)), 0, 100)]
    positions = rng.choice(np.arange(1, 65536, 97), size=4, replace=False)
    for _ in range(int(rng.integers(0, 12))):
        start, length = int(rng.integers(200, 5000)), int(rng.integers(1, 9))
        pos = int(rng.choice(positions))
        for b in range(start, start + length):
            value = int(rng.integers(0, 400)) if rng.random() < 0.9 else 0
            recs.append((value, pos if ims_like else int(rng.integers(0, 65536)), b))
    recs.append((int(rng.integers(1, 50)), 0, 6000))
    return recs


def random_run(tmp_path, seed: int):
    """Function 1: 30-byte index, 8-byte records; function 2: 22-byte index."""
    rng = np.random.default_rng(seed)
    b_scans = [random_records(rng, ims_like=rng.random() < 0.7) for _ in range(int(rng.integers(1, 12)))]
    a_scans = []
    for _ in range(int(rng.integers(1, 6))):
        peaks = []
        for _ in range(int(rng.integers(0, 6))):
            start = int(rng.integers(100, 3000))
            peaks += [(b, int(rng.integers(0, 256))) for b in range(start, start + int(rng.integers(1, 7)))]
        a_scans.append(peaks)
    data = {1: FunctionData("B", [scan_8(r) for r in b_scans]),
            2: FunctionData("A", [rec_a(0x70, 0, 4000) + b"".join(rec_a(0, i, b) for b, i in p) for p in a_scans])}
    functions = [Function(mz_low=100, mz_high=1500, scan_time_s=SCAN_TIME_S), Function(mz_low=100, mz_high=1500)]
    root = make_run(tmp_path / f"r{seed}.raw", functions=functions, data=data,
                    header=header_text({1: "1.5,0.999,T1"}))
    records = {1: [[(v, f4, b) for v, f4, b in r if v] for r in b_scans],
               2: [[(i, 0, b) for b, i in p if i] for p in a_scans]}
    return tb.Run(root), records


# -- the models ----------------------------------------------------------------


def centroids(values, mzs, positions, split_field4):
    """The centroids of one scan's retained records, in the guide's words."""
    out = []

    def peak(a, b):
        v = values[a:b]
        total = 0.0
        for x in v:
            total = total + float(x)
        apex = a + int(np.argmax(v))
        if b - a == 1:
            m = mzs[a]
        elif a < apex < b - 1:
            ll, lc, lr = (math.log(float(values[apex + k])) for k in (-1, 0, 1))
            den = (ll + lr) - 2.0 * lc
            d = 0.0
            if den < 0.0:
                d = 0.5 * (ll - lr)
                d = min(max(d / den, -0.5), 0.5)
            ml, mc, mr = mzs[apex - 1], mzs[apex], mzs[apex + 1]
            m = mc + d * ((mr - ml) / 2.0)
            m = m + (d * d) * (((mr - 2.0 * mc) + ml) / 2.0)
        else:
            nb = apex + 1 if apex == a else apex - 1
            wa, wn = float(values[apex]), float(values[nb])
            m = (wa * mzs[apex] + wn * mzs[nb]) / (wa + wn)
        out.append((m, np.float32(total), apex))

    def flush(a, b):
        start, falling = a, False
        for i in range(a + 1, b):
            if values[i] > values[i - 1]:
                if falling:
                    peak(start, i)
                    start, falling = i, False
            elif values[i] < values[i - 1]:
                falling = True
        peak(start, b)

    start = 0
    for i in range(1, len(values) + 1):
        if i == len(values) or positions[i][1] != positions[i - 1][1] + 1 or \
                (split_field4 and positions[i][0] != positions[i - 1][0]):
            if i > start:
                flush(start, i)
            start = i
    return out


def model_scan(run, func, scan, recs, ims, centroid, drift=None, factor=1.0):
    """(mz, intensity, drift) arrays of one scan, from the plain reading and
    the records' positions."""
    s = run.spectrum(func, scan, ims=ims)
    assert len(s.mz) == len(recs) or len(s.mz) == 0
    dt = s.drift_time_ms if ims else np.zeros(len(s.mz))
    keep = np.ones(len(s.mz), bool) if drift is None else (dt >= drift[0]) & (dt <= drift[1])
    idx = np.flatnonzero(keep)
    mz, inten, d = s.mz[idx], s.intensity[idx], dt[idx]
    if centroid:
        pos = [(recs[i][1], recs[i][2]) for i in idx]
        cs = centroids(inten, mz, pos, split_field4=ims)
        mz = np.array([c[0] for c in cs])
        inten = np.array([c[1] for c in cs], np.float32)
        d = np.array([d[c[2]] for c in cs])
    if factor != 1.0:
        mz = mz * factor
    return mz, inten, d


# -- the tests -----------------------------------------------------------------


@pytest.mark.parametrize("seed", range(6))
def test_spectra_match_the_model(tmp_path, seed):
    run, records = random_run(tmp_path, seed)
    for func, ims in ((1, False), (1, True), (2, False)):
        for centroid in (False, True):
            drift = (60.0, 300.0) if ims and seed % 2 else None
            got = run.spectra(func, ims=ims, centroid=centroid, drift=drift, threads=3)
            assert run.spectra(func, ims=ims, centroid=centroid, drift=drift, threads=1).mz.tobytes() == \
                got.mz.tobytes()
            for k, recs in enumerate(records[func]):
                mz, inten, d = model_scan(run, func, k, recs, ims, centroid, drift)
                s = got[k]
                assert s.mz.tolist() == mz.tolist()
                assert s.intensity.tolist() == inten.tolist()
                if ims:
                    assert s.drift_time_ms.tolist() == d.tolist()
                one = run.spectrum(func, k, ims=ims, centroid=centroid, drift=drift)
                assert one.mz.tolist() == mz.tolist()
            # The sums a TIC makes are those of the records, up to float32 rounding.
            if drift is None:
                tic = run.tic(func, ims=ims).intensity
                assert [float(np.sum(s.intensity, dtype=np.float64)) for s in got] == pytest.approx(tic, rel=1e-6)


@pytest.mark.parametrize("seed", range(3))
def test_chromatograms_and_mobilograms_match_the_model(tmp_path, seed):
    run, records = random_run(tmp_path, seed)
    targets = [float(m) for m in run.spectra(1, ims=True).mz[::7][:4]] or [500.0]
    drift = (50.0, 400.0)
    for ims, centroid, dw in ((True, False, None), (True, True, None), (True, False, drift), (False, True, None)):
        xic = run.xic(1, targets, da=0.5, ims=ims, centroid=centroid, drift=dw)
        bp = run.base_peak(1, ims=ims, centroid=centroid, drift=dw)
        for k, recs in enumerate(records[1]):
            mz, inten, _ = model_scan(run, 1, k, recs, ims, centroid, dw)
            for row, t in zip(xic.intensity, targets):
                inside = (mz >= t - 0.5) & (mz <= t + 0.5)
                assert row[k] == sum(float(v) for v in inten[inside])
            if len(inten):
                assert (bp.intensity[k], bp.mz[k]) == (float(inten.max()), mz[int(np.argmax(inten))])
        assert run.tic(1, ims=ims, drift=dw).intensity.tolist() == \
            [float(np.float64(0) + sum(float(v) for v in model_scan(run, 1, k, r, ims, False, dw)[1]))
             for k, r in enumerate(records[1])]

    mob = run.mobilogram(1, targets, da=0.5, drift=drift, scans=slice(0, None, 2))
    sums: dict[float, np.ndarray] = {}
    for k in range(0, len(records[1]), 2):
        s = run.spectrum(1, k, ims=True)
        for m, v, d in zip(s.mz, s.intensity, s.drift_time_ms):
            hit = [(m >= t - 0.5) and (m <= t + 0.5) for t in targets]
            if any(hit) and drift[0] <= d <= drift[1]:
                sums.setdefault(d, np.zeros(len(targets)))
                sums[d] += np.array(hit) * float(v)
    assert mob.drift_time_ms.tolist() == sorted(sums)
    assert mob.intensity.tolist() == np.array([sums[d] for d in sorted(sums)]).T.reshape(len(targets), -1).tolist()


@pytest.mark.parametrize("call", [
    lambda r: r.spectra(2, ims=True), lambda r: r.xic(2, 500.0, ims=True), lambda r: r.mobilogram(2, 500.0),
    lambda r: r.spectra(1, drift=(0, 1)), lambda r: r.tic(1, drift=(0, 1)),
    lambda r: next(r.iter_spectra(1, drift=(0, 1))), lambda r: r.spectra(1, ims=True, drift=(2, 1))])
def test_refused_readings(tmp_path, call):
    run, _ = random_run(tmp_path, 0)
    with pytest.raises(ValueError):
        call(run)


# -- lock mass -------------------------------------------------------------------

LOCK_MZ = 556.2771
ANALYTES = [(322.0481, 4000.0), (622.0290, 9000.0), (922.0098, 6000.0), (1221.9906, 3000.0)]


def drift_ppm(i: int, n: int) -> float:
    """The m/z error injected into scan i of n: 20 ppm, wandering by ±3."""
    return 20.0 + 3.0 * math.sin(i / max(n - 1, 1) * 3.0)


def drifting_run(tmp_path, lock_every: int = 3, with_lock: bool = True):
    n = 30
    analyte_scans, lock_scans, lock_rts = [], [], []
    for i in range(n):
        k = 1 + drift_ppm(i, n) * 1e-6
        analyte_scans.append(scan_8(profile_records([(m * k, h, 0) for m, h in ANALYTES], 300, 1500)))
        if i % lock_every == 0:
            lock_scans.append(scan_8(profile_records([(LOCK_MZ * k, 8000.0, 0)], 300, 1500)))
            lock_rts.append(0.01 * (i + 1))
    functions = [Function(mz_low=300, mz_high=1500), Function(mz_low=300, mz_high=1500, scan_subtype=0x80)]
    data = {1: FunctionData("B", analyte_scans)}
    if with_lock:
        data[2] = FunctionData("B", lock_scans, rts=lock_rts)
    return make_run(tmp_path / "drift.raw", functions=functions if with_lock else functions[:1], data=data)


def ppm_errors(batch) -> np.ndarray:
    out = []
    for s in batch:
        for m, _ in ANALYTES:
            k = int(np.argmin(np.abs(s.mz - m)))
            out.append((s.mz[k] - m) / m * 1e6)
    return np.array(out)


def test_lock_mass_removes_an_injected_drift(tmp_path):
    root = drifting_run(tmp_path)
    before = ppm_errors(tb.Run(root).spectra(1, centroid=True))
    run = tb.Run(root, lock_mass=LOCK_MZ)
    after = ppm_errors(run.spectra(1, centroid=True))
    assert 17 < np.median(before) < 23
    assert abs(np.median(after)) < 1.0 and np.max(np.abs(after)) < 2.0
    # The lock-mass function is left as recorded.
    assert run.spectra(2).mz.tolist() == tb.Run(root).spectra(2).mz.tolist()

    # The factors: interpolated linearly in retention time between reference scans.
    scans, rt_ref, observed, factor = run.lock_mass_reference()
    assert factor.tolist() == [LOCK_MZ / o for o in observed]
    rt = run.rt(1)
    expect = []
    for r in rt:
        if r <= rt_ref[0]:
            expect.append(factor[0])
        elif r >= rt_ref[-1]:
            expect.append(factor[-1])
        else:
            j = int(np.searchsorted(rt_ref, r, side="right"))
            w = (r - rt_ref[j - 1]) / (rt_ref[j] - rt_ref[j - 1])
            expect.append(factor[j - 1] + w * (factor[j] - factor[j - 1]))
    factors = run.lock_mass_factors(1)
    assert factors.tolist() == expect
    raw = tb.Run(root).spectra(1)
    assert run.spectra(1).mz.tolist() == (raw.mz * np.repeat(factors, np.diff(raw.offsets))).tolist()
    t = float(run.spectra(1, centroid=True).mz[1])
    assert run.xic(1, t, ppm=5, centroid=True).intensity.min() > 0
    assert tb.Run(root).xic(1, t, ppm=5, centroid=True).intensity.max() == 0
    assert run.base_peak(1).mz.tolist() == [m * f for m, f in zip(tb.Run(root).base_peak(1).mz, factors)]


def test_lock_mass_choices(tmp_path):
    root = drifting_run(tmp_path, with_lock=False)
    with pytest.raises(LookupError, match="no function is marked"):
        tb.Run(root, lock_mass=LOCK_MZ).spectra(1)
    # A reference found nowhere: 1.0 and a warning.
    run = tb.Run(root, lock_mass=tb.LockMass(LOCK_MZ, window_da=0.1, function=1))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert run.lock_mass_factors(1).tolist() == [1.0] * run.n_scans(1)
    assert "found in no scan" in str(caught[0].message)
    with pytest.raises(ValueError):
        tb.LockMass(-1.0)
    import pickle

    again = pickle.loads(pickle.dumps(tb.Run(root, lock_mass=tb.LockMass(LOCK_MZ, function=1))))
    assert again.lock_mass == tb.LockMass(LOCK_MZ, function=1)


# -- exports say what they hold ----------------------------------------------------


def test_exports_label_profiles_and_centroids(tmp_path):
    """Profile scans export as profile spectra that PeakPickerHiRes picks;
    with centroid=True as centroids, with the processing steps named."""
    from tessmoor_bulk import _mzml, _parquet

    oms = pytest.importorskip("pyopenms")
    root = drifting_run(tmp_path)
    run = tb.Run(root, lock_mass=LOCK_MZ)
    assert (run.spectrum_type(1), run.spectrum_type(2)) == ("profile", "profile")
    profile, centroided = tmp_path / "profile.mzML", tmp_path / "centroid.mzML"
    _mzml.write_mzml(tb.Run(root), profile)
    _mzml.write_mzml(run, centroided, centroid=True)
    try:
        from lxml import etree
        from psims.validation.validator import get_schema
    except ImportError:
        pass
    else:
        schema = get_schema("indexedmzML")
        for path in (profile, centroided):
            assert schema.validate(etree.parse(str(path))), schema.error_log

    exp = oms.MSExperiment()
    oms.MzMLFile().load(str(profile), exp)
    assert {s.getType() for s in exp.getSpectra()} == {oms.SpectrumSettings.SpectrumType.PROFILE}
    picked = oms.PeakPickerHiRes().pickExperiment(exp, True)
    spectra = picked.getSpectra()
    assert len(spectra) == exp.size()
    assert all(s.getType() == oms.SpectrumSettings.SpectrumType.CENTROID and s.size() > 0 for s in spectra)
    assert sum(s.size() for s in spectra[:run.n_scans(1)]) >= 0.95 * run.n_scans(1) * len(ANALYTES)

    exp = oms.MSExperiment()
    oms.MzMLFile().load(str(centroided), exp)
    want = run.spectra(1, centroid=True)
    for s, w in zip(exp.getSpectra(), want):
        assert s.getType() == oms.SpectrumSettings.SpectrumType.CENTROID
        assert s.get_peaks()[0].tolist() == w.mz.tolist()
    text = centroided.read_text()
    assert 'accession="MS:1000035"' in text and 'accession="MS:1001485"' in text
    assert '<userParam name="lock mass m/z" value="556.2771"/>' in text
    assert 'dataProcessingRef="tessmoor_export_uncorrected"' in text  # the lock-mass function's spectra

    pq = pytest.importorskip("pyarrow.parquet")
    import json

    _parquet.write_parquet(run, tmp_path / "c.parquet", centroid=True)
    about = json.loads(pq.read_schema(tmp_path / "c.parquet").metadata[b"tessmoor.processing"])
    assert about["functions"]["1"]["spectrum_type"] == "centroid" and about["lock_mass"]["function"] == 2
    assert about["peak_picking"].startswith("tessmoor centroids")
    assert pq.read_table(tmp_path / "c.parquet").num_rows == want.n_peaks + run.spectra(2, centroid=True).n_peaks


# -- the command line and Dask -------------------------------------------------------


def test_command_line_and_dask(tmp_path, capsys):
    import csv
    import io

    from tessmoor_bulk import cli

    root = drifting_run(tmp_path)
    run = tb.Run(root, lock_mass=LOCK_MZ)

    def tessmoor(*argv):
        code = cli.main([str(a) for a in argv])
        out, err = capsys.readouterr()
        return code, list(csv.reader(io.StringIO(out))), err

    code, rows, err = tessmoor("spectrum", root, 1, 3, "--ims", "--centroid", "--lock-mass", LOCK_MZ)
    assert code == 0 and err == ""
    assert [float(r[0]) for r in rows[1:]] == run.spectrum(1, 3, ims=True, centroid=True).mz.tolist()
    # A function with drift times read without --ims: one note, after the output.
    code, rows, err = tessmoor("xic", root, 622.029, "--ppm", 5, "--centroid", "--lock-mass", LOCK_MZ, "-q")
    assert code == 0 and err.count("tessmoor: note: function 1 has drift times") == 1
    assert [float(r[2]) for r in rows[1:]] == run.xic(1, 622.029, ppm=5, centroid=True).intensity.tolist()
    code, rows, err = tessmoor("mobilogram", root, 1, 622.029, 922.0098, "--da", 0.1, "--rt", 0.05, 0.2)
    mob = tb.Run(root).mobilogram(1, [622.029, 922.0098], da=0.1, rt=(0.05, 0.2))
    assert code == 0 and rows[0] == ["drift_time_ms", "mobilogram_622.029", "mobilogram_922.0098"]
    assert [[float(x) for x in r] for r in rows[1:]] == np.column_stack([mob.drift_time_ms, *mob.intensity]).tolist()
    code, _, err = tessmoor("tic", root, "--drift", 0, 1, "-q")
    assert code == 0 and err == ""

    dask = pytest.importorskip("tessmoor_bulk.dask")
    frame = dask.read_spectra([root], 1, ims=True, centroid=True, drift=(0.0, 100.0), lock_mass=LOCK_MZ,
                              scans_per_partition=7).compute()
    want = run.spectra(1, ims=True, centroid=True, drift=(0.0, 100.0))
    assert frame["mz"].tolist() == want.mz.tolist() and frame["drift_time_ms"].tolist() == want.drift_time_ms.tolist()
    assert dask.tic(root, 1, ims=True).compute()["intensity"].tolist() == run.tic(1).intensity.tolist()


def test_a_scan_read_in_pieces_centroids_as_a_whole(tmp_path):
    """A scan larger than a read's chunk is streamed in pieces; peaks that
    straddle two pieces are still one centroid each."""
    rng = np.random.default_rng(5)
    n = 300_000  # 2.4 MB of records, more than a chunk
    rec = np.zeros((n, 4), dtype="<u2")
    rec[:, 3] = np.arange(n) // 4 + 100  # four drift positions per bin,
    rec[:, 2] = np.arange(n) % 4
    rec = rec[np.lexsort((rec[:, 3], rec[:, 2]))]  # laid out drift position by drift position
    peaks = rng.choice(n - 10, 400, replace=False)
    for p in peaks:
        rec[p:p + 5, 1] = [40, 200, 500, 180, 30]
    rec[0, 1] = rec[-1, 1] = 1
    root = make_run(tmp_path / "big.raw", functions=[Function(mz_low=100, mz_high=1500, scan_time_s=SCAN_TIME_S)],
                    data={1: FunctionData("B", [rec.tobytes()])})
    run = tb.Run(root)
    recs = [(int(v), int(f4), int(b)) for _, v, f4, b in rec if v]
    for ims in (False, True):
        mz, inten, d = model_scan(run, 1, 0, recs, ims, centroid=True)
        got = run.spectra(1, ims=ims, centroid=True)
        assert got.mz.tolist() == mz.tolist() and got.intensity.tolist() == inten.tolist()
