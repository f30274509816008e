"""_HEADER.TXT: which lines are read, the calibration lines and their
messages, and the text rules (decoding, line ends, trimming, the float
grammar, the quoted form in messages).  Parsed calibrations are observed
through read_spectrum: with kind T1 and the single coefficient k every peak
has m/z (k / flight_constant)**2."""

import math

import pytest

import tessmoor
from rawwriter import Function, FunctionData, make_run, scan_a

PEAK_BINS = (20000, 30000)
SCAN = scan_a(40000, [(b, 5) for b in PEAK_BINS])


def flight_constant(lteff=1000.0, veff=10000.0):
    a = veff * 3.2043532e-19
    b = 1.6726219e-27 / a
    return lteff * 0.001 * math.sqrt(b) * 1e6


FC = flight_constant()


def t1_single(k):
    """m/z of every peak for kind T1 with the one coefficient k."""
    q = k / FC
    return [q * q] * len(PEAK_BINS)


def t0_mz(mz_high=2000.0, sentinel=40000):
    scale = FC * math.sqrt(mz_high) / sentinel
    return [((scale * b) / FC) * ((scale * b) / FC) for b in PEAK_BINS]


def open_run(tmp_path, header, n_functions=1):
    """A run whose functions all have the same Encoding A scan."""
    data = {n: FunctionData("A", [SCAN]) for n in range(1, n_functions + 1)}
    root = make_run(tmp_path / "r.raw", header=header, functions=[Function()] * n_functions,
                    data=data)
    return tessmoor.RawReader(str(root))


def mz_of(reader, func=1):
    return list(reader.read_spectrum(func, 0).mz)


