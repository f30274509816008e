"""Runs as acquisitions leave them: Run.check() and reads that leave bad
scans out (on_bad_scan="skip")."""

import json
import os
import shutil
import warnings
from pathlib import Path

import numpy as np
import pytest
from pyteomics import mzml

import tessmoor_bulk
from tessmoor_bulk import _mzml, _parquet, cli
from rawwriter import (Function, FunctionData, chro_dat, chrom_name_field, idx_a_record, idx_b_record,
                       make_run, rec_8, scan_a, write)

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "sample.raw"
GOOD_A = [scan_a(40000, [(20000 + k, 5 + k), (21000, 1)]) for k in range(6)]


@pytest.fixture(scope="module")
def damaged(tmp_path_factory):
    """Function 1: six scans, the third refused by the decoder, the last two
    cut off by a truncated DAT, retention times going back at scan 4;
    function 2: its IDX missing; function 3: 8-byte records whose bins put
    m/z far outside its range; channel 0 fine, channel 1 without its file."""
    root = tmp_path_factory.mktemp("damaged") / "r.raw"
    scans = list(GOOD_A)
    scans[2] = b"\x00" * 6 + GOOD_A[2][6:]  # no sentinel first
    make_run(root, functions=[Function(), Function(), Function(mz_low=100.0, mz_high=110.0)],
             data={1: FunctionData("A", scans, rts=[0.1, 0.2, 0.3, 0.4, 0.35, 0.5]),
                   3: FunctionData("B", [rec_8(5, 0, 1000) + rec_8(6, 0, 65000) + rec_8(7, 0, 1001)])},
             channels=[(4, chrom_name_field(b"Pump")), (1, chrom_name_field(b"Temp"))],
             chro={0: chro_dat([(0.1, 1.0), (0.2, 2.0)])})
    dat = root / "_FUNC001.DAT"
    os.truncate(dat, os.path.getsize(dat) - len(GOOD_A[5]) - 3)
    return root


def test_check_lists_what_is_wrong(damaged):
    report = tessmoor_bulk.Run(damaged).check(threads=2)
    found = [(p.kind, p.function, p.channel, p.scan) for p in report.problems]
    assert found == [
        ("undecodable", 1, None, 2), ("out_of_bounds", 1, None, 4), ("rt_backwards", 1, None, 4),
        ("out_of_bounds", 1, None, 5),
        ("missing_file", 2, None, None),
        ("mz_out_of_range", 3, None, 0),
        ("missing_file", None, 1, None),
    ]
    assert not report.ok
    assert report.functions[1] == {"scans": 6, "drift_times": False}
    assert report.functions[2] == {"scans": None, "drift_times": None}
    assert report.summary()[0] == ("function 1: 1 scan(s) that cannot be decoded (scan 2): parse error: "
                                   "Encoding A: first record block_type 0x00 is not sentinel (0x70)")
    assert "function 1: 2 scan(s) past the end of the DAT (scans 4, 5)" in "\n".join(report.summary())
    sample = tessmoor_bulk.Run(os.path.join(os.path.dirname(__file__), "..", "examples", "sample.raw"))
    assert sample.check().ok


