"""Scan index loading and the scan queries: file naming, the order of
checks, the byte-range rules of both index layouts, and reads that take only
what a query needs yet behave like whole-file reads."""

import errno
import os
import random
import shutil
import socket
import struct

import pytest

import tessmoor
from rawwriter import (Function, FunctionData, idx_a_record, idx_b_record, make_run, rec_8,
                       scan_8, scan_a, write)

ENOENT_TEXT = os.strerror(errno.ENOENT) + " (os error 2)"
EISDIR_TEXT = os.strerror(errno.EISDIR) + " (os error 21)"


def raises(fn, *args, match_exact):
    with pytest.raises(RuntimeError) as exc:
        fn(*args)
    assert type(exc.value) is RuntimeError
    assert exc.value.args == (match_exact,)


def scan_c(n=4, first=1000, step=100):
    return scan_8([(10 + i, 0, first + i * step) for i in range(n)])


@pytest.fixture
def run_ab(tmp_path):
    """Function 1 is Variant A with three scans, function 2 Variant B with three."""
    a = FunctionData("A", [scan_a(40000, [(20000, 5), (30000, 7)]), scan_a(40000, []),
                           scan_a(40000, [(10000, 1)])], rts=[0.5, 1.25, 2.0])
    b = FunctionData("B", [scan_c(), scan_c(3), scan_c(5)], rts=[0.1, 1.25, 3.0])
    return make_run(tmp_path / "r.raw", functions=[Function(), Function()], data={1: a, 2: b})


def test_counts_and_retention_times(run_ab):
    r = tessmoor.RawReader(str(run_ab))
    assert r.n_scans(1) == 3 and r.n_scans(2) == 3
    assert [r.retention_time(1, i) for i in range(3)] == [0.5, 1.25, 2.0]
    # 32-bit values widened exactly, in both layouts.
    assert r.retention_time(2, 0) == struct.unpack("<f", struct.pack("<f", 0.1))[0]
    assert r.retention_time(2, 0) == 0.10000000149011612
    assert r.retention_time(2, 1) == 1.25


@pytest.mark.parametrize("method", ["retention_time", "read_spectrum"])
def test_scan_out_of_range(run_ab, method):
    r = tessmoor.RawReader(str(run_ab))
    for func in (1, 2):
        raises(getattr(r, method), func, 3, match_exact="scan 3 out of range")
        raises(getattr(r, method), func, 2**64 - 1, match_exact=f"scan {2**64 - 1} out of range")
    raises(r.read_ims_spectrum, 2, 3, match_exact="scan 3 out of range")


def test_ims_on_variant_a_is_refused_before_range(run_ab):
    r = tessmoor.RawReader(str(run_ab))
    msg = "function uses Encoding A (not IMS); use read_spectrum instead"
    raises(r.read_ims_spectrum, 1, 0, match_exact=msg)
    raises(r.read_ims_spectrum, 1, 99, match_exact=msg)


def test_file_naming_and_missing_files(tmp_path):
    root = make_run(tmp_path / "r.raw", functions=[Function()] * 3)
    r = tessmoor.RawReader(str(root) + "/")
    raises(r.n_scans, 2, match_exact=f"IDX file not found: {root}/_FUNC002.IDX")
    raises(r.n_scans, 0, match_exact=f"IDX file not found: {root}/_FUNC000.IDX")
    raises(r.n_scans, 1234, match_exact=f"IDX file not found: {root}/_FUNC1234.IDX")
    # Spectrum queries look the function up first; n_scans does not.
    raises(r.read_spectrum, 0, 0, match_exact="function 0 not found")
    raises(r.read_ims_spectrum, 7, 0, match_exact="function 7 not found")
    write(root / "_FUNC002.IDX", b"")
    raises(r.retention_time, 2, 0, match_exact=f"DAT file not found: {root}/_FUNC002.DAT")
    write(root / "_FUNC002.DAT", b"")
    assert r.n_scans(2) == 0
    raises(r.retention_time, 2, 0, match_exact="scan 0 out of range")
    # A function beyond the table is answered from its files.
    write(root / "_FUNC1000.IDX", idx_b_record(0, 1.5))
    write(root / "_FUNC1000.DAT", b"")
    assert r.n_scans(1000) == 1 and r.retention_time(1000, 0) == 1.5


