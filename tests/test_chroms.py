import math
import os
import struct

import pytest

import tessmoor
from rawwriter import chro_dat, chrom_name_field as nf, chroms_record, make_run, write

ENOENT = f"I/O error: {os.strerror(2)} (os error 2)"


def reader(tmp_path, chroms=None, **kw):
    run = make_run(tmp_path / "r.raw", **kw)
    if chroms is not None:
        write(run / "_CHROMS.INF", chroms)
    return tessmoor.RawReader(str(run))


def raises(call, text):
    with pytest.raises(RuntimeError) as e:
        call()
    assert type(e.value) is RuntimeError and e.value.args == (text,)


@pytest.mark.parametrize("size,rs,meta,msg", [
    (0, 85, 0, "_CHROMS.INF too small: 0 bytes (need at least 298)"),
    (297, 84, 0, "_CHROMS.INF too small: 297 bytes (need at least 298)"),
    (298, 84, 9999, "_CHROMS.INF: record size field is 84, expected 85"),
    (298, 85 << 8, 0, "_CHROMS.INF: record size field is 21760, expected 85"),
    (383, 85, 4, "_CHROMS.INF: file too small for declared 4 meta records"),
    (298, 85, 770, "_CHROMS.INF: file too small for declared 770 meta records"),  # 128 + 85*770 wraps 16 bits
    (300, 85, 2, "_CHROMS.INF: data section size 2 is not a multiple of 85"),
])
def test_layout_errors(tmp_path, size, rs, meta, msg):
    data = (bytes(4) + struct.pack("<HH", rs, meta) + bytes(size))[:size]
    raises(lambda: reader(tmp_path, data), "parse error: " + msg)


@pytest.mark.parametrize("meta,count", [(2, 0), (0, 2), (2, 2), (1, 3)])
def test_data_records_follow_meta_records(tmp_path, meta, count):
    # Meta records look like channels here; they are skipped and not counted.
    recs = [chroms_record(0xDEAD0000 + k, nf(b"ch%d" % k)) for k in range(count)]
    data = bytes(4) + struct.pack("<HH", 85, meta) + bytes(120) + chroms_record(7, nf(b"M")) * meta + b"".join(recs)
    assert [(c.index, c.source_type, c.name) for c in reader(tmp_path, data).channels] == \
        [(k, 0xDEAD0000 + k, "ch%d" % k) for k in range(count)]


@pytest.mark.parametrize("field,name,scale,units", [
    (nf(b"Pressure", b"$CC$,1.5,a,b,c,bar"), "Pressure", 1.5, "bar"),
    (nf(b"T", b"$CC$, 2.5e1 ,a,b,c,deg C  "), "T", 25.0, "deg C  "),
    (nf(b"T", b"$CC$,1,x,y,z,a,b"), "T", 1.0, "a,b"),
    (nf(b"T", b"$CC$,-.5,,,,"), "T", -0.5, ""),
    (nf(b"T", b"$CC$,\xc2\xa05.\xe2\x80\x83,a,b,c,\xb0C"), "T", 5.0, "\u00b0C"),  # UTF-8 blanks trimmed
    (nf(b"$CC$,2,a,b,c,V"), "$CC$,2,a,b,c,V", 2.0, "V"),
    (nf(b"N", b"$CC$,x,a,b,c,u1\0$CC$,3,a,b,c,u2"), "N", 1.0, ""),  # only the first marker counts
    (b"P\0$CC$,4,a,b,c," + b"u" * 66, "P", 4.0, "u" * 66),  # spec runs to the field's end
    (b"\x80\x81\xe9\x8d\x9f\0" + b"\xff" * 75, "\u20ac\x81\u00e9\x8d\u0178", 1.0, ""),
    (b"Q" * 81, "Q" * 81, 1.0, ""),
    (b"Q" * 77 + b"$CC$", "Q" * 77 + "$CC$", 1.0, ""),
    (nf(b"", b"$CC$,1,a,b,c"), "", 1.0, ""),  # empty name; five pieces are no spec
] + [(nf(b"T", b"$CC$," + bad + b",a,b,c,u"), "T", 1.0, "")
     for bad in [b"abc", b"", b".", b"1 5", b"0x10", b"2bar", b"\xa05"]])
def test_name_and_spec_string(tmp_path, field, name, scale, units):
    (ch,) = reader(tmp_path, channels=[(4, field)]).channels
    assert (ch.name, ch.scale_f, ch.units) == (name, scale, units)


def test_reprs_and_unscaled_values(tmp_path):
    pts = [(0.1, 1013.25), (-0.03125, math.nan), (math.inf, -0.0), (0.5, 10.0)]
    r = reader(tmp_path, channels=[(1, nf(b"O'Neil \x93x\x94", b"$CC$,2.0,a,b,c,%'"))], chro={0: chro_dat(pts)})
    assert repr(r.channels[0]) == "ChromChannel(index=0, name='O'Neil \u201cx\u201d', units='%'')"
    got = r.read_chrom(0)
    assert [repr(p) for p in got] == ["ChromPoint(rt_min=0.1000, value=1013.2500)", "ChromPoint(rt_min=-0.0312, "
        "value=NaN)", "ChromPoint(rt_min=inf, value=-0.0000)", "ChromPoint(rt_min=0.5000, value=10.0000)"]
    assert (got[0].rt_min, got[3].value) == (struct.unpack("<f", struct.pack("<f", 0.1))[0], 10.0)


@pytest.mark.parametrize("size,msg", [
    (127, "_CHRO*.DAT too small: 127 bytes (need at least 128)"),
    (132, "_CHRO*.DAT data section size 4 is not a multiple of 8"),
    (151, "_CHRO*.DAT data section size 23 is not a multiple of 8"),
    (128, None),
])
def test_chro_sizes(tmp_path, size, msg):
    r = reader(tmp_path, channels=[], chro={0: bytes(size)})
    if msg is None:
        assert r.read_chrom(0) == []
    else:
        raises(lambda: r.read_chrom(0), "parse error: " + msg)


@pytest.mark.parametrize("index,file", [
    (0, "_CHRO003.DAT"), (7, "_CHRO010.DAT"), (97, "_CHRO100.DAT"), (997, "_CHRO1000.DAT"),
    (5, "_CHRO008.DAT"),  # beyond the two channels of the table
    (2**64 - 3, "_CHRO18446744073709551616.DAT"), (2**64 - 1, "_CHRO18446744073709551618.DAT"),
])
def test_read_chrom_file_name(tmp_path, index, file):
    r = reader(tmp_path, channels=[(4, nf(b"A")), (4, nf(b"B"))])
    if index + 3 >= 2**64:
        # The file that index + 3 wrapped round 2^64 would name is not read.
        write(tmp_path / "r.raw" / f"_CHRO{index + 3 - 2**64:03d}.DAT", chro_dat([(9.0, 9.0)]))
        raises(lambda: r.read_chrom(index), ENOENT)
    write(tmp_path / "r.raw" / file, chro_dat([(1.0, float(index % 1000))]))
    assert [(p.rt_min, p.value) for p in r.read_chrom(index)] == [(1.0, float(index % 1000))]


def test_without_chroms_inf_or_channel_file(tmp_path):
    r = reader(tmp_path / "a", chro={0: chro_dat([(1.0, 2.0)])})
    assert r.channels == []
    raises(lambda: r.read_chrom(0), "no _CHROMS.INF in this .raw directory")
    raises(lambda: reader(tmp_path / "b", channels=[(4, nf(b"A"))]).read_chrom(0), ENOENT)
