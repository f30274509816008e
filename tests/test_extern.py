"""_extern.inf: which settings count (first numeric value wins, units in
parentheses, tokens cut at Unicode White_Space), headings versus settings,
and the three messages.  Lteff and Veff are observed through read_spectrum:
with calibration kind T1 and the single coefficient 1 every peak has m/z
(1 / flight_constant)**2, and the flight constant follows from both."""

import errno
import math
import os

import pytest

import tessmoor
from rawwriter import FunctionData, make_run, scan_a

HEADER = "$$ Cal Function 1: 1,T1\n"
SCAN = scan_a(40000, [(20000, 5)])


def expected_mz(lteff, veff):
    a = veff * 3.2043532e-19
    b = 1.6726219e-27 / a
    fc = lteff * 0.001 * math.sqrt(b) * 1e6
    q = 1.0 / fc
    return q * q


def open_run(tmp_path, extern):
    root = make_run(tmp_path / "r.raw", header=HEADER, extern=extern,
                    data={1: FunctionData("A", [SCAN])})
    return tessmoor.RawReader(str(root))


PUSHER = "PusherInterval 50\n"


@pytest.mark.parametrize("extern, lteff, veff", [
    ("Lteff 1000\nVeff 7000\n" + PUSHER, 1000, 7000),
    ("Lteff 1000\r\nVeff 7000\r\nPusherInterval 50\r\n", 1000, 7000),
    ("Lteff(mm) 1800\nVeff (V)\t7200\n" + PUSHER, 1800, 7200),
    ("Lteff abc\nLteff 1200\nLteff 1300\nVeff 7000\n" + PUSHER, 1200, 7000),
    ("Lteff 1000\nVeff 7000 V\nVeff: 6000\nVeff 7100\nVeff 7200\n" + PUSHER, 1000, 7100),
    ("Lteff 1000\nVeff 7,5\nVeff 7000\n" + PUSHER, 1000, 7000),  # no decimal comma
    ("  Lteff\u3000\u30001100\u2003\nVeff\u00a07300\u202f\n" + PUSHER, 1100, 7300),
    ("Lteff\t+1.1e3\nVeff .73E4\n" + PUSHER, 1100, 7300),
    # Global settings count inside function blocks and after headings.
    ("Function Parameters - Function 1 - TOF MS\nLteff 1500\nInstrument Parameters:\nVeff 6500\n"
     + PUSHER, 1500, 6500),
    # The first line counts even after a byte-order mark; only one is dropped.
    (b"\xef\xbb\xbfLteff 1234\nLteff 1500\nVeff 7000\n" + PUSHER.encode(), 1234, 7000),
    (b"\xef\xbb\xbf\xef\xbb\xbfLteff 1234\nLteff 1500\nVeff 7000\n" + PUSHER.encode(), 1500, 7000),
    # Invalid UTF-8 is replaced, never an error.
    (b"\xff\xfe\nLteff\xc0 900\nLteff 1000\nVeff 7000\n" + PUSHER.encode(), 1000, 7000),
])
def test_lteff_and_veff(tmp_path, extern, lteff, veff):
    mz = list(open_run(tmp_path, extern).read_spectrum(1, 0).mz)
    assert mz == [expected_mz(lteff, veff)]


@pytest.mark.parametrize("pusher", [
    "PusherInterval 50",
    "Pusher Cycle Time (us)\t64.1",
    "Pusher  Cycle\tTime\u3000(us) 64.1",  # runs of whitespace join as one space
    "PusherInterval x\nPusher Cycle Time 64",
    "Pusher Cycle Time Automatic\nPusherInterval inf",
])
def test_pusher_setting_found(tmp_path, pusher):
    open_run(tmp_path, f"Lteff 1000\nVeff 7000\n{pusher}\n")


LTEFF_MSG = "_extern.inf: Lteff field not found"
VEFF_MSG = "_extern.inf: Veff field not found"
PUSHER_MSG = "_extern.inf: neither PusherInterval nor Pusher Cycle Time found"


@pytest.mark.parametrize("extern, message", [
    ("", LTEFF_MSG),
    ("PusherInterval 50\nVeff 7000\n", LTEFF_MSG),
    ("Lteff 1000\n", VEFF_MSG),
    ("Lteff 1000\nVeff 7000\n", PUSHER_MSG),
    ("lteff 1000\nVeff 7000\n" + PUSHER, LTEFF_MSG),           # names are case-sensitive
    ("Lteff\nVeff 7000\n" + PUSHER, LTEFF_MSG),                 # one token
    ("Lteff 1000:\nVeff 7000\n" + PUSHER, LTEFF_MSG),           # a heading, not a setting
    ("Lteff 1000 mm\nVeff 7000\n" + PUSHER, LTEFF_MSG),         # the value is the last token
    ("Lteff 1\u200b000\nVeff 7000\n" + PUSHER, LTEFF_MSG),      # U+200B is not White_Space
    ("Lteff 1000\nVeff: 7000\n" + PUSHER, VEFF_MSG),
    ("Lteff 1000\nVeff 7000\nPusher Cycle Time Automatic\nPusherInterval\n", PUSHER_MSG),
    ("Lteff 1000\nVeff 7000\nPusher Cycle Time: 64\n", PUSHER_MSG),
    ("Lteff 1000\rVeff 7000\rPusherInterval 50\r", LTEFF_MSG),  # CR alone ends no line
    ("Function Parameters - Function 4:\nFunction Parameters - Function x\n"
     "Start Mass 50\nFunction 2 Settings:\nLteff 1000\nVeff 7000\n", PUSHER_MSG),
])
def test_missing_constants(tmp_path, extern, message):
    with pytest.raises(RuntimeError) as exc:
        open_run(tmp_path, extern)
    assert type(exc.value) is RuntimeError
    assert exc.value.args == ("parse error: " + message,)


@pytest.mark.parametrize("name", ["_HEADER.TXT", "_extern.inf"])
def test_unreadable_text_file(tmp_path, name):
    root = make_run(tmp_path / "r.raw")
    (root / name).unlink()
    for code in (errno.ENOENT, errno.EISDIR):
        if code == errno.EISDIR:
            (root / name).mkdir()
        with pytest.raises(RuntimeError) as exc:
            tessmoor.RawReader(str(root))
        assert exc.value.args == (f"I/O error: {os.strerror(code)} (os error {code})",)