def test_order_of_checks(tmp_path):
    root = make_run(tmp_path / "r.raw")
    r = tessmoor.RawReader(str(root))
    # IDX that cannot be parsed and a DAT that cannot be read: the DAT read
    # comes first, and its OS text has no prefix.
    write(root / "_FUNC001.IDX", b"\0" * 31)
    (root / "_FUNC001.DAT").mkdir()
    for call in (lambda: r.n_scans(1), lambda: r.read_spectrum(1, 0)):
        raises(call, match_exact=EISDIR_TEXT)
    (root / "_FUNC001.DAT").rmdir()
    write(root / "_FUNC001.DAT", b"")
    msg = "parse error: _FUNCnnn.IDX: size 31 is not a multiple of 22 (Variant A) or 30 (Variant B)"
    raises(r.n_scans, 1, match_exact=msg)
    raises(r.read_ims_spectrum, 1, 0, match_exact=msg)
    # An IDX that is a directory fails on its read, before the DAT.
    (root / "_FUNC001.IDX").unlink()
    (root / "_FUNC001.IDX").mkdir()
    raises(r.retention_time, 1, 0, match_exact=EISDIR_TEXT)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files regardless of mode")
def test_unreadable_dat_gives_bare_os_text(tmp_path):
    root = make_run(tmp_path / "r.raw", data={1: FunctionData("A", [scan_a(4, [])])})
    os.chmod(root / "_FUNC001.DAT", 0)
    r = tessmoor.RawReader(str(root))
    raises(r.n_scans, 1, match_exact=os.strerror(errno.EACCES) + " (os error 13)")


@pytest.mark.parametrize("name", ["_FUNC001.IDX", "_FUNC001.DAT"])
def test_existing_file_that_cannot_be_opened_gives_bare_os_text(tmp_path, monkeypatch, name):
    # A socket exists for a status query, yet opening it fails (ENXIO), even
    # for root: the failed read of an existing file, without any prefix.
    root = make_run(tmp_path / "r.raw", data={1: FunctionData("B", [scan_c()])})
    os.unlink(root / name)
    monkeypatch.chdir(root)  # socket paths are limited in length
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(name)
    try:
        r = tessmoor.RawReader(str(root))
        text = os.strerror(errno.ENXIO) + f" (os error {errno.ENXIO})"
        for call in (lambda: r.n_scans(1), lambda: r.retention_time(1, 0), lambda: r.read_spectrum(1, 0),
                     lambda: r.read_ims_spectrum(1, 0)):
            raises(call, match_exact=text)
    finally:
        sock.close()


def write_fn(root, idx, dat):
    write(root / "_FUNC001.IDX", idx)
    write(root / "_FUNC001.DAT", dat)


@pytest.mark.parametrize("point_count, offset, dat_len, expect", [
    (2, 0, 12, 1),          # ends exactly at the end of the data
    (2, 1, 12, "bounds"),   # one byte more
    (0, 12, 12, 0),         # empty scan at the end
    (0, 13, 12, "bounds"),  # empty scan beyond the end
    (0xFFFF, 0xFFFFFFFF, 12, "bounds"),  # no wrap-around of offset + 6 * count
])
def test_variant_a_ranges(tmp_path, point_count, offset, dat_len, expect):
    root = make_run(tmp_path / "r.raw")
    dat = bytearray(dat_len)
    dat[offset:offset + 12] = scan_a(40000, [(20000, 9)])[: max(0, dat_len - offset)]
    write_fn(root, idx_a_record(offset, point_count, 0.0), bytes(dat))
    r = tessmoor.RawReader(str(root))
    if expect == "bounds":
        raises(r.read_spectrum, 1, 0, match_exact="scan offset out of DAT bounds")
    else:
        assert len(r.read_spectrum(1, 0)) == expect


def test_variant_a_point_count_is_low_word(tmp_path):
    root = make_run(tmp_path / "r.raw")
    rec = bytearray(idx_a_record(0, 2, 0.0))
    rec[6:8] = b"\x01\x00"  # not part of the count
    write_fn(root, bytes(rec), scan_a(40000, [(20000, 9)]))
    assert len(tessmoor.RawReader(str(root)).read_spectrum(1, 0)) == 1


