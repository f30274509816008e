"""tessmoor_bulk beyond the values: arrays handed out without copies, the
interpreter lock released while a call decodes, calls from several threads
and processes, pickling, and files that change between or during calls."""

import concurrent.futures
import multiprocessing
import operator
import os
import pickle
import random
import threading
import time

import numpy as np
import pytest

import tessmoor_bulk
from rawwriter import Function, FunctionData, idx_a_record, make_run, scan_a, write
from test_bulk import big_8_scan, same

CHANGED = "file changed while it was read"


@pytest.fixture(scope="module")
def big_run(tmp_path_factory):
    """Function 1: 64 Variant B scans of 1-40k records (about 8 MB), so that
    reads split into chunks across threads; function 2: Variant A."""
    rng = random.Random(7)
    scans = [big_8_scan(rng, rng.randrange(1, 40_000)) for _ in range(64)]
    a = FunctionData("A", [scan_a(40000, [(20000 + k, 1 + k % 200) for k in range(i)]) for i in range(50)])
    return make_run(tmp_path_factory.mktemp("big") / "r.raw", functions=[Function(), Function()],
                    data={1: FunctionData("B", scans, [0.1 * (i + 1) for i in range(64)]), 2: a})


def assert_same_batch(got, want):
    assert (got.func, got.ims) == (want.func, want.ims)
    for name in ("scans", "rt_min", "offsets", "mz", "intensity") + (("drift_time_ms",) if want.ims else ()):
        same(getattr(got, name), getattr(want, name))


def test_arrays_are_views_of_one_buffer(big_run):
    run = tessmoor_bulk.Run(big_run)
    batch = run.spectra(1, ims=True)
    for name, dtype in [("scans", np.int64), ("rt_min", np.float64), ("offsets", np.int64),
                        ("mz", np.float64), ("intensity", np.float32), ("drift_time_ms", np.float64)]:
        a = getattr(batch, name)
        assert a.dtype == dtype and a.flags.c_contiguous and a.ndim == 1
        assert not a.flags.owndata  # the decoded memory itself, not a copy of it
        assert getattr(batch, name) is a
    offsets = batch.offsets
    assert offsets[0] == 0 and offsets[-1] == batch.n_peaks == len(batch.intensity) == len(batch.drift_time_ms)
    assert np.all(np.diff(offsets) >= 0) and len(offsets) == len(batch) + 1
    for k in (0, 17, len(batch) - 1):
        s = batch[k]
        for name, item in (("mz", 8), ("intensity", 4), ("drift_time_ms", 8)):
            view, whole = getattr(s, name), getattr(batch, name)
            assert np.shares_memory(view, whole)
            assert view.ctypes.data == whole.ctypes.data + item * int(offsets[k])
            assert len(view) == offsets[k + 1] - offsets[k]
    sub = batch[10:20]
    assert np.shares_memory(sub.mz, batch.mz) and sub.offsets[0] == 0
    assert_same_batch(sub, run.spectra(1, slice(10, 20), ims=True))
    with pytest.raises(AttributeError):
        batch.mz = batch.mz


def test_other_python_threads_run_while_a_call_decodes(big_run):
    run = tessmoor_bulk.Run(big_run)
    stamps, stop = [], threading.Event()

    def spin():  # wakes every millisecond, and needs the lock to go on
        while not stop.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0.001)

    # Reading the same scans many times over: long enough to see, little on
    # disk, nothing kept (the m/z window holds no peak).
    picks = list(range(64))
    while True:
        spinner = threading.Thread(target=spin)
        spinner.start()
        try:
            start = time.perf_counter()
            run.spectra(1, picks, mz=(-2.0, -1.0), threads=1)
            end = time.perf_counter()
        finally:
            stop.set()
            spinner.join()
        if end - start > 0.2 or len(picks) > 20_000:
            break
        picks, stop = picks * 4, threading.Event()
    # With the lock held throughout, the spinner could not run at all in the
    # middle of the call.
    middle = [t for t in stamps if start + 0.25 * (end - start) < t < end - 0.25 * (end - start)]
    assert len(middle) >= 3


def test_concurrent_calls_on_one_run(big_run):
    run = tessmoor_bulk.Run(big_run)
    calls = [lambda: run.spectra(1, threads=2), lambda: run.spectra(1, ims=True, threads=3),
             lambda: run.tic(1, threads=2), lambda: run.spectra(2, slice(None, None, -3), threads=2)]
    want = [call() for call in calls]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda k: calls[k % 4](), range(8)))
    for k, g in enumerate(got):
        w = want[k % 4]
        if isinstance(w, tessmoor_bulk.Chromatogram):
            same(g.intensity, w.intensity)
        else:
            assert_same_batch(g, w)


def test_results_and_runs_pickle(big_run):
    run = tessmoor_bulk.Run(big_run)
    again = pickle.loads(pickle.dumps(run))
    assert isinstance(again, tessmoor_bulk.Run) and again.path == run.path
    assert_same_batch(again.spectra(1, threads=2), run.spectra(1, threads=2))
    batch = run.spectra(1, slice(0, 5), ims=True)
    assert_same_batch(pickle.loads(pickle.dumps(batch)), batch)
    s = pickle.loads(pickle.dumps(batch[3]))
    assert (s.func, s.scan, s.rt_min, s.drift_time_ms is None) == (1, 3, batch.rt_min[3], False)
    same(s.mz, batch[3].mz)
    for chrom in (run.xic(1, [300.0, 900.0], da=5.0), run.base_peak(2), run.xic(2, 500.0)):
        back = pickle.loads(pickle.dumps(chrom))
        assert type(back) is tessmoor_bulk.Chromatogram and (back.kind, back.func) == (chrom.kind, chrom.func)
        same(back.intensity, chrom.intensity)
        same(back.rt_min, chrom.rt_min)
        assert np.array_equal(back.mz, chrom.mz, equal_nan=True)


