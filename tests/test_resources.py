"""Resources under repeated and failing use: no file descriptor outlives a
query, memory stays flat over many queries, and a DAT file that changes
between two queries is read in its new form or fails with a clear error."""

import gc
import os
import struct
import sys
import tracemalloc

import pytest

import tessmoor
from rawwriter import (Function, FunctionData, chro_dat, chrom_name_field, extern_text, idx_a_record,
                       idx_b_record, make_run, rec_8, scan_8, scan_a, write)

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/fd"),
                                reason="needs /proc/self/fd and /proc/self/statm")


def open_fds():
    return set(os.listdir("/proc/self/fd"))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def under_checked_allocator():
    """True under AddressSanitizer or valgrind: their allocators hold freed
    memory back (quarantine), so the resident size says nothing there, and
    their own leak checks take over."""
    with open("/proc/self/maps") as f:
        maps = f.read()
    return "libasan" in maps or "vgpreload" in maps


def scan_c(n, first=1000, step=1, intensity=lambda i: 1 + i % 60000):
    return scan_8([(intensity(i), 0, first + i * step) for i in range(n)])


@pytest.fixture
def full_run(tmp_path):
    """Function 1 Variant A, function 2 Variant B, two channels, and a few
    functions whose files are broken in different ways."""
    a = FunctionData("A", [scan_a(40000, [(20000, 5), (30000, 7)]), scan_a(40000, [])])
    b = FunctionData("B", [scan_c(4), scan_c(3), scan_8([(1, 0, 10)])])
    channels = [(4, chrom_name_field(b"Pressure", b"$CC$,1.5,a,b,c,bar")), (1, chrom_name_field(b"T"))]
    root = make_run(tmp_path / "r.raw", functions=[Function()] * 6, data={1: a, 2: b},
                    channels=channels, chro={0: chro_dat([(0.5, 1.0), (1.0, 2.0)]), 1: b"\0" * 130})
    write(root / "_FUNC003.IDX", b"\0" * 31)  # size fits neither layout
    write(root / "_FUNC003.DAT", b"")
    write(root / "_FUNC004.IDX", idx_a_record(0, 3, 0.0))  # scan past the end of the data
    write(root / "_FUNC004.DAT", b"\0" * 12)
    write(root / "_FUNC005.IDX", idx_b_record(0, 0.0))  # DAT is a directory
    os.mkdir(root / "_FUNC005.DAT")
    write(root / "_FUNC006.IDX", idx_b_record(0, 0.0))  # a scan of 12 bytes
    write(root / "_FUNC006.DAT", b"\0" * 12)
    return root


def mixed_calls(root):
    """Yields (callable, args) pairs: successful and failing calls of every
    kind, the constructor included."""
    r = tessmoor.RawReader(str(root))
    good = [
        (r.n_scans, 1), (r.n_scans, 2), (r.retention_time, 1, 1), (r.retention_time, 2, 2),
        (r.read_spectrum, 1, 0), (r.read_spectrum, 2, 0), (r.read_ims_spectrum, 2, 1),
        (r.read_chrom, 0), (lambda: r.functions,), (lambda: r.channels,),
        (tessmoor.RawReader, str(root)),
    ]
    bad = [
        (r.n_scans, 9), (r.n_scans, 3), (r.n_scans, 5), (r.retention_time, 1, 2),
        (r.read_spectrum, 9, 0), (r.read_spectrum, 4, 0), (r.read_spectrum, 6, 0),
        (r.read_spectrum, 5, 0), (r.read_ims_spectrum, 1, 0), (r.read_ims_spectrum, 6, 0),
        (r.read_ims_spectrum, 2, 3), (r.read_chrom, 1), (r.read_chrom, 7),
        (tessmoor.RawReader, str(root / "_FUNC001.IDX")), (tessmoor.RawReader, str(root / "_FUNC005.DAT")),
    ]
    return good, bad


def call_all(calls, expect_error):
    for fn, *args in calls:
        if expect_error:
            with pytest.raises(RuntimeError):
                fn(*args)
        else:
            fn(*args)


