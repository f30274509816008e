"""mzML export: schema-valid indexed mzML whose values three independent
readers give back bit for bit as tessmoor_bulk reads them."""

import hashlib
import random
import re
import shutil
import zlib
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
tessmoor_bulk = pytest.importorskip("tessmoor_bulk")
from rawwriter import (Function, FunctionData, chro_dat, chrom_name_field, make_run, scan_8,  # noqa: E402
                       scan_a)
from tessmoor_bulk import _mzml, _native  # noqa: E402

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "sample.raw"
CHANNEL_NAME = 'Pump <"A&B">'


def random_run(root, seed=8):
    """Functions of both index layouts (the 30-byte one with drift
    positions), a lock-mass function, empty scans, and channels whose name
    needs escaping."""
    rng = random.Random(seed)

    def scan_b():
        n = rng.choice([0, 0, 1, 2, rng.randrange(3, 80)])
        if n == 0:
            return b""
        bins = sorted(rng.randrange(1000, 30000) for _ in range(n))
        return scan_8([(rng.choice([0, rng.randrange(1, 65536)]), rng.randrange(65536), b) for b in bins])

    def scan_of_a():
        peaks = [(rng.randrange(4000, 40000), rng.randrange(256)) for _ in range(rng.randrange(0, 60))]
        return scan_a(40000, peaks)

    points = [(0.05 * k, rng.uniform(0, 400)) for k in range(30)]
    return make_run(
        root,
        functions=[Function(mz_low=50.0, mz_high=1200.0, scan_time_s=0.5), Function(mz_low=100.5),
                   Function(scan_subtype=0x92, mz_low=400.0, mz_high=600.0)],
        data={1: FunctionData("B", [scan_b() for _ in range(40)]),
              2: FunctionData("A", [scan_of_a() for _ in range(25)]),
              3: FunctionData("B", [scan_b() for _ in range(7)])},
        channels=[(4, chrom_name_field(CHANNEL_NAME.encode(), b"$CC$,1.0,x,y,z,bar")),
                  (1, chrom_name_field(b"Flow", b"$CC$,0.1,x,y,z,ul/min"))],
        chro={0: chro_dat(points), 1: chro_dat(points[:7])})


EXPORTS = [(run, ims, compression) for run in ("sample", "random") for ims in (False, True)
           for compression in ("zlib", "none")]


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    return {"sample": SAMPLE, "random": random_run(tmp_path_factory.mktemp("runs") / "random.raw")}


@pytest.fixture(scope="module", params=EXPORTS, ids=["-".join(map(str, e)) for e in EXPORTS])
def export(request, runs, tmp_path_factory):
    """(run, path, ims): the run exported, in batches of a few scans for the
    random run so that spectra cross batch boundaries."""
    name, ims, compression = request.param
    run = tessmoor_bulk.Run(runs[name])
    path = tmp_path_factory.mktemp("mzml") / f"{name}.mzML"
    with pytest.MonkeyPatch.context() as mp:
        if name == "random":
            mp.setattr(_mzml, "_BATCH_PEAKS", 100)
        _mzml.write_mzml(run, path, ims=ims, compression=compression, threads=3)
    return run, path, ims


def expected_spectra(run, ims):
    """{native ID: (Spectrum, lock mass)} as tessmoor_bulk reads them."""
    out = {}
    for f in run.functions:
        try:  # drift times for the functions of 30-byte index records
            batch = run.spectra(f.index, ims=ims)
        except ValueError:
            batch = run.spectra(f.index)
        for s in batch:
            out[f"function={f.index} process=0 scan={s.scan + 1}"] = (s, f.is_lock_mass)
    return out


def same(got, want):
    """Bit for bit: the same type, length and bytes."""
    got = np.asarray(got)
    assert got.dtype == want.dtype and got.shape == want.shape
    assert got.tobytes() == want.tobytes()


def test_validates_against_the_psi_schemas(export):
    etree = pytest.importorskip("lxml.etree")
    validator = pytest.importorskip("psims.validation.validator")
    schema = validator.get_schema("indexedmzML")  # the index schema includes mzML 1.1.0's
    assert schema.validate(etree.parse(str(export[1]))), schema.error_log