def test_runs_go_to_worker_processes(big_run):
    run = tessmoor_bulk.Run(big_run)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        got = list(pool.map(operator.methodcaller("tic", 1), [run, run]))
    for chrom in got:
        same(chrom.intensity, run.tic(1).intensity)


# --- files that change ------------------------------------------------------

def copy_of(big_run, tmp_path):
    """A run of its own with function 1 of `big_run`, to change at will."""
    root = make_run(tmp_path / "r.raw", functions=[Function()])
    for name in ("_FUNC001.IDX", "_FUNC001.DAT"):
        write(root / name, (big_run / name).read_bytes())
    return root


def outcomes(run, f, **kw):
    try:
        return run.spectra(f, **kw)
    except tessmoor_bulk.FormatError as e:
        return str(e)


def assert_outcome(got, allowed):
    """`got` (a batch or a FormatError text) is one of `allowed`, or the
    error of a file that changed under the call."""
    if isinstance(got, str):
        assert got.endswith(CHANGED) or got in allowed, got
        return
    for want in allowed:
        if not isinstance(want, str):
            try:
                return assert_same_batch(got, want)
            except AssertionError:
                pass
    raise AssertionError(f"a result that is none of the allowed ones: {got!r}")


@pytest.mark.parametrize("variant", ["A", "B"])
def test_files_changed_between_calls_read_anew(tmp_path, variant):
    rng = random.Random(3)
    scans = ([scan_a(40000, [(20000 + k, 1 + k) for k in range(i % 30)]) for i in range(40)] if variant == "A"
             else [big_8_scan(rng, rng.randrange(2, 3000)) for _ in range(40)])
    root = make_run(tmp_path / "r.raw", data={1: FunctionData(variant, scans)})
    fresh = make_run(tmp_path / "fresh.raw", data={1: FunctionData(variant, scans[::-1][:30])})
    run = tessmoor_bulk.Run(root)
    old = run.spectra(1, threads=2)
    dat = root / "_FUNC001.DAT"
    for size in (dat.stat().st_size // 2, 0):
        os.truncate(dat, size)
        # What a new Run (and tessmoor, scan by scan) reads from the files now.
        now = outcomes(tessmoor_bulk.Run(root), 1, threads=1)
        got = outcomes(run, 1, threads=2)
        if isinstance(now, str):
            assert got == now
        else:
            assert_same_batch(got, now)
            assert got.n_peaks < old.n_peaks
    # Both files replaced at once.
    for name in ("_FUNC001.IDX", "_FUNC001.DAT"):
        os.replace(fresh / name, root / name)
    assert_same_batch(run.spectra(1, threads=3), tessmoor_bulk.Run(root).spectra(1, threads=1))
    assert len(run.spectra(1)) == 30


def test_files_changed_during_calls(big_run, tmp_path):
    root = copy_of(big_run, tmp_path)
    dat = root / "_FUNC001.DAT"
    whole = dat.read_bytes()
    run = tessmoor_bulk.Run(root)
    old = run.spectra(1, threads=2)
    os.truncate(dat, len(whole) // 3)
    new = run.spectra(1, threads=1)
    for delay in (0.0, 0.01, 0.05):
        write(dat, whole)

        def change():
            time.sleep(delay)
            os.truncate(dat, len(whole) // 3)

        changer = threading.Thread(target=change)
        changer.start()
        got = outcomes(run, 1, threads=2)
        changer.join()
        assert_outcome(got, [old, new])
        # Replaced by a file of the same size and other bytes: the old index
        # must not be paired with the new data.
        write(dat, whole)
        write(root / "tmp", whole[::-1])
        changer = threading.Thread(target=lambda: (time.sleep(delay), os.replace(root / "tmp", dat)))
        changer.start()
        got = outcomes(run, 1, threads=2)
        changer.join()
        reread = outcomes(tessmoor_bulk.Run(root), 1, threads=1)
        assert_outcome(got, [old, reread])
        # Rewritten in place and longer: growth is not taken for an append,
        # so old and new bytes never mix in one batch.
        write(dat, whole)
        changer = threading.Thread(target=lambda: (time.sleep(delay), write(dat, whole[::-1] + bytes(100_000))))
        changer.start()
        got = outcomes(run, 1, threads=2)
        changer.join()
        reread = outcomes(tessmoor_bulk.Run(root), 1, threads=1)
        assert_outcome(got, [old, reread])


def test_iteration_stays_bounded_and_stops_on_change(big_run, tmp_path):
    root = copy_of(big_run, tmp_path)
    run = tessmoor_bulk.Run(root)
    whole = run.spectra(1, rt=(0.5, 5.0), mz=(200.0, 1500.0))
    parts = list(run.iter_spectra(1, batch_scans=5, rt=(0.5, 5.0), mz=(200.0, 1500.0), threads=2))
    assert [len(p) for p in parts] == [5] * (len(whole) // 5) + ([len(whole) % 5] if len(whole) % 5 else [])
    same(np.concatenate([p.mz for p in parts]), whole.mz)
    same(np.concatenate([np.diff(p.offsets) for p in parts]), np.diff(whole.offsets))
    # The files are opened once for the iteration: a DAT truncated (or an
    # index replaced) meanwhile ends it with an error, never with old index
    # entries over new data.
    for change in (lambda: os.truncate(root / "_FUNC001.DAT", 1000),
                   lambda: write(root / "_FUNC001.IDX", idx_a_record(0, 0, 0.0))):
        batches = run.iter_spectra(1, batch_scans=8)
        next(batches)
        change()
        with pytest.raises(tessmoor_bulk.FormatError, match=CHANGED):
            list(batches)
