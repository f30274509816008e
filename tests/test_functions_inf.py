import math
import struct

import pytest

import tessmoor
from rawwriter import Function, functions_inf, make_run, write


def open_with(tmp_path, content):
    run = make_run(tmp_path / "r.raw")
    write(run / "_FUNCTNS.INF", content)
    return tessmoor.RawReader(str(run))


@pytest.mark.parametrize("size", [1, 415, 417, 416 * 3 - 1])
def test_size_not_whole_records(tmp_path, size):
    with pytest.raises(RuntimeError) as e:
        open_with(tmp_path, b"\0" * size)
    assert type(e.value) is RuntimeError
    assert e.value.args == (f"parse error: _FUNCTNS.INF: file size {size} is not a multiple of 416 (record size)",)


def test_fields_at_their_offsets_and_index_numbering(tmp_path):
    # Uninterpreted bytes are 0xA5, so a field read from a wrong offset (or a
    # misaligned read of the float at offset 2) shows.
    recs = [bytearray(b"\xa5" * 416) for _ in range(3)]
    for k, rec in enumerate(recs):
        rec[0], rec[1] = 0x12 + k, 0x7F + k
        struct.pack_into("<f", rec, 2, 1.5)
        struct.pack_into("<H", rec, 16, 65535 - k)
        for off, val in ((28, 0.25), (32, 0.98), (160, 50.0 + k), (288, 1200.25)):
            struct.pack_into("<f", rec, off, val)
    fs = open_with(tmp_path, b"".join(recs)).functions
    assert [(f.index, f.function_type, f.scan_subtype, f.cycle_time_s, f.tof_depth, f.interscan_delay_s,
             f.scan_time_s, f.mz_low, f.mz_high) for f in fs] == \
        [(k + 1, 0x12 + k, 0x7F + k, 1.5, 65535 - k, 0.25, struct.unpack("<f", struct.pack("<f", 0.98))[0],
          50.0 + k, 1200.25) for k in range(3)]
    assert open_with(tmp_path / "empty", b"").functions == []


# Ties at 0 decimals go to even; negative zero keeps its sign; NaN passes.
@pytest.mark.parametrize("lo,hi,subtype,text", [
    (50.0, 1200.0, 0x00, "mz=[50,1200], scan_subtype=0x00, lock_mass=false"),
    (50.5, 1999.5, 0x92, "mz=[50,2000], scan_subtype=0x92, lock_mass=true"),
    (1.5, 2000.5, 0x7F, "mz=[2,2000], scan_subtype=0x7f, lock_mass=false"),
    (-0.0, -0.25, 0x80, "mz=[-0,-0], scan_subtype=0x80, lock_mass=true"),
    (math.nan, -math.inf, 0xFF, "mz=[NaN,-inf], scan_subtype=0xff, lock_mass=true"),
])
def test_function_info_repr(tmp_path, lo, hi, subtype, text):
    f = open_with(tmp_path, functions_inf([Function(), Function(mz_low=lo, mz_high=hi, scan_subtype=subtype)]))
    f = f.functions[1]
    assert repr(f) == f"FunctionInfo(index=2, {text})"
    assert f.is_lock_mass is (subtype >= 0x80) and repr(f.mz_low) == repr(lo) and f.mz_high == hi
