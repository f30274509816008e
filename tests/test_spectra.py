"""Scan decoding, compared bit for bit with a Python model: Python floats are
IEEE doubles and never fused, so the model rounds once per step, in the
decoders' order."""

import math
import random
import struct

import pytest
import tessmoor
from rawwriter import (Function, FunctionData, extern_text, header_text, make_run, rec_8,
                       rec_a, scan_8, scan_a)


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def hexes(xs):  # bit-exact comparison, -0.0 and NaN included
    return [float.hex(x) for x in xs]


def model_flight_constant(lteff, veff):
    return lteff * 0.001 * math.sqrt(1.6726219e-27 / (veff * 3.2043532e-19)) * 1000000.0


def model_mz(t, fc, coeffs, kind):
    if kind == "T1":
        s = 0.0
        for c in reversed(coeffs):
            s = t * s
            s = s + c
        t = s
    q = t / fc
    return q * q


def model_decode(enc, scan, fn, fc, coeffs, kind):
    mz, inten, drift = [], [], []
    if enc == "A":
        recs = [struct.unpack_from("<2xBBH", scan, o) for o in range(0, len(scan), 6)]
        scale = fc * math.sqrt(f32(fn.mz_high)) / float(recs[0][2])
        for block, i, b in recs[1:]:
            if i and block != 0x70:
                mz.append(model_mz(scale * b, fc, coeffs, kind))
                inten.append(i)
        return mz, inten, drift
    recs = [struct.unpack_from("<2xHHH", scan, o) for o in range(0, len(scan), 8)]
    first, last = recs[0][2], recs[-1][2]
    t_lo, t_hi = fc * math.sqrt(f32(fn.mz_low)), fc * math.sqrt(f32(fn.mz_high))
    slope = (t_hi - t_lo) / float(last - first)
    for i, field4, b in recs:
        if not i:
            continue
        x = float(b - first)
        if enc == "C":
            x = x + field4 / 65536
        mz.append(model_mz(t_lo + slope * x, fc, coeffs, kind))
        inten.append(i)
        drift.append(f32(fn.scan_time_s) * 1000.0 * field4 * 1.52587890625e-05)
    return mz, inten, drift


def open_reader(tmp_path, variant, scans, cal=None, fn=None, lteff=1000, veff=10000):
    root = make_run(tmp_path / "run.raw", functions=[fn or Function()],
                    data={1: FunctionData(variant, list(scans))},
                    header=header_text({1: cal} if cal is not None else {}),
                    extern=extern_text(lteff, veff))
    return tessmoor.RawReader(str(root))


def read(reader, enc, scan_index=0):
    method = reader.read_ims_spectrum if enc == "B" else reader.read_spectrum
    return method(1, scan_index)


def random_scan(rng, enc):
    # Zero intensities (anchors included), later sentinels and bins outside
    # the anchors all occur.
    if enc == "A":
        peaks = [rec_a(rng.choice([0, 0, 1, 0x70, 0xff]), rng.choice([0, rng.randrange(1, 256)]),
                       rng.randrange(65536)) for _ in range(rng.randrange(0, 30))]
        return rec_a(0x70, rng.randrange(256), rng.randrange(1, 65536)) + b"".join(peaks)
    first = rng.randrange(0, 30000)
    bins = [first] + [rng.randrange(65536) for _ in range(rng.randrange(0, 30))]
    bins.append(rng.randrange(first + 1, 65536))
    return scan_8([(rng.choice([0, rng.randrange(1, 65536)]), rng.randrange(65536), b)
                   for b in bins])


CALIBRATIONS = {
    "no line": None,
    "T0 ignores coefficients": ([0.5, 1.0001, 3e-7], "T0"),
    "T1 empty": ([], "T1"),
    "T1 constant": ([2.5], "T1"),
    "T1 identity": ([0.0, 1.0], "T1"),
    "T1 cubic": ([-0.0123456789, 1.000321, -2.5e-6, 7.25e-9], "T1"),
}