def same(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert (math.isnan(g) and math.isnan(w)) or g == w, (got, want)


def parse_error(tmp_path, header):
    with pytest.raises(RuntimeError) as exc:
        open_run(tmp_path, header)
    assert type(exc.value) is RuntimeError and len(exc.value.args) == 1
    return exc.value.args[0]


@pytest.mark.parametrize("value, k", [
    ("3.5,T1", 3.5),
    ("  3.5 ,\tT1 ", 3.5),
    ("\u00a03.5\u3000,\u2003T1", 3.5),  # Unicode White_Space is trimmed
    (".5,T1", 0.5),
    ("5.,T1", 5.0),
    ("-2.5E+1,T1", -25.0),
    ("0.1000000000000000055511151231257827,T1", 0.1),
    ("1e400,T1", math.inf),
    ("-1E400,T1", -math.inf),
    ("2e-324,T1", 0.0),
    ("+Infinity,T1", math.inf),
    ("nAn,T1", math.nan),
    (", 3.5, ,T1", 3.5),  # blank items are skipped
])
def test_coefficient_forms(tmp_path, value, k):
    r = open_run(tmp_path, f"$$ Cal Function 1: {value}\n")
    same(mz_of(r), t1_single(k))


@pytest.mark.parametrize("value, want", [
    ("T1", [0.0, 0.0]),           # no coefficients: s stays 0
    ("0,1,T1", t0_mz()),          # identity polynomial, constant term first
    ("0, ,1,T1", t0_mz()),
    ("7,T0", t0_mz()),            # T0 holds coefficients but does not apply them
])
def test_kind_and_coefficient_order(tmp_path, value, want):
    r = open_run(tmp_path, f"$$ Cal Function 1: {value}\n")
    same(mz_of(r), want)


@pytest.mark.parametrize("lines, func, k", [
    (["$$ Cal Function 2: 4,T1"], 2, 4.0),
    (["$$ Cal Function +3: 4,T1"], 3, 4.0),
    (["$$ Cal Function Cal Function 3: 4,T1"], 3, 4.0),
    (["$$ Cal Function 2: 4,T1", "$$ Cal Function 02: 6,T1"], 2, 6.0),  # later line wins
    (["$$   Cal Function 2   : 4,T1"], 2, 4.0),
])
def test_calibration_lands_on_its_function(tmp_path, lines, func, k):
    r = open_run(tmp_path, "\r\n".join(lines) + "\r\n", n_functions=3)
    for n in (1, 2, 3):
        same(mz_of(r, n), t1_single(k) if n == func else t0_mz())


@pytest.mark.parametrize("header", [
    b"\xef\xbb\xbf$$ Cal Function 1: 2,T1\n",
    b"\xef\xbb\xbf$$ Cal Function 1: 2,T1",
    b"\xef\xbb\xbf$$ Cal Function 1: 2,T1\r\n$$ Version: 1\r\n",
])
def test_first_line_counts(tmp_path, header):
    # A byte-order mark is dropped so that the first line is read.
    same(mz_of(open_run(tmp_path, header)), t1_single(2.0))


@pytest.mark.parametrize("header", [
    "Cal Function 1: x,T1\n",               # no "$$"
    "$ Cal Function 1: x,T1\n",
    "$$ cal function 1: x,T1\n",            # keys are case-sensitive
    "$$ Cal Function 1:x,T1\n",             # no ": "
    "$$ Cal Function 1:\tx,T1\n",
    "$$ Cal Function : x,T1\n",             # the trimmed key lacks the prefix's space
    "$$ Cal Function 1:\n",
    "$$ Version: 1\r$$ Cal Function 1: x,T1\r",  # CR alone does not end a line
    b"\xef\xbb\xbf\xef\xbb\xbf$$ Cal Function 1: x,T1\n",  # only one mark is dropped
    b"$$ Instrument: \xff\xc0\xe2\x82 ok\n\x80$$ Cal Function 1: x,T1\n",
])
def test_lines_that_are_not_calibrations(tmp_path, header):
    # Each of these would fail the file if it were read as a calibration.
    same(mz_of(open_run(tmp_path, header)), t0_mz())


Q = '"'


@pytest.mark.parametrize("header, message", [
    ("$$ Cal Function -7: T0", 'invalid function index in key "Cal Function -7"'),
    ("$$ Cal Function 7a: T0", 'invalid function index in key "Cal Function 7a"'),
    ("$$ Cal Function 4294967296: T0", 'invalid function index in key "Cal Function 4294967296"'),
    ("$$ Cal Function 1 2: T0", 'invalid function index in key "Cal Function 1 2"'),
    ("$$ Cal Function x: 1,T9", 'invalid function index in key "Cal Function x"'),
    ("$$ Cal Function Cal Function : T1", 'invalid function index in key "Cal Function Cal Function"'),
    ('$$ Cal Function "\\\t\x00\x01: T0',
     r'invalid function index in key "Cal Function \"\\\t\0\u{1}"'),
    ("$$ Cal Function 1\u0301\u200b\ue000\u00a0\u2028é😀: T0",
     r"invalid function index in key " + Q + r"Cal Function 1\u{301}\u{200b}\u{e000}\u{a0}\u{2028}é😀" + Q),
    ("$$ Cal Function 1: 1.5,2.5,", 'unknown calibration type ""'),
    ("$$ Cal Function 1: 1.5,t1", 'unknown calibration type "t1"'),
    ("$$ Cal Function 1: 1.5,x,T9", 'unknown calibration type "T9"'),
    ("$$ Cal Function 1: 1,T1 x", 'unknown calibration type "T1 x"'),
    ("$$ Cal Function 1: 2,T1\r$$ Version: 1\r",
     r'unknown calibration type "T1\r$$ Version: 1"'),
    ("$$ Cal Function 1: 1.5, x ,T1", 'invalid coefficient " x "'),
    ("$$ Cal Function 1: 1,5e,T1", 'invalid coefficient "5e"'),
    ("$$ Cal Function 1: 0x10,T1", 'invalid coefficient "0x10"'),
    ("$$ Cal Function 1: 1_0,T1", 'invalid coefficient "1_0"'),
    ("$$ Cal Function 1: .,T1", 'invalid coefficient "."'),
    ("$$ Cal Function 1: infinit,T1", 'invalid coefficient "infinit"'),
    ("$$ Cal Function 1: ١,T1", 'invalid coefficient "١"'),
    ("$$ Cal Function 1: 1,\t1 2,T1", r'invalid coefficient "\t1 2"'),
    (b"$$ Cal Function 1: \xe2\x82,T1", 'invalid coefficient "\ufffd"'),
    ("$$ Cal Function 1: 1,T1\n$$ Cal Function 2: x,T1\n$$ Cal Function y: T1",
     'invalid coefficient "x"'),
])
def test_calibration_errors(tmp_path, header, message):
    assert parse_error(tmp_path, header) == "parse error: _HEADER.TXT: " + message
