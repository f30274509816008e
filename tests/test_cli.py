"""The command line `tessmoor`: every command on the sample run, and how it
fails on bad input."""

import csv
import io
import json
import os
import shutil
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import numpy as np
import pytest

import tessmoor_bulk
from tessmoor_bulk import cli

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "sample.raw"


@pytest.fixture(scope="module")
def run():
    return tessmoor_bulk.Run(SAMPLE)


def tessmoor(capsys, *argv):
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_version_is_the_package_s(capsys):
    # The one lookup behind --version, __version__ and the mzML export.
    try:
        want = metadata.version("tessmoor")
    except metadata.PackageNotFoundError:  # a development build
        want = "0+unknown"
    assert tessmoor_bulk.__version__ == want
    assert tessmoor(capsys, "--version")[:2] == (0, f"tessmoor {want}\n")


def test_info(run, capsys):
    code, text, _ = tessmoor(capsys, "info", SAMPLE)
    assert code == 0
    assert "  sample_description  synthetic sample run" in text
    assert "  pusher_interval  64.1" in text
    lines = text.splitlines()
    table = lines.index("functions") + 1
    assert lines[table].split() == ["function", "scans", "rt_min", "mz", "scan_time_s", "index_bytes",
                                    "drift_times", "spectra", "lock_mass", "calibration"]
    assert lines[table + 2].split() == ["2", "6", "0.0166..0.0996", "50..1200", "0.5", "30", "yes", "centroid",
                                        "no", "T1:", "0.001,", "0.9999"]
    assert lines[table + 3].split()[5:9] == ["22", "no", "centroid", "yes"]
    assert lines[-2:] == ["      0  Pump pressure       bar", "      1  Column temperature  C"]

    code, text, _ = tessmoor(capsys, "info", SAMPLE, "--json")
    about = json.loads(text)
    assert about["header"] == run.header
    assert about["instrument"]["lteff_mm"] == 1800
    assert about["instrument"]["functions"]["3"]["start_mass"] == 100
    for f, got in zip(run.functions, about["functions"]):
        rt = run.rt(f.index)
        assert got["function"] == f.index and got["scans"] == len(rt)
        assert np.float32(got["rt_min"]).tolist() == [rt[0], rt[-1]]
        assert got["index_record_size"] == run.index_record_size(f.index)
        assert got["lock_mass"] == f.is_lock_mass
    assert [c["name"] for c in about["channels"]] == ["Pump pressure", "Column temperature"]


def csv_columns(capsys, argv):
    code, text, _ = tessmoor(capsys, argv[0], SAMPLE, *argv[1:])
    assert code == 0
    rows = list(csv.reader(io.StringIO(text)))
    return rows[0], [np.array(c, dtype=float) for c in zip(*rows[1:])]


@pytest.mark.parametrize("argv, header, read", [
    (["tic"], ["intensity"], lambda r: r.tic(1)),
    (["tic", "-f", "2"], ["intensity"], lambda r: r.tic(2)),
    (["xic", "300", "900.5", "--da", "20"], ["xic_300", "xic_900.5"], lambda r: r.xic(1, [300, 900.5], da=20)),
    (["xic", "500", "-f", "2", "--ppm", "1e5"], ["xic_500"], lambda r: r.xic(2, [500], ppm=1e5)),
])
def test_chromatogram_csv(run, capsys, monkeypatch, argv, header, read):
    monkeypatch.setattr(cli, "_MIN_PART_SCANS", 3)  # read in parts, joined
    got_header, cols = csv_columns(capsys, argv)
    chrom = read(run)
    assert got_header == ["scan", "rt_min", *header]
    np.testing.assert_array_equal(cols[0], chrom.scans)
    np.testing.assert_array_equal(cols[1].astype(np.float32), chrom.rt_min)  # 32-bit in the file
    np.testing.assert_array_equal(np.array(cols[2:]), np.atleast_2d(chrom.intensity))


