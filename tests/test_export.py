"""tessmoor_bulk.export() and `tessmoor export` of many runs: what the files
hold with reading options, provenance, refusals, and whole-or-nothing
outputs when a run fails, a write fails or the export is stopped."""

import json
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import tessmoor_bulk
from tessmoor_bulk import cli

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "sample.raw"
OPTIONS = dict(scans=slice(-5, None), rt=(0.03, 0.09), mz=(100.0, 900.0))


@pytest.fixture(scope="module")
def run():
    return tessmoor_bulk.Run(SAMPLE)


def wanted(run, functions, ims=False, **options):
    """The spectra an export with these options holds, read with Run.spectra."""
    return [run.spectra(f, options.get("scans"), rt=options.get("rt"), mz=options.get("mz"),
                        ims=ims and run.index_record_size(f) == 30) for f in functions]


@pytest.mark.parametrize("options", [{}, OPTIONS], ids=["all", "ranges"])
def test_parquet_holds_the_selection_and_its_provenance(run, tmp_path, options):
    pq = pytest.importorskip("pyarrow.parquet")
    out = tessmoor_bulk.export(SAMPLE, tmp_path / "x.parquet", functions=[2, 1], ims=True, threads=2, **options)
    assert out == tmp_path / "x.parquet" and os.listdir(tmp_path) == ["x.parquet"]
    table = pq.read_table(out)
    batches = wanted(run, [2, 1], ims=True, **options)
    np.testing.assert_array_equal(table["mz"].to_numpy(), np.concatenate([b.mz for b in batches]))
    np.testing.assert_array_equal(table["scan"].to_numpy(),
                                  np.concatenate([np.repeat(b.scans, np.diff(b.offsets)) for b in batches]))
    meta = {k.decode(): json.loads(v) for k, v in table.schema.metadata.items() if k.startswith(b"tessmoor.")}
    assert meta["tessmoor.source"] == str(SAMPLE)
    assert meta["tessmoor.header"] == run.header
    assert meta["tessmoor.version"] == tessmoor_bulk.__version__
    assert meta["tessmoor.options"] == {"functions": [2, 1], "ims": True, "scans": "-5:" if options else None,
                                        "rt": [0.03, 0.09] if options else None,
                                        "mz": [100.0, 900.0] if options else None, "drift": None,
                                        "centroid": False}


def test_mzml_counts_what_it_holds(run, tmp_path):
    """The spectrum count written before the spectra is that of the scans
    the options select."""
    mzml = pytest.importorskip("pyteomics.mzml")
    steps = []
    out = tessmoor_bulk.export(run, tmp_path / "x.xml", format="mzML", compression="numpress-zlib",
                               progress=steps.append, **OPTIONS)
    batches = wanted(run, [1, 2, 3], **OPTIONS)
    count = int(re.search(r'<spectrumList count="(\d+)"', out.read_text()).group(1))
    with mzml.read(str(out)) as reader:
        spectra = list(reader)
    assert count == len(spectra) == sum(len(b) for b in batches) == sum(steps) > 0
    assert [s["id"] for s in spectra] == [f"function={b.func} process=0 scan={n + 1}"
                                          for b in batches for n in b.scans.tolist()]


@pytest.mark.parametrize("out, kwargs, error", [
    ("x.parquet", dict(scan=slice(2)), TypeError),
    ("x.csv", {}, ValueError),
    ("x.parquet", dict(format="csv"), ValueError),
    ("x.parquet", dict(compression="numpress"), ValueError),
    ("x.mzML", dict(functions=[1, 9]), IndexError),
    ("x.mzML", dict(functions=[1, 1]), ValueError),
    ("x.mzML", dict(scans=[0, 2, -8]), ValueError),  # scan 0 twice: mzML IDs must be unique
])
def test_refusals_write_nothing(tmp_path, out, kwargs, error):
    with pytest.raises(error):
        tessmoor_bulk.export(SAMPLE, tmp_path / out, **kwargs)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("fmt", ["parquet", "mzML"])
