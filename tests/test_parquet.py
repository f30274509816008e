"""The Parquet export and Spectra.to_arrow()/to_pandas(), read back by other
libraries and compared with tessmoor_bulk's per-scan reads."""

import sys
from pathlib import Path

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

import tessmoor_bulk  # noqa: E402
from tessmoor_bulk import _parquet  # noqa: E402

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "sample.raw"
TYPES = {"function": pa.int32(), "scan": pa.int64(), "rt_min": pa.float64(), "mz": pa.float64(),
         "intensity": pa.float32(), "drift_time_ms": pa.float64()}


@pytest.fixture(scope="module")
def run():
    return tessmoor_bulk.Run(SAMPLE)


def expected_rows(run, func, ims):
    """The long table of `func` built scan by scan, drift times None when
    the function has none."""
    drift = ims and run.index_record_size(func) == 30
    cols = {name: [] for name in TYPES}
    for scan in range(run.n_scans(func)):
        s = run.spectrum(func, scan, ims=drift)
        n = len(s)
        cols["function"] += [func] * n
        cols["scan"] += [scan] * n
        cols["rt_min"] += [s.rt_min] * n
        cols["mz"] += s.mz.tolist()
        cols["intensity"] += s.intensity.tolist()
        cols["drift_time_ms"] += s.drift_time_ms.tolist() if drift else [None] * n
    return cols


def read_columns(path, reader):
    if reader == "pyarrow":
        return pq.read_table(path).to_pydict()
    pl = pytest.importorskip("polars")
    return pl.read_parquet(path).to_dict(as_series=False)


@pytest.mark.parametrize("reader", ["pyarrow", "polars"])
@pytest.mark.parametrize("ims", [False, True])
def test_export_reads_back(run, tmp_path, monkeypatch, ims, reader):
    monkeypatch.setattr(_parquet, "ROW_GROUP_ROWS", 100)  # many row groups, scans of 40-60 peaks
    path = tmp_path / "run.parquet"
    _parquet.write_parquet(run, path, ims=ims, threads=2)

    names = list(TYPES)[:6 if ims else 5]
    meta = pq.ParquetFile(path)
    assert [(f.name, f.type) for f in meta.schema_arrow] == [(n, TYPES[n]) for n in names]
    assert meta.metadata.row_group(0).column(3).compression == "ZSTD"

    got = read_columns(path, reader)
    want = {name: [] for name in names}
    for f in run.functions:
        rows = expected_rows(run, f.index, ims)
        for name in names:
            want[name] += rows[name]
    assert list(got) == names
    for name in names:
        assert got[name] == want[name], name

    # Row groups hold whole scans of one function: no (function, scan)
    # continues from one group into the next.
    bounds = []
    for g in range(meta.num_row_groups):
        t = meta.read_row_group(g, columns=["function", "scan"])
        bounds.append(((t["function"][0].as_py(), t["scan"][0].as_py()),
                       (t["function"][-1].as_py(), t["scan"][-1].as_py())))
    assert len(bounds) > len(run.functions)
    assert all(last != first for (_, last), (first, _) in zip(bounds, bounds[1:]))


def test_export_selected_functions_uncompressed(run, tmp_path):
    path = tmp_path / "f3.parquet"
    progress = []
    _parquet.write_parquet(run, path, functions=[3, 1], compression="none", progress=progress.append)
    table = pq.read_table(path)
    assert table["function"].to_pylist() == expected_rows(run, 3, False)["function"] + \
        expected_rows(run, 1, False)["function"]
    assert sum(progress) == run.n_scans(3) + run.n_scans(1)
    assert pq.ParquetFile(path).metadata.row_group(0).column(3).compression == "UNCOMPRESSED"


@pytest.mark.parametrize("func, ims", [(1, False), (2, True)])
def test_to_arrow_and_to_pandas(run, func, ims):
    pd = pytest.importorskip("pandas")
    batch = run.spectra(func, ims=ims)
    want = expected_rows(run, func, ims)
    names = list(TYPES)[:6 if ims else 5]
    table = batch.to_arrow()
    assert [(f.name, f.type) for f in table.schema] == [(n, TYPES[n]) for n in names]
    assert table.to_pydict() == {n: want[n] for n in names}
    lo, hi = batch.offsets[2], batch.offsets[4]
    for frame in (batch[2:4].to_pandas(), batch[2:4].to_polars()):
        assert list(frame.columns) == names
        assert str(frame["intensity"].dtype).lower() == "float32"
        assert frame["function"].to_list() == [func] * (hi - lo)
        np.testing.assert_array_equal(frame["mz"].to_numpy(), want["mz"][lo:hi])
        np.testing.assert_array_equal(frame["rt_min"].to_numpy(), want["rt_min"][lo:hi])
    frame = batch.to_pandas()
    assert isinstance(frame, pd.DataFrame)
    # The peak columns are the batch's arrays: the frame adds only its
    # function, scan and retention-time columns.
    assert all(np.shares_memory(frame[name].to_numpy(), getattr(batch, name)) for name in names[3:])


@pytest.mark.parametrize("read, columns", [
    (lambda r: r.tic(1), ["scan", "rt_min", "intensity"]),
    (lambda r: r.base_peak(2, scans=slice(1, 4)), ["scan", "rt_min", "intensity", "mz"]),
    (lambda r: r.xic(1, 840.65), ["scan", "rt_min", "intensity"]),
    (lambda r: r.xic(1, [840.65, 791.47, 840.65]), ["scan", "rt_min", "xic_840.65", "xic_791.47", "xic_840.65_2"]),
    (lambda r: r.channel(1), ["rt_min", "value"]),
])
@pytest.mark.parametrize("method", ["to_pandas", "to_polars"])
def test_chromatogram_frames(run, read, columns, method):
    pytest.importorskip(method[3:])
    chrom = read(run)
    frame = getattr(chrom, method)()
    assert list(frame.columns) == columns
    arrays = [chrom.scans, chrom.rt_min] if chrom.scans is not None else [chrom.rt_min]
    arrays += list(np.atleast_2d(chrom.intensity)) + ([chrom.mz] if chrom.kind == "base_peak" else [])
    for name, want in zip(columns, arrays):
        got = frame[name].to_numpy()
        assert got.dtype == want.dtype
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("method, module, extra", [("to_arrow", "pyarrow", "arrow"),
                                                   ("to_pandas", "pandas", "pandas"),
                                                   ("to_polars", "polars", "polars")])
def test_missing_extra_is_named(run, monkeypatch, method, module, extra):
    monkeypatch.setitem(sys.modules, module, None)  # makes the import fail
    with pytest.raises(ImportError, match=rf"pip install 'tessmoor\[{extra}\]'"):
        getattr(run.spectra(1), method)()
    if method != "to_arrow":
        with pytest.raises(ImportError, match=rf"pip install 'tessmoor\[{extra}\]'"):
            getattr(run.tic(1), method)()