@pytest.mark.parametrize("func, scan, ims", [(1, -1, False), (2, 3, False), (2, 3, True)])
def test_spectrum_csv(run, capsys, func, scan, ims):
    header, cols = csv_columns(capsys, ["spectrum", func, scan, *(["--ims"] if ims else [])])
    s = run.spectrum(func, scan, ims=ims)
    assert header == ["mz", "intensity", "drift_time_ms"][:3 if ims else 2]
    np.testing.assert_array_equal(cols[0], s.mz)
    np.testing.assert_array_equal(cols[1].astype(np.float32), s.intensity)
    if ims:
        np.testing.assert_array_equal(cols[2], s.drift_time_ms)


@pytest.mark.parametrize("argv", [["tic"], ["xic", "300", "600"], ["spectrum", "1", "0"],
                                  ["spectrum", "2", "0", "--ims"]])
def test_files(capsys, tmp_path, argv):
    code, stdout, _ = tessmoor(capsys, argv[0], SAMPLE, *argv[1:])
    assert tessmoor(capsys, argv[0], SAMPLE, *argv[1:], "--csv", tmp_path / "out.csv")[:2] == (0, "")
    assert (tmp_path / "out.csv").read_text() == stdout
    pytest.importorskip("matplotlib")
    assert tessmoor(capsys, argv[0], SAMPLE, *argv[1:], "--plot", tmp_path / "out.png")[:2] == (0, "")
    assert (tmp_path / "out.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_export(run, capsys, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    out = tmp_path / "run.parquet"
    assert tessmoor(capsys, "export", SAMPLE, out, "--functions", "2,3", "--ims", "--threads", "1") == (0, "", "")
    assert os.listdir(tmp_path) == ["run.parquet"]
    table = pq.read_table(out)
    assert table.num_rows == run.spectra(2).n_peaks + run.spectra(3).n_peaks
    assert table["drift_time_ms"].null_count == run.spectra(3).n_peaks


def damaged(tmp_path, name, data):
    root = tmp_path / "damaged.raw"
    shutil.copytree(SAMPLE, root)
    (root / name).write_bytes(data(root / name))
    return root


COMMANDS = [["info"], ["tic"], ["xic", "500"], ["spectrum", "1", "0"], ["export", "{tmp}/out.parquet"]]


@pytest.mark.parametrize("argv", COMMANDS)
@pytest.mark.parametrize("damage, names", [
    (None, "missing.raw"),
    (("_FUNCTNS.INF", lambda p: p.read_bytes()[:-1]), "_FUNCTNS.INF"),
    (("_FUNC001.IDX", lambda p: p.read_bytes()[:-5]), "_FUNC001.IDX"),
    (("_FUNC001.DAT", lambda p: p.read_bytes()[:100]), "_FUNC001.DAT"),
])
def test_bad_run(capsys, tmp_path, argv, damage, names):
    root = tmp_path / "missing.raw" if damage is None else damaged(tmp_path, *damage)
    argv = [a.format(tmp=tmp_path) for a in argv]
    code, out, err = tessmoor(capsys, argv[0], root, *argv[1:])
    if argv[0] == "info" and names.startswith("_FUNC001."):
        # info reads no scan, and shows a function whose files are damaged
        # with what its table entry says, and the fault.
        assert code == 0 and (names == "_FUNC001.DAT" or f"function 1: parse error: _FUNCnnn.IDX" in out)
        return
    assert (code, out) == (1, "")
    assert err.startswith("tessmoor: error: ") and err.count("\n") == 1
    assert names in err
    assert set(os.listdir(tmp_path)) <= {"damaged.raw"}  # no OUT, no partial file


@pytest.mark.parametrize("argv", [["tic", "-f", "9"], ["xic", "500", "-f", "9"], ["spectrum", "9", "0"],
                                  ["export", "{tmp}/out.parquet", "--functions", "1,9"]])
def test_unknown_function(capsys, tmp_path, argv):
    code, out, err = tessmoor(capsys, argv[0], SAMPLE, *[a.format(tmp=tmp_path) for a in argv[1:]])
    assert (code, out) == (1, "")
    assert err == f"tessmoor: error: {SAMPLE}: no function 9 (the run's functions are 1, 2, 3)\n"


@pytest.mark.parametrize("argv, name", [
    (["export", "{tmp}/no/out.parquet"], "{tmp}/no/out.parquet"),
    (["export", "{tmp}/dir.parquet"], "{tmp}/dir.parquet"),
    (["tic", "--csv", "{tmp}/no/out.csv"], "{tmp}/no/out.csv"),
    (["spectrum", "1", "0", "--plot", "{tmp}/no/out.png"], "{tmp}/no/out.png"),
])
def test_unwritable_output(capsys, tmp_path, argv, name):
    if "--plot" in argv:
        pytest.importorskip("matplotlib")
    (tmp_path / "dir.parquet").mkdir()
    code, _, err = tessmoor(capsys, argv[0], SAMPLE, *[a.format(tmp=tmp_path) for a in argv[1:]])
    assert code == 1
    assert err.startswith("tessmoor: error: ") and err.count("\n") == 1
    assert err.rstrip().endswith(name.format(tmp=tmp_path))


@pytest.mark.parametrize("argv", [[], ["nonsense"], ["tic"], ["export", SAMPLE, "out.csv"],
                                  ["export", SAMPLE, "out.parquet", "--compression", "zlib"],
                                  ["export", SAMPLE, "out.parquet", "--functions", "1,x"],
                                  ["xic", SAMPLE, "500", "--ppm", "5", "--da", "1"],
                                  ["xic", SAMPLE, "500", "--ppm", "-5"], ["spectrum", SAMPLE, "1", "x"]])
def test_usage_error(capsys, tmp_path, monkeypatch, argv):
    monkeypatch.chdir(tmp_path)
    code, out, err = tessmoor(capsys, *argv)
    assert (code, out) == (2, "")
    assert err.startswith("usage: tessmoor") and "error: " in err
    assert os.listdir(tmp_path) == []


def test_help_has_an_example(capsys):
    for command in ["info", "tic", "xic", "spectrum", "export"]:
        code, out, _ = tessmoor(capsys, command, "--help")
        assert code == 0 and f"example:\n  tessmoor {command} " in out


@pytest.mark.parametrize("stop, code", [
    (KeyboardInterrupt, 130),
    (lambda: tessmoor_bulk.FormatError("damaged"), 1),
])
def test_interrupted_export_leaves_no_out(capsys, tmp_path, monkeypatch, stop, code):
    """A stop after the writer began (the first batch written, or a failed
    read of a later function) removes the partial file."""
    class Bar:
        def __init__(self, *args, **kwargs):
            pass

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return False

        def update(self, n):
            raise stop()

    monkeypatch.setattr(cli, "_progress", Bar)
    pytest.importorskip("pyarrow")
    out = tmp_path / "out.parquet"
    assert tessmoor(capsys, "export", SAMPLE, out)[0] == code
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("argv, code, stdout_closed", [(["info", SAMPLE], 0, False), ([], 2, False),
                                                       (["spectrum", SAMPLE, "1", "0"], 141, True)])
def test_python_m(argv, code, stdout_closed):
    """As a program: `python -m tessmoor_bulk`; output to a closed pipe ends quietly."""
    p = subprocess.Popen([sys.executable, "-m", "tessmoor_bulk", *map(str, argv)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    if stdout_closed:
        p.stdout.close()
        _, err = p.communicate()
    else:
        out, err = p.communicate()
        assert (b"run  " in out) == (code == 0)
    assert p.returncode == code
    assert (err == b"") == (code != 2)


@pytest.mark.parametrize("argv, read", [
    (["tic", "--scans", "-5:", "--rt", "0.03", "0.1", "--mz", "100", "900"],
     lambda r: r.tic(1, scans=slice(-5, None), rt=(0.03, 0.1), mz=(100, 900))),
    (["tic", "-f", "2", "--scans", "::2"], lambda r: r.tic(2, scans=slice(None, None, 2))),
    (["xic", "840.65", "791.47", "--scans", "1:6"], lambda r: r.xic(1, [840.65, 791.47], scans=slice(1, 6))),
    (["xic", "840.65", "--rt", "0.09", "0.2"], lambda r: r.xic(1, [840.65], rt=(0.09, 0.2))),
])
def test_ranges(run, capsys, monkeypatch, argv, read):
    monkeypatch.setattr(cli, "_MIN_PART_SCANS", 2)  # parts of the selection, joined
    _, cols = csv_columns(capsys, argv)
    chrom = read(run)
    assert len(chrom) > 0
    np.testing.assert_array_equal(cols[0], chrom.scans)
    np.testing.assert_array_equal(np.array(cols[2:]), np.atleast_2d(chrom.intensity))


def test_spectrum_by_retention_time(run, capsys):
    code, text, err = tessmoor(capsys, "spectrum", SAMPLE, 2, "--rt", "0.05", "--mz", "300", "600", "--ims")
    assert code == 0 and err == "tessmoor: function 2, scan 2 at 0.0498 min\n"  # the nearest of 0.0498, 0.0664
    want = run.spectra(2, [2], mz=(300, 600), ims=True)[0]
    rows = list(csv.reader(io.StringIO(text)))[1:]
    np.testing.assert_array_equal(np.array(rows, dtype=float)[:, 0], want.mz)


@pytest.mark.parametrize("argv", [
    ["tic", SAMPLE, "--rt", "1", "0.5"], ["tic", SAMPLE, "--scans", "3"], ["tic", SAMPLE, "--scans", "1:9:0"],
    ["tic", SAMPLE, "--rt", "nan", "1"], ["xic", SAMPLE, "500", "--mz", "1", "2"],
    ["spectrum", SAMPLE, "1"], ["spectrum", SAMPLE, "1", "0", "--rt", "0.1"],
    ["tic", SAMPLE, "--plot", "tic.jpg"], ["tic", SAMPLE, "--plot", "tic"],
])
def test_range_and_picture_usage_errors(capsys, tmp_path, monkeypatch, argv):
    monkeypatch.chdir(tmp_path)
    code, out, err = tessmoor(capsys, *argv)
    assert (code, out) == (2, "") and "error: " in err
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("suffix, magic", [(".png", b"\x89PNG"), (".SVG", b"<?xml"), (".pdf", b"%PDF")])
def test_plot_format_follows_the_suffix(capsys, tmp_path, suffix, magic):
    pytest.importorskip("matplotlib")
    out = tmp_path / f"tic{suffix}"
    assert tessmoor(capsys, "tic", SAMPLE, "--plot", out)[0] == 0
    assert out.read_bytes().startswith(magic)


@pytest.mark.parametrize("argv, redirect, name", [
    (["tic", SAMPLE, "--csv", "{tmp}/full.csv"], "", "{tmp}/full.csv"),
    (["spectrum", SAMPLE, "1", "0", "--plot", "{tmp}/full.svg"], "", "{tmp}/full.svg"),
    (["info", SAMPLE], ">/dev/full", "standard output"),
    (["info", SAMPLE, "--json"], ">&-", None),
])
def test_failed_writes_are_one_line_naming_the_file(tmp_path, argv, redirect, name):
    """Files that are /dev/full (a full disk) and a closed standard output."""
    if "--plot" in argv:
        pytest.importorskip("matplotlib")
    for link in ("full.csv", "full.svg"):
        (tmp_path / link).symlink_to("/dev/full")
    command = " ".join(str(a).format(tmp=tmp_path) for a in [sys.executable, "-m", "tessmoor_bulk", *argv])
    p = subprocess.run(["sh", "-c", f"{command} {redirect}"], capture_output=True, text=True,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert p.returncode == 1
    assert p.stderr.startswith("tessmoor: error: ") and p.stderr.count("\n") == 1, p.stderr
    if name is None:
        assert p.stderr == "tessmoor: error: standard output is closed\n"
    else:
        assert p.stderr.endswith(f"No space left on device: {name.format(tmp=tmp_path)}\n")