def test_a_write_error_names_the_output_and_leaves_nothing(tmp_path, fmt):
    """A file-size limit makes writes fail as a full disk does: the error
    names OUT (not the hidden file), and nothing stays behind."""
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    out = tmp_path / f"x.{fmt}"

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # EFBIG instead of death
        resource.setrlimit(resource.RLIMIT_FSIZE, (2000, 2000))

    p = subprocess.run([sys.executable, "-m", "tessmoor_bulk", "export", str(SAMPLE), str(out)],
                       capture_output=True, text=True, preexec_fn=limit,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert p.returncode == 1
    assert p.stderr.startswith("tessmoor: error: ") and p.stderr.endswith(f"File too large: {out}\n")
    assert p.stderr.count("\n") == 1
    assert os.listdir(tmp_path) == []


def copies(tmp_path, names):
    runs = tmp_path / "runs"
    for name in names:
        shutil.copytree(SAMPLE, runs / name)
    return runs


def test_many_runs_finish_around_a_failed_one(tmp_path, capsys):
    runs = copies(tmp_path, ["a.raw", "b.raw", "c"])
    (runs / "b.raw" / "_FUNC001.DAT").write_bytes(b"\0" * 100)  # truncated within scan 0
    argv = ["export", runs / "a.raw", runs / "b.raw", runs / "c", tmp_path / "missing.raw", "--out-dir",
            tmp_path / "out", "--format", "mzML", "-j", "2", "--threads", "1", "--compression", "numpress"]
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert code == 1
    assert sorted(os.listdir(tmp_path / "out")) == ["a.mzML", "c.mzML"]  # nothing partial
    one = tessmoor_bulk.export(runs / "c", tmp_path / "one.mzML", compression="numpress")
    assert (tmp_path / "out" / "c.mzML").read_bytes() == one.read_bytes()
    assert sorted(err.splitlines()) == sorted([f"tessmoor: error: {runs / 'b.raw'}: {runs / 'b.raw' / '_FUNC001.DAT'}: "
                                        "function 1, scan 0: scan offset out of DAT bounds",
                                        f"tessmoor: error: {tmp_path / 'missing.raw'}: No such file or directory: "
                                        f"{tmp_path / 'missing.raw'}"])
    lines = out.splitlines()
    assert lines[0].split() == ["run", "output", "scans", "MB", "seconds", "result"]
    assert [line.split()[-1] for line in lines[1:5:2]] == ["ok", "ok"]
    assert "failed:" in lines[2] and "failed:" in lines[4]
    assert lines[-1] == "2 of 4 runs exported, 2 failed"


@pytest.mark.parametrize("argv", [
    ["{runs}/a.raw", "{runs}/x/a.raw", "--out-dir", "{tmp}/out", "--format", "parquet"],  # one name twice
    ["{runs}/a.raw", "{runs}/b.raw", "--out-dir", "{tmp}/out"],                           # no --format
    ["{runs}/a.raw", "{runs}/b.raw", "{tmp}/x.mzML"],                                     # no --out-dir
    ["{runs}/a.raw", "{tmp}/x.mzML", "-j", "2"],
    ["{runs}/a.raw", "{tmp}/x.mzML", "--format", "parquet"],
    ["{runs}/a.raw", "--out-dir", "{tmp}/out", "--format", "parquet", "--compression", "zlib"],
])
def test_many_runs_usage_errors(tmp_path, capsys, argv):
    runs = tmp_path / "runs"
    code = cli.main(["export", *(a.format(runs=runs, tmp=tmp_path) for a in argv)])
    assert code == 2 and "error: " in capsys.readouterr().err
    assert not (tmp_path / "out").exists() and not (tmp_path / "x.mzML").exists()


def test_sigterm_stops_every_worker_and_leaves_nothing(tmp_path):
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
    import synthetic

    big = synthetic.write_run(tmp_path / "big.raw", 400, 0)
    runs = [big] + [shutil.copytree(big, tmp_path / f"big{k}.raw") for k in range(2)]
    p = subprocess.Popen([sys.executable, "-m", "tessmoor_bulk", "export", *map(str, runs), "--out-dir",
                          str(tmp_path / "out"), "--format", "mzML", "-j", "2", "--threads", "1"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    out, deadline = tmp_path / "out", time.monotonic() + 60
    while not (out.exists() and any(name.startswith(".") for name in os.listdir(out))):  # writing has begun
        assert time.monotonic() < deadline and p.poll() is None
        time.sleep(0.02)
    p.send_signal(signal.SIGTERM)
    p.communicate(timeout=60)
    assert p.returncode == 143
    assert os.listdir(tmp_path / "out") == []