def test_no_descriptor_left_open(full_run, tmp_path):
    # Directories that fail to open at each metadata file.
    broken = []
    for name, content in [("_HEADER.TXT", None), ("_extern.inf", "Lteff 1\n"), ("_FUNCTNS.INF", b"\0"),
                          ("_CHROMS.INF", b"\0" * 297), ("_CHROMS.INF", "dir")]:
        root = make_run(tmp_path / f"broken{len(broken)}.raw")
        if content is None:
            os.unlink(root / name)
        elif content == "dir":
            os.mkdir(root / name)
        else:
            write(root / name, content)
        broken.append(str(root))

    good, bad = mixed_calls(full_run)
    call_all(good, False)  # warm up: imports, lazily created types
    call_all(bad, True)
    gc.collect()
    before = open_fds()
    for _ in range(20):
        call_all(good, False)
        call_all(bad, True)
        for path in broken:
            with pytest.raises(RuntimeError):
                tessmoor.RawReader(path)
    gc.collect()
    assert open_fds() == before


def test_memory_stays_flat(tmp_path):
    if under_checked_allocator():
        pytest.skip("resident size is meaningless under a checked allocator")
    # Big scans, so that a result, a read buffer or a decoded array kept by
    # mistake shows in the process's resident size.  (Small leaks per call
    # are the next test's.)
    n = 60000
    a = FunctionData("A", [scan_a(40000, [(1 + i % 39999, 1 + i % 255) for i in range(n)])])
    b = FunctionData("B", [scan_c(n), scan_c(n, first=5)])
    root = make_run(tmp_path / "big.raw", functions=[Function()] * 3, data={1: a, 2: b},
                    channels=[(4, chrom_name_field(b"P"))],
                    chro={0: chro_dat([(0.01 * i, float(i)) for i in range(n)]),
                          1: b"\0" * (128 + 8 * n + 4)})
    # Function 3: a Variant B scan whose size is not a multiple of 8, read
    # into memory before the decoder rejects it.
    write(root / "_FUNC003.IDX", idx_b_record(0, 0.0))
    write(root / "_FUNC003.DAT", b"\0" * (8 * n + 4))
    r = tessmoor.RawReader(str(root))

    def round_():
        assert len(r.read_spectrum(1, 0)) == n
        assert len(r.read_spectrum(2, 1)) == n
        assert len(r.read_ims_spectrum(2, 0).drift_time_ms) == n
        assert len(r.read_chrom(0)) == n
        for fn, *args in [(r.read_spectrum, 3, 0), (r.read_ims_spectrum, 3, 0), (r.read_chrom, 1),
                          (r.read_spectrum, 2, 5), (r.read_ims_spectrum, 1, 0)]:
            with pytest.raises(RuntimeError):
                fn(*args)

    for _ in range(5):
        round_()
    gc.collect()
    rss_before = rss_bytes()
    for _ in range(50):
        round_()
    gc.collect()
    growth = rss_bytes() - rss_before
    # One round moves about 5 MB through the reader in buffers of 0.5 to
    # 1.5 MB; keeping any one of them would grow the process by 24 MB or
    # more over 50 rounds.
    assert growth < 16 << 20, f"resident size grew by {growth} bytes"


def test_small_queries_leave_no_python_objects(full_run):
    good, bad = mixed_calls(full_run)
    call_all(good, False)
    call_all(bad, True)
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(200):
        call_all(good, False)
        call_all(bad, True)
    gc.collect()
    growth = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    # 5200 calls: a leak of even one small object per call shows.
    assert growth < 64 << 10, f"Python heap grew by {growth} bytes"


# --- a DAT file that changes between two queries ------------------------------

def resize(path, size, *, in_place):
    """Truncates or grows (with zero bytes) a file, on the same inode or by
    replacing it with a new file."""
    if in_place:
        with open(path, "r+b") as f:
            f.truncate(size)
    else:
        data = path.read_bytes()
        data = data[:size] + b"\0" * max(0, size - len(data))
        tmp = path.with_suffix(".new")
        tmp.write_bytes(data)
        os.replace(tmp, path)


def append(path, data, *, in_place):
    if in_place:
        with open(path, "ab") as f:
            f.write(data)
    else:
        resize(path, path.stat().st_size, in_place=False)
        tmp = path.with_suffix(".new")
        tmp.write_bytes(path.read_bytes() + data)
        os.replace(tmp, path)