CALLS = {
    "spectra": lambda run, **kw: run.spectra(1, **kw),
    "iter_spectra": lambda run, **kw: next(iter(run.iter_spectra(1, batch_scans=100, **kw))),
    "tic": lambda run, **kw: run.tic(1, **kw),
    "xic": lambda run, **kw: run.xic(1, [50.0, 600.0], da=600.0, **kw),
    "base_peak": lambda run, **kw: run.base_peak(1, **kw),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
@pytest.mark.parametrize("scans", [None, [5, 0, 2, 3, -3]], ids=["all", "picked"])
def test_skipped_scans_are_left_out_and_named(damaged, call, scans):
    run = tessmoor_bulk.Run(damaged)
    # Failing, the first bad scan in the order of the result decides.
    with pytest.raises(tessmoor_bulk.FormatError, match="scan 2: parse error" if scans is None else "scan 5: scan"):
        call(run, scans=scans)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = call(run, scans=scans, on_bad_scan="skip", threads=2)
    asked = list(range(6)) if scans is None else [s % 6 for s in scans]
    good = [s for s in asked if s in (0, 1, 3)]
    want = call(run, scans=good)
    assert got.scans.tolist() == good
    for name in ("rt_min", "mz", "intensity", "offsets"):
        if hasattr(want, name) and getattr(want, name) is not None:
            assert np.array_equal(getattr(got, name), getattr(want, name), equal_nan=True), name
    [warning] = [w.message for w in caught if isinstance(w.message, tessmoor_bulk.BadScansSkipped)]
    assert [n for n, _ in warning.scans] == [s for s in asked if s not in good]
    assert warning.func == 1 and all("_FUNC001.DAT: function 1, scan" in m for _, m in warning.scans)


def test_skipping_never_hides_a_file_that_changed(damaged, tmp_path):
    root = tmp_path / "r.raw"
    shutil.copytree(damaged, root)
    with pytest.warns(tessmoor_bulk.BadScansSkipped):
        batches = tessmoor_bulk.Run(root).iter_spectra(1, batch_scans=1, on_bad_scan="skip")
    assert batches.scans.tolist() == [0, 1, 3]
    next(batches)
    write(root / "_FUNC001.IDX", idx_a_record(0, 2, 0.1))
    with pytest.raises(tessmoor_bulk.FormatError, match="file changed while it was read"):
        list(batches)


def test_variant_b_with_garbage_records_is_reported_not_exported_silently(tmp_path):
    # Random bytes over an ion-mobility DAT decode without a decoder
    # complaint; the masses they give are what check() catches.
    rng = np.random.default_rng(3)
    root = make_run(tmp_path / "r.raw", functions=[Function(mz_low=50.0, mz_high=1200.0)],
                    data={1: FunctionData("B", [rng.integers(0, 256, 800, dtype=np.uint8).tobytes()] * 5)})
    write(root / "_FUNC001.IDX", b"".join(idx_b_record(160 * k, 0.1 * k) for k in range(5)))
    kinds = {p.kind for p in tessmoor_bulk.Run(root).check().problems}
    assert "mz_out_of_range" in kinds


def tessmoor(capsys, *argv):
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_command_line_check_and_skip(capsys, damaged, tmp_path):
    code, out, err = tessmoor(capsys, "check", damaged)
    assert code == 3 and err == ""
    assert out.splitlines()[0] == ("function 1: 1 scan(s) that cannot be decoded (scan 2): parse error: "
                                   "Encoding A: first record block_type 0x00 is not sentinel (0x70)")
    code, out, _ = tessmoor(capsys, "check", damaged, "--json")
    assert code == 3 and len(json.loads(out)["problems"]) == len(tessmoor_bulk.Run(damaged).check().problems)
    assert tessmoor(capsys, "check", SAMPLE)[0] == 0

    code, out, err = tessmoor(capsys, "tic", damaged, "--on-bad-scan", "skip")
    assert code == 3
    assert [line.split(",")[0] for line in out.splitlines()[1:]] == ["0", "1", "3"]
    assert [line.split(" of function 1: ")[0] for line in err.splitlines()] == [
        f"tessmoor: skipped scan {s}" for s in (2, 4, 5)]

    # (A channel without its file fails an export whatever is skipped.)
    root = tmp_path / "r.raw"
    shutil.copytree(damaged, root)
    write(root / "_CHRO004.DAT", chro_dat([(0.1, 45.0)]))
    out_file = tmp_path / "out.mzML"
    code, _, err = tessmoor(capsys, "export", root, out_file, "--functions", "1", "--on-bad-scan", "skip")
    assert code == 3 and err.count("tessmoor: skipped scan") == 3
    text = out_file.read_text()
    assert '<spectrumList count="3"' in text and text.count('name="skipped scan"') == 3
    with mzml.read(str(out_file)) as reader:
        assert [s["id"] for s in reader] == [f"function=1 process=0 scan={s + 1}" for s in (0, 1, 3)]


@pytest.mark.parametrize("fmt", ["mzML", "parquet"])
def test_an_export_of_a_growing_run_is_one_moment_or_an_error(tmp_path, fmt, monkeypatch):
    # The run grows after the first batch is written: the file written so far
    # no longer counts what the run holds.  The export must not write a
    # count that disagrees with its spectra: it fails, and leaves no file.
    root = make_run(tmp_path / "r.raw", data={1: FunctionData("A", GOOD_A)})
    monkeypatch.setattr(_mzml, "_MAX_BATCH_SCANS", 2)
    monkeypatch.setattr(_parquet, "_MAX_BATCH_SCANS", 2)
    grown = []

    def grow(n):
        if not grown:
            grown.append(n)
            with open(root / "_FUNC001.DAT", "ab") as dat, open(root / "_FUNC001.IDX", "ab") as idx:
                idx.write(idx_a_record(os.path.getsize(root / "_FUNC001.DAT"), len(GOOD_A[0]) // 6, 9.0))
                dat.write(GOOD_A[0])

    out = tmp_path / f"out.{fmt}"
    with pytest.raises(tessmoor_bulk.FormatError, match="file changed while it was read"):
        tessmoor_bulk.export(tessmoor_bulk.Run(root), out, progress=grow, threads=1)
    assert grown and sorted(os.listdir(tmp_path)) == ["r.raw"]
