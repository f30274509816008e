"""tessmoor_bulk.dask: many runs as one lazy Dask DataFrame."""

import pickle
import random
import subprocess
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import tessmoor_bulk  # noqa: E402
import tessmoor_bulk.dask as tbd  # noqa: E402
from rawwriter import Function, FunctionData, header_text, make_run, scan_8, scan_a  # noqa: E402

# Scans of function 1 (22-byte index) and function 2 (30-byte index, drift
# times) in each run; an empty function still makes one partition.
SCANS = {"a.raw": (7, 5), "batch/b.raw": (0, 4), "batch/c.raw": (1, 9)}
NUMERIC = ["function", "scan", "rt_min", "mz", "intensity", "drift_time_ms"]


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    root = tmp_path_factory.mktemp("runs")
    rng = random.Random(9)
    paths = []
    for name, (n1, n2) in SCANS.items():
        qtof = [scan_a(40000, sorted((rng.randrange(8000, 40000), rng.randrange(1, 256))
                                     for _ in range(rng.randrange(0, 30)))) for _ in range(n1)]
        ims = [scan_8([(5, 0, 1000)] + [(rng.randrange(1, 2000), rng.randrange(65536), b)
                                        for b in sorted(rng.randrange(1001, 29999) for _ in range(40))]
                      + [(7, 0, 30000)]) for _ in range(n2)]
        paths.append(str(make_run(root / name, functions=[Function(), Function(mz_high=1200.0)],
                                  data={1: FunctionData("A", qtof), 2: FunctionData("B", ims)},
                                  header=header_text({1: "0,1,T1", 2: "0.001,0.9999,T1"}))))
    return paths


def expected_spectra(paths, funcs, ims):
    """The long table, scan by scan from single-process reads."""
    rows = {name: [] for name in ["run"] + NUMERIC}
    for path in paths:
        run = tessmoor_bulk.Run(path)
        for f in funcs:
            for s in run.spectra(f, ims=ims, threads=1):
                n = len(s)
                rows["run"] += [path] * n
                rows["function"].append(np.full(n, f, np.int32))
                rows["scan"].append(np.full(n, s.scan, np.int64))
                rows["rt_min"].append(np.full(n, s.rt_min))
                rows["mz"].append(s.mz)
                rows["intensity"].append(s.intensity)
                if ims:
                    rows["drift_time_ms"].append(s.drift_time_ms)
    return rows


def assert_long_table(frame, result, rows):
    """`result` (the computed `frame`) holds `rows`, in the dtypes the
    frame declared, with `run` categorical."""
    assert list(result.columns) == list(frame.columns) == [c for c in rows if c == "run" or rows[c]]
    assert isinstance(result["run"].dtype, pd.CategoricalDtype) and frame["run"].dtype == "category"
    assert (result.dtypes == frame.dtypes)[1:].all()
    assert result["run"].astype(str).tolist() == rows["run"]
    for name in result.columns[1:]:
        want = np.concatenate(rows[name])
        assert result[name].dtype == want.dtype
        np.testing.assert_array_equal(result[name].to_numpy(), want)


@pytest.mark.parametrize("funcs, ims, per_part, n_parts", [
    ([1, 2], False, 3, 3 + 2 + 1 + 2 + 1 + 3),
    (2, True, 4, 2 + 1 + 3),
    ([2, 1], False, 1, 5 + 7 + 4 + 1 + 9 + 1),
    ([1, 2], False, 10**12, 6),
    ([1, 2], False, None, 6),
])
def test_read_spectra_equals_single_process_reads(runs, funcs, ims, per_part, n_parts):
    frame = tbd.read_spectra(runs, funcs, ims=ims, scans_per_partition=per_part)
    assert frame.npartitions == n_parts
    result = frame.compute(scheduler="sync")
    assert_long_table(frame, result, expected_spectra(runs, np.atleast_1d(funcs), ims))
    # One category per partition: the run it was read from.
    assert frame["run"].map_partitions(lambda s: len(s.cat.categories)).compute().eq(1).all()


def test_tic_equals_single_process_tic(runs):
    frame = tbd.tic(runs, [1, 2])
    assert frame.npartitions == 2 * len(runs)
    result = frame.compute(scheduler="sync")
    assert (result.dtypes == frame.dtypes)[1:].all()
    at = 0
    for path in runs:
        for f in (1, 2):
            tic = tessmoor_bulk.Run(path).tic(f)
            part = result.iloc[at:at + len(tic)]
            at += len(tic)
            assert (part["run"] == path).all() and (part["function"] == f).all()
            for column, want in (("scan", tic.scans), ("rt_min", tic.rt_min), ("intensity", tic.intensity)):
                np.testing.assert_array_equal(part[column].to_numpy(), want)
    assert at == len(result)


@pytest.mark.parametrize("build, error", [
    # The index says how many scans there are; the DAT is read only by the tasks.
    (lambda bad: tbd.read_spectra(bad, 1), tessmoor_bulk.FormatError),
    (lambda bad: tbd.read_spectra(bad, 2, ims=True, scans_per_partition=2), tessmoor_bulk.FormatError),
    (lambda bad: tbd.read_spectra(bad + "-missing", 1, scans_per_partition=None), FileNotFoundError),
    (lambda bad: tbd.tic(bad + "-missing", 1), FileNotFoundError),
    (lambda bad: tbd.read_spectra(bad, 1, ims=True), ValueError),
])
def test_construction_reads_no_scan_data(runs, tmp_path, build, error):
    bad = str(tmp_path / "bad.raw")
    make_run(bad, functions=[Function(), Function()],
             data={1: FunctionData("A", [scan_a(40000, [(9000, 5)])] * 3),
                   2: FunctionData("B", [scan_8([(5, 0, 1000), (3, 9, 2000), (7, 0, 30000)])] * 3)},
             header=header_text({1: "0,1,T1", 2: "0,1,T1"}))
    for n in (1, 2):  # the last scan of each function cut short
        dat = tmp_path / "bad.raw" / f"_FUNC00{n}.DAT"
        dat.write_bytes(dat.read_bytes()[:-1])
    frame = build(bad)
    with pytest.raises(error):
        frame.compute(scheduler="sync")


def test_tessmoor_bulk_alone_imports_no_dask():
    code = "import sys, tessmoor_bulk; assert not {'dask', 'pandas'} & set(sys.modules)"
    subprocess.run([sys.executable, "-c", code], check=True)


def test_refused_at_construction(runs):
    with pytest.raises(FileNotFoundError):  # the scan counts need the run
        tbd.read_spectra(runs[0] + "-missing", 1)
    with pytest.raises(ValueError):
        tbd.read_spectra(runs, 1, scans_per_partition=0)


def test_local_cluster_of_two_processes(runs, tmp_path):
    """Two worker processes count the scans, then read and write the
    dataset; the client only sends paths and scan ranges."""
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster):
        frame = tbd.read_spectra(runs, [2, 1], scans_per_partition=2)
        graph = pickle.dumps(dict(frame.__dask_graph__()))
        assert len(graph) < 500 * frame.npartitions  # a path and a scan range each
        frame.to_parquet(tmp_path / "peaks", write_index=False)
        tics = tbd.tic(runs, 1).compute()
    written = dd.read_parquet(tmp_path / "peaks").compute(scheduler="sync")
    assert_long_table(frame, written, expected_spectra(runs, [2, 1], False))
    assert len(tics) == sum(n1 for n1, _ in SCANS.values())
