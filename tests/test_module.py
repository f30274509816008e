"""The module's Python surface: the classes and their flags, docstrings,
argument binding and conversion, constructor failures, reprs, and the
independence of the objects that the reader hands out."""

import errno
import gc
import importlib.util
import operator
import os
import pathlib
import struct
import sys
import types
import weakref

import pytest

import tessmoor
from rawwriter import (Function, FunctionData, chrom_name_field, extern_text, functions_inf, make_run,
                       scan_8, write)

CLASSES = ["RawReader", "FunctionInfo", "Spectrum", "ImsSpectrum", "ChromChannel", "ChromPoint"]
RANGE_MSG = "out of range integral type conversion attempted"


def os_text(code):
    return f"{os.strerror(code)} (os error {code})"


def f32_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def f32(x):
    """x rounded to a 32-bit float, widened back."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def f32_bytes(x):
    """A 32-bit float from a value or, for an int, from its bit pattern."""
    return struct.pack("<I", x) if isinstance(x, int) else struct.pack("<f", x)


NEG_NAN_BITS = 0xFFC00000


def raises_runtime(fn, *args, msg):
    """fn(*args) raises exactly RuntimeError(msg), with no cause or context,
    even when called while another exception is being handled."""
    try:
        raise ZeroDivisionError
    except ZeroDivisionError:
        with pytest.raises(RuntimeError) as info:
            fn(*args)
    exc = info.value
    assert type(exc) is RuntimeError
    assert exc.args == (msg,)
    assert exc.__cause__ is None and exc.__context__ is None


@pytest.fixture
def root(tmp_path):
    """Function 1 (Variant B: an empty scan, then three records), two channels,
    channel 0 with two samples."""
    data = {1: FunctionData("B", [b"", scan_8([(5, 0, 1000), (6, 0, 1100), (7, 0, 1200)])])}
    channels = [(4, chrom_name_field(b"Pressure", b"$CC$,2,a,b,c,bar")), (1, chrom_name_field(b"Temp"))]
    chro = {0: b"\0" * 128 + struct.pack("<4f", 0.5, 10.0, 1.0, 12.5)}
    return make_run(tmp_path / "r.raw", functions=[Function(), Function(mz_low=100.0)], data=data,
                    channels=channels, chro=chro)


@pytest.fixture
def reader(root):
    return tessmoor.RawReader(str(root))


SAMPLES = {
    "RawReader": lambda r: r,
    "FunctionInfo": lambda r: r.functions[0],
    "Spectrum": lambda r: r.read_spectrum(1, 0),
    "ImsSpectrum": lambda r: r.read_ims_spectrum(1, 0),
    "ChromChannel": lambda r: r.channels[0],
    "ChromPoint": lambda r: r.read_chrom(0)[0],
}


# --- module and classes -----------------------------------------------------

def test_module_namespace():
    assert tessmoor.__all__ == CLASSES
    assert tessmoor.__doc__ == ""
    assert [n for n in vars(tessmoor) if not n.startswith("_")] == CLASSES


def test_second_module_instance_reuses_the_classes():
    spec = importlib.util.find_spec("tessmoor")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not tessmoor and again.__all__ == CLASSES
    assert all(getattr(again, n) is getattr(tessmoor, n) for n in CLASSES)


@pytest.mark.parametrize("name", CLASSES)
def test_class_flags(name):
    cls = getattr(tessmoor, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    # Identity comparison and hashing only.
    assert cls.__eq__ is object.__eq__ and cls.__hash__ is object.__hash__


@pytest.mark.parametrize("name", CLASSES[1:])
def test_result_classes_cannot_be_created(name):
    cls = getattr(tessmoor, name)
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"cannot create 'builtins.{name}' instances"
    with pytest.raises(TypeError):
        cls.__new__(cls)


@pytest.mark.parametrize("name", CLASSES)
def test_instances_are_closed(reader, name):
    obj = SAMPLES[name](reader)
    assert type(obj) is getattr(tessmoor, name)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.extra = 1
    props = [k for k, v in vars(type(obj)).items() if isinstance(v, types.GetSetDescriptorType)]
    assert props
    for p in props:
        with pytest.raises(AttributeError):
            setattr(obj, p, getattr(obj, p))
        with pytest.raises(AttributeError):
            delattr(obj, p)


def test_reader_cannot_be_made_without_a_run():
    with pytest.raises(TypeError):
        object.__new__(tessmoor.RawReader)


# --- docstrings ---------------------------------------------------------------

SIG_DOC = "`func_index` is 1-based; `scan_index` is 0-based."
DOCS = [
    ("RawReader", "(path)",
     "Open a Waters MassLynx `.raw` directory and read its contents.\n\nExample::\n\n"
     "    import tessmoor\n    r = tessmoor.RawReader(\"/data/sample.raw\")\n    print(r.functions)\n"
     "    spec = r.read_spectrum(1, 0)\n    print(spec.mz[:5], spec.intensity[:5])"),
    ("RawReader.functions", None, "List of all acquisition functions in this .raw file."),
    ("RawReader.channels", None,
     "List of instrument chromatographic channels from `_CHROMS.INF`.\n\nEmpty list if the file is absent."),
    ("RawReader.n_scans", "($self, func_index)", "Number of scans in a function (1-based `func_index`)."),
    ("RawReader.retention_time", "($self, func_index, scan_index)",
     "Retention time (minutes) for a scan.\n\n" + SIG_DOC),
    ("RawReader.read_spectrum", "($self, func_index, scan_index)",
     "Decode a 1-D mass spectrum.\n\nUses Encoding A for older Q-TOF functions and Encoding C for G2/G2-Si.\n"
     "For IMS data, this collapses the drift dimension; use `read_ims_spectrum`\nto obtain the full 2-D data."
     "\n\n" + SIG_DOC),
    ("RawReader.read_ims_spectrum", "($self, func_index, scan_index)",
     "Decode a full IMS spectrum (m/z, drift time, intensity) for SYNAPT data.\n\n"
     "Only valid for Encoding B functions (IDX Variant B).  Returns a\n"
     "`RuntimeError` if the function uses Encoding A.\n\n" + SIG_DOC),
    ("RawReader.read_chrom", "($self, channel_index)",
     "Read a chromatographic channel as a list of `ChromPoint` values.\n\n"
     "`channel_index` is 0-based (matches `ChromChannel.index`)."),
    ("FunctionInfo", None, "Metadata for a single acquisition function from `_FUNCTNS.INF`."),
    ("FunctionInfo.index", None, "1-based function index."),
    ("FunctionInfo.function_type", None, "Raw function type code (always 0x12 in known corpus)."),
    ("FunctionInfo.scan_subtype", None, "Scan subtype byte; bit 7 set means lock-mass channel."),
    ("FunctionInfo.cycle_time_s", None, "Total slot duration per scan cycle (seconds)."),
    ("FunctionInfo.interscan_delay_s", None,
     "Idle time between end of one scan and start of the next (seconds)."),
    ("FunctionInfo.scan_time_s", None, "Data collection time per scan (seconds)."),
    ("FunctionInfo.tof_depth", None, "Number of TDC bins per pusher pulse."),
    ("FunctionInfo.mz_low", None, "Acquisition m/z lower bound (Da)."),
    ("FunctionInfo.mz_high", None, "Acquisition m/z upper bound (Da)."),
    ("FunctionInfo.is_lock_mass", None, "True if this is a lock-mass / reference channel (bit 7 of scan_subtype)."),
    ("Spectrum", None, "A decoded 1-D mass spectrum (m/z vs intensity).\n\n"
                       "Returned by `RawReader.read_spectrum()` for Encoding A and C functions."),
    ("Spectrum.mz", None, "Calibrated m/z values (Da)."),
    ("Spectrum.intensity", None, "Intensity values."),
    ("ImsSpectrum", None, "A decoded IMS spectrum: m/z, drift time, and intensity per ion.\n\n"
                          "Returned by `RawReader.read_ims_spectrum()` for Encoding B (SYNAPT) functions."),
    ("ImsSpectrum.mz", None, "Calibrated m/z values (Da)."),
    ("ImsSpectrum.drift_time_ms", None, "Ion drift times (ms)."),
    ("ImsSpectrum.intensity", None, "Intensity values (raw ion counts)."),
    ("ChromChannel", None, "Description of a single recorded chromatographic channel from `_CHROMS.INF`."),
    ("ChromChannel.index", None, "0-based index among data records."),
    ("ChromChannel.source_type", None, "Source device type (4 = BSM pump, 1 = column/sample device)."),
    ("ChromChannel.name", None, "Channel name decoded from Windows-1252."),
    ("ChromChannel.scale_f", None, "Scale factor from the `$CC$` spec string."),
    ("ChromChannel.units", None, 'Engineering units (e.g. "%", "C", "bar").'),
    ("ChromPoint", None, "A single (retention-time, value) sample from a `_CHROnnnn.DAT` file."),
    ("ChromPoint.rt_min", None, "Retention time (minutes)."),
    ("ChromPoint.value", None, "Channel value in the units given by `ChromChannel.units`."),
]


@pytest.mark.parametrize("path,signature,doc", DOCS, ids=[d[0] for d in DOCS])
def test_docstrings(path, signature, doc):
    obj = tessmoor
    for part in path.split("."):
        obj = getattr(obj, part)
    assert obj.__doc__ == doc
    assert getattr(obj, "__text_signature__", None) == signature


def test_classes_have_exactly_the_documented_members():
    for name in CLASSES:
        cls = getattr(tessmoor, name)
        documented = {p.split(".")[1] for p, _, _ in DOCS if p.startswith(name + ".")}
        own = {k for k in vars(cls) if not k.startswith("__")}
        assert own == documented, name


# --- argument binding and conversion ------------------------------------------

@pytest.mark.parametrize("call,method,names", [
    (lambda r: r.n_scans(), "RawReader.n_scans()", ["'func_index'"]),
    (lambda r: r.read_spectrum(1), "RawReader.read_spectrum()", ["'scan_index'"]),
    (lambda r: r.read_ims_spectrum(), "RawReader.read_ims_spectrum()", ["'func_index'", "'scan_index'"]),
    (lambda r: r.retention_time(1, 0, 2), "RawReader.retention_time()", []),
    (lambda r: r.read_chrom(index=0), "RawReader.read_chrom()", ["'index'"]),
    (lambda r: r.read_spectrum(1, func_index=1), "RawReader.read_spectrum()", ["'func_index'"]),
    (lambda r: tessmoor.RawReader(), "RawReader.__new__()", ["'path'"]),
    (lambda r: tessmoor.RawReader("a", "b"), "RawReader.__new__()", []),
    (lambda r: tessmoor.RawReader("a", path="a"), "RawReader.__new__()", ["'path'"]),
    (lambda r: tessmoor.RawReader(pth="a"), "RawReader.__new__()", ["'pth'"]),
])
def test_argument_binding_errors(reader, call, method, names):
    with pytest.raises(TypeError) as info:
        call(reader)
    assert type(info.value) is TypeError
    assert str(info.value).startswith(method)
    assert all(n in str(info.value) for n in names)


def test_keywords_and_index_likes_are_accepted(root, reader):
    class Index:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            return self.v

    assert repr(tessmoor.RawReader(path=str(root))) == repr(reader)
    rt = reader.retention_time(1, 1)
    assert reader.retention_time(scan_index=1, func_index=1) == rt
    assert reader.retention_time(Index(1), Index(1)) == rt
    assert reader.retention_time(True, True) == rt
    assert reader.n_scans(True) == reader.n_scans(1) == 2
    assert len(reader.read_chrom(channel_index=False)) == 2


def interp_msg(fn, value):
    with pytest.raises(Exception) as info:
        fn(value)
    return type(info.value), str(info.value)


class StrPath(str):
    def __str__(self):
        return "/no/such/place"

    def __fspath__(self):
        return "/no/such/place"


@pytest.mark.parametrize("call,exc_type,message", [
    # The interpreter's own TypeError text, named after the argument.
    (lambda r: r.n_scans(1.0), TypeError, "argument 'func_index': " + interp_msg(operator.index, 1.0)[1]),
    (lambda r: r.retention_time(1, "0"), TypeError, "argument 'scan_index': " + interp_msg(operator.index, "0")[1]),
    # func_index is converted first, and conversion precedes every lookup.
    (lambda r: r.retention_time(1.0, -1), TypeError, "argument 'func_index': " + interp_msg(operator.index, 1.0)[1]),
    (lambda r: r.read_spectrum(0, -1), OverflowError, None),
    (lambda r: r.read_ims_spectrum(-1, 0.5), OverflowError, RANGE_MSG),
    # Unsigned 32-bit range for func_index.
    (lambda r: r.n_scans(-1), OverflowError, RANGE_MSG),
    (lambda r: r.n_scans(-2**63), OverflowError, RANGE_MSG),
    (lambda r: r.n_scans(2**32), OverflowError, RANGE_MSG),
    (lambda r: r.read_spectrum(2**63 - 1, 0), OverflowError, RANGE_MSG),
    (lambda r: r.n_scans(2**63), OverflowError, None),
    # Unsigned 64-bit range for scan_index and channel_index.
    (lambda r: r.retention_time(1, -1), OverflowError, None),
    (lambda r: r.retention_time(1, 2**64), OverflowError, None),
    (lambda r: r.read_chrom(-1), OverflowError, None),
    # path: str only.
    (lambda r: tessmoor.RawReader(b"/tmp"), TypeError, "argument 'path': 'bytes' object is not an instance of 'str'"),
    (lambda r: tessmoor.RawReader(pathlib.PurePosixPath("/tmp")), TypeError,
     "argument 'path': 'PurePosixPath' object is not an instance of 'str'"),
    # The type's full C-level name, not its __name__.
    (lambda r: tessmoor.RawReader(r), TypeError,
     "argument 'path': 'builtins.RawReader' object is not an instance of 'str'"),
    (lambda r: tessmoor.RawReader("/tmp/\udc80"), UnicodeEncodeError, None),
])
def test_conversion_errors(reader, call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call(reader)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    elif exc_type is OverflowError:
        assert str(info.value) != RANGE_MSG  # the interpreter's own
    assert info.value.__context__ is None


def test_conversion_boundaries_pass(root, reader):
    raises_runtime(reader.n_scans, 2**32 - 1, msg=f"IDX file not found: {root}/_FUNC4294967295.IDX")
    raises_runtime(reader.retention_time, 1, 2**64 - 1, msg=f"scan {2**64 - 1} out of range")
    # A str subclass is taken for its text, never for __str__ or __fspath__.
    assert repr(tessmoor.RawReader(StrPath(str(root)))) == repr(reader)


def test_index_errors_keep_their_cause_or_pass_unchanged(reader):
    cause = ValueError("inner")
    boom = ZeroDivisionError("boom")

    class Chained:
        def __index__(self):
            raise TypeError("bad index") from cause

    class Failing:
        def __index__(self):
            raise boom

    with pytest.raises(TypeError) as info:
        reader.read_spectrum(1, Chained())
    assert str(info.value) == "argument 'scan_index': bad index"
    assert info.value.__cause__ is cause
    with pytest.raises(ZeroDivisionError) as info:
        reader.n_scans(Failing())
    assert info.value is boom


# --- opening ------------------------------------------------------------------

def test_open_failures_in_order(tmp_path):
    root = make_run(tmp_path / "r.raw")
    plain = write(tmp_path / "file.raw", b"")
    for path in [str(plain), "", str(tmp_path / "missing"), str(root) + "\0", str(root) + "\0/x"]:
        raises_runtime(tessmoor.RawReader, path, msg=f"'{path}' is not a directory")

    # A missing header is reported even when _extern.inf is also broken.
    os.unlink(root / "_HEADER.TXT")
    write(root / "_extern.inf", "")
    raises_runtime(tessmoor.RawReader, str(root), msg="I/O error: " + os_text(errno.ENOENT))
    root = make_run(tmp_path / "r2.raw")
    os.unlink(root / "_FUNCTNS.INF")
    raises_runtime(tessmoor.RawReader, str(root), msg="I/O error: " + os_text(errno.ENOENT))
    write(root / "_FUNCTNS.INF", b"")
    os.mkdir(root / "_CHROMS.INF")
    raises_runtime(tessmoor.RawReader, str(root), msg="I/O error: " + os_text(errno.EISDIR))
    os.rmdir(root / "_CHROMS.INF")
    write(root / "_CHROMS.INF", b"\0" * 10)
    raises_runtime(tessmoor.RawReader, str(root),
                   msg="parse error: _CHROMS.INF too small: 10 bytes (need at least 298)")
    os.unlink(root / "_CHROMS.INF")
    os.symlink(tmp_path / "nowhere", root / "_CHROMS.INF")  # dangling: no channel table
    r = tessmoor.RawReader(str(root))
    assert r.functions == [] and r.channels == []
    assert repr(r) == f"RawReader('{root}', 0 function(s), 0 channel(s))"
    raises_runtime(r.read_chrom, 0, msg="no _CHROMS.INF in this .raw directory")


def test_path_is_kept_as_given(tmp_path, root):
    quoted = make_run(tmp_path / "it's here.raw", functions=[Function()] * 3)
    link = tmp_path / "link.raw"
    os.symlink(root, link)
    cases = [(str(root) + "/", "2 function(s), 2 channel(s)"), (str(link), "2 function(s), 2 channel(s)"),
             (str(quoted), "3 function(s), 0 channel(s)")]
    for path, counts in cases:
        assert repr(tessmoor.RawReader(path)) == f"RawReader('{path}', {counts})"


# --- reprs ----------------------------------------------------------------------

@pytest.mark.parametrize("low,high,subtype,expect", [
    (50.0, 1200.0, 0, "mz=[50,1200], scan_subtype=0x00, lock_mass=false"),
    (50.5, 1999.5, 146, "mz=[50,2000], scan_subtype=0x92, lock_mass=true"),
    (2.5, 2000.5, 0x7F, "mz=[2,2000], scan_subtype=0x7f, lock_mass=false"),
    (-0.0, -0.4, 0x80, "mz=[-0,-0], scan_subtype=0x80, lock_mass=true"),
    (float("nan"), f32_bits(NEG_NAN_BITS), 0xFF, "mz=[NaN,NaN], scan_subtype=0xff, lock_mass=true"),
    (float("inf"), float("-inf"), 1, "mz=[inf,-inf], scan_subtype=0x01, lock_mass=false"),
    (f32_bits(0x7F7FFFFF), 0.5000001, 0, "mz=[340282346638528859811704183484516925440,1], scan_subtype=0x00, "
                                         "lock_mass=false"),
])
def test_function_info_repr(tmp_path, low, high, subtype, expect):
    fn = Function(mz_low=low, mz_high=high, scan_subtype=subtype)
    raw = bytearray(functions_inf([Function(), fn]))
    if high != high:  # a NaN with its sign bit set
        raw[416 + 288:416 + 292] = f32_bytes(NEG_NAN_BITS)
    root = make_run(tmp_path / "r.raw")
    write(root / "_FUNCTNS.INF", bytes(raw))
    f = tessmoor.RawReader(str(root)).functions[1]
    assert repr(f) == f"FunctionInfo(index=2, {expect})"
    assert f.is_lock_mass is bool(subtype & 0x80) and f.scan_subtype == subtype


def test_function_info_values(reader):
    f = reader.functions[1]
    values = {k: getattr(f, k) for k in ("index", "function_type", "scan_subtype", "cycle_time_s",
                                         "interscan_delay_s", "scan_time_s", "tof_depth", "mz_low", "mz_high")}
    assert values == {"index": 2, "function_type": 0x12, "scan_subtype": 0, "cycle_time_s": 1.0,
                      "interscan_delay_s": f32(0.02), "scan_time_s": f32(0.98),
                      "tof_depth": 40000, "mz_low": 100.0, "mz_high": 2000.0}
    assert [type(v) for v in values.values()] == [int] * 3 + [float] * 3 + [int] + [float] * 2


CHROM_POINTS = [  # (rt_min, value, expected text); an int is a bit pattern
    (0.1, 1013.25, "rt_min=0.1000, value=1013.2500"),
    (-0.0, -1e-5, "rt_min=-0.0000, value=-0.0000"),
    (0.03125, 0.09375, "rt_min=0.0312, value=0.0938"),  # exact ties go to the even digit
    (0.00035, 123456.78, "rt_min=0.0003, value=123456.7812"),  # exact values, not their short repr
    (NEG_NAN_BITS, float("nan"), "rt_min=NaN, value=NaN"),
    (float("inf"), float("-inf"), "rt_min=inf, value=-inf"),
]


def test_chrom_point_reprs_and_values(tmp_path):
    samples = b"".join(f32_bytes(rt) + f32_bytes(v) for rt, v, _ in CHROM_POINTS)
    root = make_run(tmp_path / "r.raw", channels=[(4, chrom_name_field(b"P"))], chro={0: b"\0" * 128 + samples})
    points = tessmoor.RawReader(str(root)).read_chrom(0)
    assert [repr(p) for p in points] == [f"ChromPoint({t})" for _, _, t in CHROM_POINTS]
    assert points[0].rt_min == f32(0.1) == 0.10000000149011612 and points[0].value == 1013.25


def test_chrom_channel_repr_is_verbatim(tmp_path):
    channels = [(4, chrom_name_field(b"O'Brien \x80", b"$CC$,2.5,a,b,c,b'ar")), (1, chrom_name_field(b"T"))]
    root = make_run(tmp_path / "r.raw", channels=channels)
    a, b = tessmoor.RawReader(str(root)).channels
    assert repr(a) == "ChromChannel(index=0, name='O'Brien \u20ac', units='b'ar')"
    assert repr(b) == "ChromChannel(index=1, name='T', units='')"
    assert (a.index, a.source_type, a.name, a.scale_f, a.units) == (0, 4, "O'Brien \u20ac", 2.5, "b'ar")


def test_spectra_len_and_repr(reader):
    empty, full = reader.read_spectrum(1, 0), reader.read_spectrum(1, 1)
    assert (len(empty), bool(empty), repr(empty), empty.mz, empty.intensity) == (0, False, "Spectrum(0 peaks)", [], [])
    assert (len(full), bool(full), repr(full)) == (3, True, "Spectrum(3 peaks)")
    assert full.intensity == [5.0, 6.0, 7.0] and all(type(x) is float for x in full.mz)
    ims_empty, ims = reader.read_ims_spectrum(1, 0), reader.read_ims_spectrum(1, 1)
    assert (len(ims_empty), repr(ims_empty), ims_empty.drift_time_ms) == (0, "ImsSpectrum(0 ions)", [])
    assert (len(ims), repr(ims)) == (3, "ImsSpectrum(3 ions)")
    assert len(ims.mz) == len(ims.drift_time_ms) == len(ims.intensity) == 3


# --- fresh, independent objects -------------------------------------------------

def test_every_access_builds_new_objects(reader):
    for get in (lambda: reader.functions, lambda: reader.channels, lambda: reader.read_chrom(0)):
        a, b = get(), get()
        assert a is not b and len(a) == len(b) > 0
        assert all(x is not y and repr(x) == repr(y) for x, y in zip(a, b))
    spec, ch = reader.read_spectrum(1, 1), reader.channels[0]
    assert spec.mz is not spec.mz and spec.mz[0] is not spec.mz[0]
    assert ch.name is not ch.name and ch.units is not ch.units
    mz = spec.mz
    mz.clear()
    assert len(spec.mz) == 3


def test_results_outlive_the_reader(root):
    r = tessmoor.RawReader(str(root))
    objs = [*r.functions, *r.channels, *r.read_chrom(0), r.read_spectrum(1, 1), r.read_ims_spectrum(1, 1)]
    before = [repr(o) for o in objs]
    del r
    gc.collect()
    assert [repr(o) for o in objs] == before
    assert objs[-2].mz == objs[-1].mz


def test_no_reference_leaks(root, reader):
    class Index:
        def __index__(self):
            return 7

    idx, path, bad = Index(), str(root / "missing"), b"bytes"
    watched = [idx, path, bad, reader, *(getattr(tessmoor, n) for n in CLASSES)]
    calls = [lambda: reader.n_scans(idx), lambda: reader.read_spectrum(idx, 0), lambda: reader.read_chrom(idx),
             lambda: tessmoor.RawReader(path), lambda: tessmoor.RawReader(bad), lambda: reader.n_scans(path),
             lambda: reader.retention_time(idx, idx), lambda: reader.read_spectrum(1, 1),
             lambda: reader.read_ims_spectrum(1, 1), lambda: reader.functions, lambda: reader.channels,
             lambda: reader.read_chrom(0), lambda: repr(reader), lambda: tessmoor.RawReader(path=str(root))]
    for call in calls:  # warm up caches of the interpreter
        try:
            call()
        except (RuntimeError, TypeError):
            pass
    counts = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        for call in calls:
            try:
                call()
            except (RuntimeError, TypeError):
                pass
    assert [sys.getrefcount(o) for o in watched] == counts