def test_index_offsets_and_checksum(export):
    run, path, ims = export
    data = path.read_bytes()
    at = data.index(b"<fileChecksum>") + len(b"<fileChecksum>")
    assert data[at:at + 40].decode() == hashlib.sha1(data[:at]).hexdigest()
    index_at = int(re.search(rb"<indexListOffset>(\d+)<", data).group(1))
    assert data[index_at:].startswith(b"<indexList ")
    entries = re.findall(rb'<offset idRef="([^"]*)">(\d+)</offset>', data[index_at:])
    spectra = [e for e in entries if e[0].startswith(b"function=")]
    assert [i.decode() for i, _ in spectra] == list(expected_spectra(run, ims))
    assert len(entries) - len(spectra) == len(run.functions) + len(run.channels)
    for k, (ident, offset) in enumerate(entries):
        tag = b"spectrum" if k < len(spectra) else b"chromatogram"
        assert re.match(rb'<%s index="%d" id="%s"' % (tag, k if k < len(spectra) else k - len(spectra), ident),
                        data[int(offset):])


def test_pyteomics_reads_back(export):
    mzml = pytest.importorskip("pyteomics.mzml")
    run, path, ims = export
    want = expected_spectra(run, ims)
    with mzml.MzML(str(path)) as reader:
        got = list(reader)
        reader.reset()
        chroms = {c["id"]: c for c in reader.iterfind("chromatogram")}
    assert [g["id"] for g in got] == list(want)
    for g in got:
        s, lock_mass = want[g["id"]]
        same(g["m/z array"], s.mz)
        same(g["intensity array"], s.intensity)
        if s.ims:
            same(g["raw ion mobility drift time array"], s.drift_time_ms)
        else:
            assert "raw ion mobility drift time array" not in g
        assert g["ms level"] == 1 and ("calibration spectrum" if lock_mass else "MS1 spectrum") in g
        assert "centroid spectrum" in g
        assert g["scanList"]["scan"][0]["scan start time"] == s.rt_min
        if len(s):
            top = int(np.argmax(s.intensity))
            assert (g["base peak m/z"], g["base peak intensity"]) == (s.mz[top], s.intensity[top])
            assert (g["lowest observed m/z"], g["highest observed m/z"]) == (s.mz.min(), s.mz.max())
        else:
            assert "base peak m/z" not in g and "lowest observed m/z" not in g
    for f in run.functions:
        tic, c = run.tic(f.index), chroms[f"TIC function={f.index}"]
        assert "total ion current chromatogram" in c
        same(c["time array"], tic.rt_min)
        same(c["intensity array"], tic.intensity)
        assert [got[k]["total ion current"] for k in range(len(got))
                if got[k]["id"].startswith(f"function={f.index} ")] == tic.intensity.tolist()
    for channel in run.channels:
        trace, c = run.channel(channel.index), chroms[f"channel={channel.index}"]
        same(c["time array"], trace.rt_min)
        same(c["intensity array"], trace.intensity)
        assert (c["channel name"], c["units"]) == (channel.name, channel.units)
        kinds = {"bar": "pressure chromatogram", "C": "temperature chromatogram", "ul/min": "flow rate chromatogram"}
        assert kinds[channel.units] in c


def test_pymzml_reads_back(export):
    pymzml = pytest.importorskip("pymzml")
    run, path, ims = export
    want = expected_spectra(run, ims)
    reader = pymzml.run.Reader(str(path))
    seen = []
    for g in reader:
        ident = "function={function} process={process} scan={scan}".format(**g.id_dict)
        seen.append(ident)
        s, _ = want[ident]
        same(np.asarray(g.mz, dtype=np.float64), s.mz)
        same(np.asarray(g.i, dtype=np.float32), s.intensity)
        if s.ims and len(s):  # pymzml decodes no array of an empty spectrum
            same(np.asarray(g.get_array("raw ion mobility drift time array"), dtype=np.float64), s.drift_time_ms)
        assert g.ms_level == 1 and g.scan_time_in_minutes() == s.rt_min
    assert seen == list(want)
    tic = run.tic(1)
    chrom = reader["TIC function=1"]
    same(np.asarray(chrom.time, dtype=np.float64), tic.rt_min)
    same(np.asarray(chrom.i, dtype=np.float64), tic.intensity)