@pytest.mark.parametrize("offsets, dat_len, lengths", [
    ([0, 16], 40, [2, 3]),        # scan 0 is bytes 0-15, scan 1 runs to the end
    ([16, 16], 40, [0, 3]),       # equal offsets: the first is empty
    ([16, 0], 40, [0, 5]),        # decreasing offsets: empty
    ([0, 48], 40, [0, 0]),        # next offset beyond the file; last beyond too
    ([0, 40], 40, [5, 0]),        # last offset equal to the size: empty
])
def test_variant_b_ranges(tmp_path, offsets, dat_len, lengths):
    root = make_run(tmp_path / "r.raw")
    dat = b"".join(rec_8(1, 0, 100 + 10 * i) for i in range(dat_len // 8))
    write_fn(root, b"".join(idx_b_record(o, 0.0) for o in offsets), dat)
    r = tessmoor.RawReader(str(root))
    assert [len(r.read_spectrum(1, i)) for i in range(len(offsets))] == lengths
    assert [len(r.read_ims_spectrum(1, i)) for i in range(len(offsets))] == lengths


def test_variant_b_scan_size_message(tmp_path):
    root = make_run(tmp_path / "r.raw")
    write_fn(root, idx_b_record(0, 0.0), b"\0" * 12)
    r = tessmoor.RawReader(str(root))
    raises(r.read_spectrum, 1, 0,
           match_exact="parse error: Encoding C: scan size 12 is not a multiple of 8")
    raises(r.read_ims_spectrum, 1, 0,
           match_exact="parse error: Encoding B: scan size 12 is not a multiple of 8")


# --- indexes whose size fits both record layouts ----------------------------

def test_330_bytes_of_consistent_variant_a_stays_a(tmp_path):
    scans = [scan_a(40000, [(20000 + i, 1)]) for i in range(15)]
    root = make_run(tmp_path / "r.raw", data={1: FunctionData("A", scans)})
    assert (root / "_FUNC001.IDX").stat().st_size == 330
    r = tessmoor.RawReader(str(root))
    assert r.n_scans(1) == 15
    assert len(r.read_spectrum(1, 14)) == 1
    raises(r.read_ims_spectrum, 1, 0,
           match_exact="function uses Encoding A (not IMS); use read_spectrum instead")


def test_330_bytes_of_variant_b_records_is_read_as_b(tmp_path):
    scans = [scan_c(3 + i % 2) for i in range(11)]
    rts = [0.25 * i for i in range(11)]
    root = make_run(tmp_path / "r.raw", data={1: FunctionData("B", scans, rts)})
    assert (root / "_FUNC001.IDX").stat().st_size == 330
    r = tessmoor.RawReader(str(root))
    assert r.n_scans(1) == 11
    assert [r.retention_time(1, i) for i in range(11)] == rts
    assert [len(r.read_spectrum(1, i)) for i in range(11)] == [3 + i % 2 for i in range(11)]
    assert len(r.read_ims_spectrum(1, 10)) == 3


def test_330_bytes_inconsistent_both_ways_stays_a(tmp_path):
    # 30-byte records whose offsets decrease: the 22-byte reading is out of
    # bounds too, but nothing says Variant B, so the size rule stands.
    idx = b"".join(idx_b_record(o, 0.0) for o in [40] + [0] * 10)
    root = make_run(tmp_path / "r.raw")
    write_fn(root, idx, b"\0" * 48)
    r = tessmoor.RawReader(str(root))
    assert r.n_scans(1) == 15


# --- ranged reads behave like whole reads ----------------------------------

def test_large_offsets_and_files_replaced_between_queries(tmp_path):
    root = make_run(tmp_path / "r.raw")
    pad = 1 << 20
    scan = scan_a(40000, [(20000, 3), (40000, 4)])
    write_fn(root, idx_a_record(pad, 3, 1.0), b"\0" * pad + scan)
    r = tessmoor.RawReader(str(root))
    s = r.read_spectrum(1, 0)
    assert s.intensity == [3.0, 4.0]
    # Replaced on disk: the next query sees the new content.
    write_fn(root, idx_b_record(0, 2.0) + idx_b_record(16, 3.0), scan_c(2) + scan_c(3))
    assert r.n_scans(1) == 2 and r.retention_time(1, 1) == 3.0
    assert len(r.read_spectrum(1, 1)) == 3
    # Truncated DAT: a Variant A scan now out of bounds.
    write_fn(root, idx_a_record(pad, 3, 1.0), b"\0" * pad)
    raises(r.read_spectrum, 1, 0, match_exact="scan offset out of DAT bounds")


def test_symlinked_function_files(tmp_path):
    src = make_run(tmp_path / "src.raw", data={1: FunctionData("B", [scan_c(4)])})
    root = make_run(tmp_path / "r.raw")
    for name in ("_FUNC001.IDX", "_FUNC001.DAT"):
        os.symlink(src / name, root / name)
    r = tessmoor.RawReader(str(root))
    assert len(r.read_spectrum(1, 0)) == 4
    os.unlink(root / "_FUNC001.DAT")
    os.symlink(tmp_path / "nowhere", root / "_FUNC001.DAT")
    raises(r.n_scans, 1, match_exact=f"DAT file not found: {root}/_FUNC001.DAT")


def test_fifo_dat_is_read_whole(tmp_path):
    # Not a regular file: read as a whole read would, here an empty stream.
    root = make_run(tmp_path / "r.raw")
    write(root / "_FUNC001.IDX", idx_b_record(0, 0.0))
    os.mkfifo(root / "_FUNC001.DAT")
    pid = os.fork()
    if pid == 0:  # writer: open and close at once, giving EOF
        try:
            fd = os.open(root / "_FUNC001.DAT", os.O_WRONLY)
            os.close(fd)
        finally:
            os._exit(0)
    try:
        assert len(tessmoor.RawReader(str(root)).read_spectrum(1, 0)) == 0
    finally:
        os.waitpid(pid, 0)


PSEUDO_FILE = "/proc/sys/kernel/ostype"  # "Linux\n": 6 bytes, yet its status says 0


@pytest.mark.skipif(not os.path.exists(PSEUDO_FILE), reason="needs Linux /proc")
@pytest.mark.parametrize("linked, idx, calls", [
    ("_FUNC001.IDX", b"", [
        ("n_scans", (1,), "parse error: _FUNCnnn.IDX: size 6 is not a multiple of 22 (Variant A) or 30 (Variant B)"),
    ]),
    ("_FUNC001.DAT", idx_b_record(0, 0.0), [
        ("read_spectrum", (1, 0), "parse error: Encoding C: scan size 6 is not a multiple of 8"),
        ("read_ims_spectrum", (1, 0), "parse error: Encoding B: scan size 6 is not a multiple of 8"),
    ]),
], ids=["idx", "dat"])
def test_file_with_content_beyond_its_status_size_is_read_whole(tmp_path, linked, idx, calls):
    root = make_run(tmp_path / "r.raw")
    write_fn(root, idx, b"")
    os.unlink(root / linked)
    os.symlink(PSEUDO_FILE, root / linked)
    r = tessmoor.RawReader(str(root))
    for method, args, msg in calls:
        raises(getattr(r, method), *args, match_exact=msg)


# --- the reader against a model that reads both files whole ----------------

def model_layout(idx, dat):
    """22-byte records by size; a size that fits both is read as 30-byte
    records only when those are consistent and the 22-byte reading is not."""
    if len(idx) % 22:
        return "B"
    if len(idx) % 330 or not idx:
        return "A"
    a_impossible = any(o + 6 * c > len(dat)
                       for o, c in (struct.unpack_from("<IH", idx, k) for k in range(0, len(idx), 22)))
    offs = [struct.unpack_from("<I", idx, k + 22)[0] for k in range(0, len(idx), 30)]
    b_consistent = offs == sorted(offs) and offs[-1] <= len(dat)
    return "B" if a_impossible and b_consistent else "A"


def whole_file_model(idx, dat, scan_index, enc, fn, fc):
    """What a query gives when both files are read whole: the decoded arrays,
    or the message of the RuntimeError."""
    from test_spectra import model_decode
    if model_layout(idx, dat) == "A":
        recs = [struct.unpack_from("<IH", idx, o) for o in range(0, len(idx), 22)]
        if enc == "B":
            return "function uses Encoding A (not IMS); use read_spectrum instead"
        if scan_index >= len(recs):
            return f"scan {scan_index} out of range"
        offset, count = recs[scan_index]
        if offset + 6 * count > len(dat):
            return "scan offset out of DAT bounds"
        scan = dat[offset:offset + 6 * count]
        if not scan:
            return [], [], []
        if scan[2] != 0x70:
            return f"parse error: Encoding A: first record block_type 0x{scan[2]:02x} is not sentinel (0x70)"
        if scan[4:6] == b"\0\0":
            return "parse error: Encoding A: sentinel_tof_bin is zero"
        return model_decode("A", scan, fn, fc, [], "T0")
    offsets = [struct.unpack_from("<I", idx, o + 22)[0] for o in range(0, len(idx), 30)]
    if scan_index >= len(offsets):
        return f"scan {scan_index} out of range"
    start = offsets[scan_index]
    end = offsets[scan_index + 1] if scan_index + 1 < len(offsets) else len(dat)
    if not (start < end <= len(dat)):
        return [], [], []
    scan = dat[start:end]
    if len(scan) % 8:
        return f"parse error: Encoding {enc}: scan size {len(scan)} is not a multiple of 8"
    if len(scan) < 16:
        return [], [], []
    first, last = struct.unpack_from("<H", scan, 6)[0], struct.unpack_from("<H", scan, len(scan) - 2)[0]
    if last <= first:
        return [], [], []
    return model_decode(enc, scan, fn, fc, [], "T0")


def random_files(rng):
    if rng.random() < 0.5:  # 22-byte records into a DAT of 6-byte records
        dat = bytes(rng.choice([0x70, 0x70, 0x70, 0, 1]) if i % 6 == 2 else rng.randrange(256)
                    for i in range(6 * rng.randrange(0, 40)))
        idx = b"".join(idx_a_record(rng.randrange(0, len(dat) + 12), rng.randrange(0, 8), 0.0)
                       for _ in range(rng.choice([0, 1, 3, 7, 15])))
    else:  # 30-byte records into a DAT of 8-byte records, offsets mostly aligned
        dat = bytes(rng.randrange(256) for _ in range(8 * rng.randrange(0, 40) + rng.choice([0, 0, 0, 4])))
        offs = sorted(rng.choice([8 * rng.randrange(0, len(dat) // 8 + 2),
                                  rng.randrange(0, len(dat) + 9)])
                      for _ in range(rng.choice([1, 2, 4, 8, 11])))
        if rng.random() < 0.3:
            rng.shuffle(offs)
        # Retention times land in the 22-byte reading's offsets and counts
        # when the size fits both layouts (15 or 11 records).
        idx = b"".join(idx_b_record(o, rng.choice([0.0, 0.5 * k])) for k, o in enumerate(offs))
    return idx, dat


@pytest.mark.parametrize("seed", range(4))
def test_ranged_reads_agree_with_whole_file_model(tmp_path, seed):
    from test_spectra import hexes, model_flight_constant
    rng = random.Random(seed)
    fn = Function()
    fc = model_flight_constant(1000, 10000)
    root = make_run(tmp_path / "r.raw", functions=[fn])
    r = tessmoor.RawReader(str(root))
    for _ in range(40):
        idx, dat = random_files(rng)
        write_fn(root, idx, dat)
        layout = model_layout(idx, dat)
        count = len(idx) // 22 if layout == "A" else len(idx) // 30
        assert r.n_scans(1) == count
        for scan_index in range(count + 1):
            for enc, method in (("AC", r.read_spectrum), ("B", r.read_ims_spectrum)):
                want = whole_file_model(idx, dat, scan_index,
                                        enc if enc == "B" else ("A" if layout == "A" else "C"),
                                        fn, fc)
                if isinstance(want, str):
                    with pytest.raises(RuntimeError) as exc:
                        method(1, scan_index)
                    assert str(exc.value) == want
                else:
                    got = method(1, scan_index)
                    assert hexes(got.mz) == hexes(want[0])
                    assert got.intensity == want[1]