@pytest.mark.parametrize("enc", ["A", "B", "C"])
@pytest.mark.parametrize("cal", list(CALIBRATIONS.values()), ids=list(CALIBRATIONS))
def test_matches_model_bit_for_bit(tmp_path, enc, cal):
    rng = random.Random(f"{enc}{cal}")
    fn = Function(mz_low=rng.uniform(20, 300), mz_high=rng.uniform(1000, 4000),
                  scan_time_s=rng.uniform(0.01, 2))
    coeffs, kind = cal or ([], "T0")
    cal_text = None if cal is None else ",".join([*map(repr, coeffs), kind])
    scans = [random_scan(rng, enc) for _ in range(8)]
    reader = open_reader(tmp_path, "A" if enc == "A" else "B", scans, cal_text, fn, 1800, 7200)
    fc = model_flight_constant(1800, 7200)
    for i, scan in enumerate(scans):
        mz, inten, drift = model_decode(enc, scan, fn, fc, coeffs, kind)
        got = read(reader, enc, i)
        assert hexes(got.mz) == hexes(mz) and got.intensity == inten and len(got) == len(mz)
        if enc == "B":
            assert hexes(got.drift_time_ms) == hexes(drift)
        if kind == "T1" and not coeffs:
            assert set(got.mz) <= {0.0}


def sq(x):
    return x * x  # not x ** 2: pow need not round like one multiplication


@pytest.mark.parametrize("cal,lteff,veff,expected", [
    (None, 1000, 10000, [2000.0000000000002, 500.00000000000006]),
    # A single T1 coefficient k maps every flight time to k: m/z = (k / fc)^2.
    ("3.0,T1", 1000, 10000, [sq(3.0 / 0.7224847745293227)] * 2),
    ("3.0,T1", 1800, 7200, [sq(3.0 / 1.5326216501211536)] * 2),
])
def test_worked_values(tmp_path, cal, lteff, veff, expected):
    scans = [scan_a(40000, [(40000, 9), (20000, 8)])]
    spec = open_reader(tmp_path, "A", scans, cal, lteff=lteff, veff=veff).read_spectrum(1, 0)
    assert hexes(spec.mz) == hexes(expected) and spec.intensity == [9.0, 8.0]


@pytest.mark.parametrize("variant,scan,enc,message", [
    ("A", rec_a(0, 0, 0) + rec_a(0x70, 5, 100), "A",
     "Encoding A: first record block_type 0x00 is not sentinel (0x70)"),
    ("A", rec_a(0xAB, 0, 100), "A", "Encoding A: first record block_type 0xab is not sentinel (0x70)"),
    ("A", rec_a(0x70, 0, 0), "A", "Encoding A: sentinel_tof_bin is zero"),
    ("A", scan_a(0, [(100, 5)]), "A", "Encoding A: sentinel_tof_bin is zero"),
    ("B", scan_8([(1, 0, 10), (1, 0, 20)]) + bytes(4), "B",
     "Encoding B: scan size 20 is not a multiple of 8"),
    ("B", bytes(36), "C", "Encoding C: scan size 36 is not a multiple of 8"),
])
def test_decoder_messages(tmp_path, variant, scan, enc, message):
    with pytest.raises(RuntimeError) as exc:
        read(open_reader(tmp_path, variant, [scan]), enc)
    assert exc.value.args == ("parse error: " + message,)


@pytest.mark.parametrize("variant,scan", [
    ("A", rec_a(0x70, 0, 500)),                                 # the sentinel alone
    ("B", rec_8(9, 0, 300)),                                    # one record: no axis
    ("B", scan_8([(5, 0, 300), (6, 0, 300)])),                  # equal anchors
    ("B", scan_8([(5, 0, 300), (7, 9, 250), (6, 0, 200)])),     # reversed anchors
])
def test_scans_without_an_axis_are_empty(tmp_path, variant, scan):
    reader = open_reader(tmp_path, variant, [scan])
    for enc in (["A"] if variant == "A" else ["B", "C"]):
        spec = read(reader, enc)
        assert len(spec) == 0 and spec.mz == [] and spec.intensity == []


def test_drift_time_and_both_readings_of_one_scan(tmp_path):
    scan = scan_8([(10, 0, 100), (20, 32768, 150), (30, 0, 150), (40, 65535, 200)])
    reader = open_reader(tmp_path, "B", [scan], fn=Function(scan_time_s=0.98))
    ims, flat = reader.read_ims_spectrum(1, 0), reader.read_spectrum(1, 0)
    scale = f32(0.98) * 1000.0
    assert ims.drift_time_ms[:3] == [0.0, scale / 2, 0.0] and ims.drift_time_ms[3] < scale
    assert ims.mz[1] == ims.mz[2]  # the drift position does not move the m/z
    assert ims.mz[0] == pytest.approx(50.0) and ims.mz[3] == pytest.approx(2000.0)
    assert len(ims) == len(flat) == 4 and ims.intensity == flat.intensity
    # Read as a bin fraction, a non-zero offset-4 field moves the m/z further.
    assert [a == b for a, b in zip(ims.mz, flat.mz)] == [True, False, True, False]
    assert flat.mz[1] > flat.mz[2]