def test_pyopenms_reads_back(export):
    oms = pytest.importorskip("pyopenms")
    run, path, ims = export
    want = expected_spectra(run, ims)
    exp, reader, options = oms.MSExperiment(), oms.MzMLFile(), oms.PeakFileOptions()
    options.setSortSpectraByMZ(False)  # peaks in record order, as written
    reader.setOptions(options)
    reader.load(str(path), exp)
    assert [g.getNativeID() for g in exp.getSpectra()] == list(want)
    for g in exp.getSpectra():
        s, _ = want[g.getNativeID()]
        mz, intensity = g.get_peaks()
        same(mz, s.mz)
        same(intensity, s.intensity)
        # OpenMS converts the minutes to seconds itself; versions round that
        # product differently in the last place.
        assert g.getMSLevel() == 1 and g.getRT() == pytest.approx(s.rt_min * 60, rel=1e-15, abs=0)
        drift = [np.asarray(a.get_data()) for a in g.getFloatDataArrays()]
        if s.ims:  # OpenMS keeps extra arrays as 32-bit floats
            same(drift[0], s.drift_time_ms.astype(np.float32))
        else:
            assert drift == []
    chroms = {c.getNativeID(): c for c in exp.getChromatograms()}
    for f in run.functions:  # OpenMS keeps chromatogram intensities as 32-bit floats
        time, intensity = chroms[f"TIC function={f.index}"].get_peaks()
        tic = run.tic(f.index)
        same(time, tic.rt_min * 60)
        same(intensity, tic.intensity.astype(np.float32))


def test_every_term_is_the_ontologies_own():
    cv = pytest.importorskip("psims.controlled_vocabulary.controlled_vocabulary")
    ms, uo = cv.load_psims(), cv.load_uo()
    for accession, name in _mzml.CV_TERMS.items():
        assert (uo if accession.startswith("UO:") else ms)[accession].name == name


def test_functions_chosen_in_order_and_progress(tmp_path, runs):
    run = tessmoor_bulk.Run(runs["random"])
    steps = []
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_mzml, "_BATCH_PEAKS", 300)
        _mzml.write_mzml(run, tmp_path / "x.mzML", functions=[3, 1], progress=steps.append)
    assert sum(steps) == run.n_scans(3) + run.n_scans(1) and len(steps) > 2
    text = (tmp_path / "x.mzML").read_text()
    ids = re.findall(r'<spectrum index="\d+" id="function=(\d) ', text)
    assert ids == ["3"] * run.n_scans(3) + ["1"] * run.n_scans(1)
    assert re.findall(r'<chromatogram index="\d+" id="([^"]+)"', text) == [
        "TIC function=3", "TIC function=1", "channel=0", "channel=1"]


@pytest.mark.parametrize("kwargs, error", [
    (dict(functions=[4]), IndexError),
    (dict(functions=[1, 2, 1]), ValueError),
    (dict(compression="gzip"), ValueError),
])
def test_refused_arguments(tmp_path, kwargs, error):
    with pytest.raises(error):
        _mzml.write_mzml(tessmoor_bulk.Run(SAMPLE), tmp_path / "x.mzML", **kwargs)


@pytest.mark.parametrize("zlib", [True, False])
def test_native_texts_decode_to_the_values(zlib):
    """Arrays long enough for the encoder's probe, noise-like (Huffman-coded
    after it) and repetitive (level 1 throughout), cut into parts."""
    import base64
    import zlib as zlib_module
    rng = np.random.default_rng(5)
    noise = rng.random(30000) * 1000.0
    repetitive = np.repeat(rng.integers(1, 50, 600), 50).astype(np.float32)
    offsets = np.array([0, 0, 1, 9000, 30000], dtype=np.int64)
    text, bounds, numpressed = _native.encode_arrays([noise, repetitive], offsets, zlib, 2)
    assert not numpressed.any()
    for k, (start, end) in enumerate(bounds.tolist()):
        values, part = (noise, repetitive)[k % 2], k // 2
        raw = base64.b64decode(bytes(text[start:end]), validate=True)
        assert (zlib_module.decompress(raw) if zlib else raw) == values[offsets[part]:offsets[part + 1]].tobytes()