@pytest.mark.parametrize("in_place", [True, False], ids=["same-inode", "replaced"])
def test_variant_b_dat_changed_between_queries(tmp_path, in_place):
    scans = [scan_c(4), scan_c(6)]  # 32 + 48 bytes
    root = make_run(tmp_path / "r.raw", data={1: FunctionData("B", scans)})
    dat = root / "_FUNC001.DAT"
    r = tessmoor.RawReader(str(root))
    assert [len(r.read_spectrum(1, i)) for i in range(2)] == [4, 6]
    intensities = r.read_spectrum(1, 1).intensity

    # Truncated inside the last scan, on a record boundary: the scan ends
    # with the data.
    resize(dat, 32 + 24, in_place=in_place)
    assert r.read_spectrum(1, 1).intensity == intensities[:3]
    assert len(r.read_ims_spectrum(1, 1)) == 3
    assert len(r.read_spectrum(1, 0)) == 4
    # Cut inside a record: the scan's size names the problem.
    resize(dat, 32 + 20, in_place=in_place)
    with pytest.raises(RuntimeError, match=r"^parse error: Encoding C: scan size 20 is not a multiple of 8$"):
        r.read_spectrum(1, 1)
    with pytest.raises(RuntimeError, match=r"^parse error: Encoding B: scan size 20 is not a multiple of 8$"):
        r.read_ims_spectrum(1, 1)
    # Truncated before the last scan's start: scan 0 now ends past the data
    # and scan 1 starts past it; both are empty.
    resize(dat, 16, in_place=in_place)
    assert len(r.read_spectrum(1, 0)) == 0 and len(r.read_spectrum(1, 1)) == 0
    resize(dat, 0, in_place=in_place)
    assert len(r.read_ims_spectrum(1, 1)) == 0

    # Grown again: the original content back, then more records for the
    # last scan.
    dat.write_bytes(b"".join(scans))
    assert r.read_spectrum(1, 1).intensity == intensities
    extra = rec_8(500, 0, 2000) + rec_8(600, 0, 3000)
    append(dat, extra, in_place=in_place)
    assert r.read_spectrum(1, 1).intensity == intensities + [500.0, 600.0]
    assert r.read_ims_spectrum(1, 1).intensity == intensities + [500.0, 600.0]
    assert len(r.read_spectrum(1, 0)) == 4


@pytest.mark.parametrize("in_place", [True, False], ids=["same-inode", "replaced"])
def test_variant_a_dat_changed_between_queries(tmp_path, in_place):
    scans = [scan_a(40000, [(20000, 5), (30000, 7)]), scan_a(40000, [(10000, 9)] * 3)]  # 18 + 24 bytes
    root = make_run(tmp_path / "r.raw", data={1: FunctionData("A", scans)})
    dat = root / "_FUNC001.DAT"
    r = tessmoor.RawReader(str(root))
    assert r.read_spectrum(1, 1).intensity == [9.0] * 3

    resize(dat, 18 + 23, in_place=in_place)  # one byte short of scan 1
    with pytest.raises(RuntimeError, match=r"^scan offset out of DAT bounds$"):
        r.read_spectrum(1, 1)
    assert r.read_spectrum(1, 0).intensity == [5.0, 7.0]
    resize(dat, 0, in_place=in_place)
    with pytest.raises(RuntimeError, match=r"^scan offset out of DAT bounds$"):
        r.read_spectrum(1, 0)
    assert r.n_scans(1) == 2

    # Grown: new content behind the same offsets is decoded as it now is.
    new = scan_a(40000, [(20000, 1), (30000, 2)]) + scan_a(40000, [(10000, 3)] * 3)
    dat.write_bytes(new[:6])
    append(dat, new[6:] + b"\0" * 600, in_place=in_place)
    assert r.read_spectrum(1, 0).intensity == [1.0, 2.0]
    assert r.read_spectrum(1, 1).intensity == [3.0] * 3


@pytest.mark.parametrize("in_place", [True, False], ids=["same-inode", "replaced"])
def test_idx_changed_between_queries(tmp_path, in_place):
    root = make_run(tmp_path / "r.raw", data={1: FunctionData("B", [scan_c(4), scan_c(6)])})
    idx = root / "_FUNC001.IDX"
    r = tessmoor.RawReader(str(root))
    assert r.n_scans(1) == 2
    resize(idx, 30, in_place=in_place)
    assert r.n_scans(1) == 1
    # Scan 0 is now the last entry: it runs to the end of the data.
    assert len(r.read_spectrum(1, 0)) == 10
    with pytest.raises(RuntimeError, match=r"^scan 1 out of range$"):
        r.retention_time(1, 1)
    resize(idx, 31, in_place=in_place)
    with pytest.raises(RuntimeError, match=r"^parse error: _FUNCnnn\.IDX: size 31 is not a multiple"):
        r.read_spectrum(1, 0)
    resize(idx, 0, in_place=in_place)
    assert r.n_scans(1) == 0