def test_native_encoding_refuses_what_it_cannot_encode():
    values = np.arange(4.0)
    with pytest.raises(ValueError):  # offsets beyond the values, or decreasing
        _native.encode_arrays([values], np.array([0, 5], dtype=np.int64), True, 1)
    with pytest.raises(ValueError):
        _native.encode_arrays([values], np.array([0, 3, 2], dtype=np.int64), True, 1)
    with pytest.raises(TypeError):
        _native.encode_arrays([values.astype(np.int64)], np.array([0, 4], dtype=np.int64), True, 1)


# -- MS-Numpress ----------------------------------------------------------------

def numpress_error(raw, scheme, want):
    """The largest error of the decoded values that the encoding's own fixed
    point allows (its first 8 bytes, big-endian): half a step of the scaled
    integers, for the linear scheme absolute, for the logged one relative to
    the value plus one.  A little more for the rounding of the decoder's own
    arithmetic."""
    fp = float(np.frombuffer(raw[:8], ">f8")[0]) or np.inf  # 0 for no values
    if scheme == "linear":
        return 0.5 / fp + 4 * np.spacing(np.abs(want).max(initial=1.0))
    return (np.expm1(0.5 / fp) + 1e-12) * (np.asarray(want, dtype=np.float64) + 1)


@pytest.mark.parametrize("values", [
    [], [0.0, 0.0], [3.0, 1.0, 2.0], [5.0] * 40, [1e-7, 2e-7, 5e-7],
    np.sort(np.random.default_rng(1).uniform(50, 2000, 3000)),         # m/z of a scan
    np.random.default_rng(2).uniform(0, 2400, 3000),                    # m/z of an ion-mobility scan
    np.repeat(np.linspace(0, 20, 200), 15),                              # drift times
    [1e8, 1e8 + 1, 3e8], [0.0, 2000.0, 4000.0, 1e-3, 9e5, 0.0],
], ids=lambda v: f"{len(v)}")
def test_numpress_linear_within_its_error(values):
    pynumpress = pytest.importorskip("pynumpress")
    import base64
    values = np.asarray(values, dtype=np.float64)
    text, bounds, numpressed = _native.encode_arrays([values], np.array([0, len(values)]), False, 1, ["linear"])
    raw = base64.b64decode(bytes(text[bounds[0, 0]:bounds[0, 1]]))
    assert numpressed.tolist() == [1]
    got = np.asarray(pynumpress.decode_linear(raw), dtype=np.float64)
    assert got.shape == values.shape
    assert np.all(np.abs(got - values) <= numpress_error(raw, "linear", values))


@pytest.mark.parametrize("values", [
    [], [0.0], [0.0, 0.0, 0.0], [1.0, 65535.0, 3.0], np.float32([3.4e38, 0.5, 7]),
    np.random.default_rng(3).uniform(0, 1e6, 5000).astype(np.float32),
], ids=lambda v: f"{len(v)}")
def test_numpress_slof_within_its_error(values):
    pynumpress = pytest.importorskip("pynumpress")
    import base64
    values = np.asarray(values, dtype=np.float32)
    text, bounds, numpressed = _native.encode_arrays([values], np.array([0, len(values)]), True, 1, ["slof"])
    raw = zlib.decompress(base64.b64decode(bytes(text[bounds[0, 0]:bounds[0, 1]])))
    assert numpressed.tolist() == [1]
    got = np.asarray(pynumpress.decode_slof(raw), dtype=np.float64)
    assert np.all(np.abs(got - values) <= numpress_error(raw, "slof", values))


@pytest.mark.parametrize("scheme, values", [
    ("linear", [1.0, np.nan, 3.0]), ("linear", [1.0, np.inf]), ("linear", [-5.0, 1.0, 2.0]), ("linear", [1.0]),
    ("linear", [1.0, 1e11, 3e11]),
    ("slof", [1.0, np.nan]), ("slof", [2.0, -0.5]),
])
def test_numpress_falls_back_to_the_exact_values(scheme, values):
    """Values the scheme cannot hold are stored as they are, flagged so; so
    is a lone value for linear prediction, which pynumpress does not read,
    and jumps beyond 2**31 at the coarsest scale."""
    import base64
    values = np.asarray(values, dtype=np.float64)
    text, bounds, numpressed = _native.encode_arrays([values, values], np.array([0, 0, len(values)]), False, 2,
                                                     [scheme, "none"])
    assert numpressed.tolist() == [1, 0, 0, 0]  # the empty part is encoded
    for start, end in bounds.tolist()[2:]:
        assert base64.b64decode(bytes(text[start:end])) == values.tobytes()


@pytest.fixture(scope="module", params=["numpress", "numpress-zlib"])
def numpress_export(request, runs, tmp_path_factory):
    """The random run, its first channel's values made negative (Numpress
    cannot hold them: they are stored exactly), exported with drift times."""
    root = tmp_path_factory.mktemp("np") / "negative.raw"
    shutil.copytree(runs["random"], root)
    points = [(0.05 * k, -1.5 * k - 2) for k in range(30)]
    (root / "_CHRO003.DAT").write_bytes(chro_dat(points))
    run = tessmoor_bulk.Run(root)
    path = root.parent / "np.mzML"
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_mzml, "_BATCH_PEAKS", 100)
        _mzml.write_mzml(run, path, ims=True, compression=request.param, threads=2)
    return run, path, request.param


def raw_arrays(path):
    """The binary arrays of the file in order, decoded from base64 and
    inflated, with their compression term."""
    import base64
    text = path.read_text()
    for block in re.findall(r"<binaryDataArray .*?</binaryDataArray>", text, re.S):
        term = re.search(r'accession="(MS:100(?:2312|2314|2746|2748|0574|0576))"', block).group(1)
        raw = base64.b64decode(re.search(r"<binary>(.*)</binary>", block, re.S).group(1))
        yield term, (zlib.decompress(raw) if term in ("MS:1002746", "MS:1002748", "MS:1000574") else raw)


def test_numpress_readers_decode_within_its_error(numpress_export):
    """pyteomics (with pynumpress) and pyopenms read the arrays back within
    the error each array's encoding states; the channel Numpress cannot hold
    comes back exact."""
    oms = pytest.importorskip("pyopenms")
    mzml = pytest.importorskip("pyteomics.mzml")
    pytest.importorskip("pynumpress")
    run, path, compression = numpress_export
    want = expected_spectra(run, True)
    raws = list(raw_arrays(path))
    linear, slof = (("MS:1002312", "MS:1002314") if compression == "numpress" else ("MS:1002746", "MS:1002748"))
    with mzml.MzML(str(path)) as reader:
        got = list(reader)
        reader.reset()
        channel = next(c for c in reader.iterfind("chromatogram") if c["id"] == "channel=0")
    exp, options = oms.MSExperiment(), oms.PeakFileOptions()
    options.setSortSpectraByMZ(False)
    openms = oms.MzMLFile()
    openms.setOptions(options)
    openms.load(str(path), exp)
    assert [g["id"] for g in got] == [g.getNativeID() for g in exp.getSpectra()] == list(want)
    at = 0
    for g, o in zip(got, exp.getSpectra()):
        s, _ = want[g["id"]]
        arrays = [("m/z array", s.mz, linear), ("intensity array", s.intensity, slof)]
        if s.ims:
            arrays.append(("raw ion mobility drift time array", s.drift_time_ms, linear))
        mz, intensity = o.get_peaks()
        openms = [mz, intensity] + [np.asarray(a.get_data()) for a in o.getFloatDataArrays()]
        for (name, values, term), theirs in zip(arrays, openms):
            got_term, raw = raws[at]
            at += 1
            if got_term in ("MS:1000576", "MS:1000574"):  # a lone value: stored as it is
                assert len(values) == 1 and np.frombuffer(raw, values.dtype) == values
                continue
            assert got_term == term
            bound = numpress_error(raw, "linear" if term == linear else "slof", values)
            assert np.all(np.abs(g[name] - values) <= bound)
            # OpenMS keeps intensities and extra arrays as 32-bit floats.
            if theirs.dtype == np.float32:
                bound = bound + np.spacing(np.float32(values))
            assert np.all(np.abs(theirs - values) <= bound)
    trace = run.channel(0)
    same(channel["intensity array"], trace.intensity)
