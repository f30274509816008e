#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses into fuzz/corpus/<harness>/.

Every seed is made with the test suite's own writer of synthetic .raw
directories (tests/rawwriter.py), so the seeds are small, valid (or
deliberately broken) examples of each format.  Run it again after changing
the writer or the input layout of a harness; the output is deterministic.

    python3 fuzz/make_seeds.py [OUT_DIR]
"""

from __future__ import annotations

import hashlib
import shutil
import struct
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import rawwriter as rw  # noqa: E402

# The marker that introduces a file in the whole-run harness's input, and
# the file table it indexes (see fuzz_run.cpp).
RUN_MARKER = b"\xfeFZ"
RUN_FILES = ["_HEADER.TXT", "_extern.inf", "_FUNCTNS.INF", "_CHROMS.INF", "_FUNC001.IDX",
             "_FUNC001.DAT", "_FUNC002.IDX", "_FUNC002.DAT", "_FUNC000.IDX", "_FUNC000.DAT",
             "_CHRO003.DAT", "_CHRO004.DAT"]


def enc(s: str | bytes) -> bytes:
    return s.encode("utf-8") if isinstance(s, str) else s


# --- text files ---------------------------------------------------------------

def header_seeds() -> list[bytes]:
    return [enc(x) for x in [
        rw.header_text(),
        rw.header_text({1: "0,1,T1", 2: "-0.5, 1.0001, 2e-9, T1"}),
        rw.header_text({1: "1.5, ,2.5,T0", 3: "T1"}, extra=["$$ Sample Description: caf\u00e9 \u2013 run"]),
        rw.header_text({1: "1.5,x,T9"}),
        rw.header_text({7: "inf,-NaN,.5,5.,1e400,T1"}),
        "$$ Cal Function +7: 0,1,T1\n$$ Cal Function Cal Function 3: T1\n$$ Instrument: A: B\n",
        "$$ Cal Function 4294967296: T0\n",
        "\ufeff$$ Version: 1\r\n$$ User Name:\u3000x\u3000\r\n",
        b"$$ Acquired Name: \xff\xfe\xc3\x28\r$$ Version: 2\r",
    ]]


def extern_seeds() -> list[bytes]:
    return [enc(x) for x in [
        rw.DEFAULT_EXTERN,
        rw.extern_text(),
        rw.extern_text(lteff=1800, veff=7200, pusher_interval=64.1, extra=[
            "Function Parameters - Function 1 - TOF MS FUNCTION",
            "Start Mass\t\t50", "End Mass\t1200", "ADC Pusher Frequency (Hz)\t15000",
            "Instrument Parameters - Function 1:", "Start Mass 99",
            "Function Parameters - Function 2- MS", "End Mass 2000",
            "Function 2 Settings:", "Start Mass 100",
        ]),
        "Lteff(mm) 1000\nVeff 7000 V\nVeff 7100\nPusher Cycle Time (us)\t64.1\n",
        "Lteff 1000\nVeff 7000\n",
        "Lteff 1000\rVeff 7000\rPusherInterval 50\r",
        "Lteff\u00a01000\nVeff\u2003+7e3\nPusherInterval .5\nFunction Parameters - Function x\n",
    ]]


# --- binary metadata ----------------------------------------------------------

def functions_seeds() -> list[bytes]:
    fs = [rw.Function(), rw.Function(scan_subtype=0x80, mz_low=100.0, mz_high=1500.0, scan_time_s=0.5)]
    return [b"", rw.functions_inf(fs[:1]), rw.functions_inf(fs), rw.functions_inf(fs[:1]) + b"\x00"]


def index_seeds() -> list[bytes]:
    a_idx, _ = rw.FunctionData("A", [rw.scan_a(40000, [(20000, 5)]), rw.scan_a(40000, [])]).build()
    b_idx, _ = rw.FunctionData("B", [rw.scan_8([(1, 0, 10), (2, 0, 20)])] * 3).build()
    both = b"".join(rw.idx_b_record(8 * k, 0.1 * k) for k in range(11))  # 330 bytes
    both_a, _ = rw.FunctionData("A", [rw.scan_a(40000, [(20000, k)]) for k in range(15)]).build()
    return [b"", a_idx, b_idx, both, both_a, a_idx + b"\x00" * 9]


def chroms_seeds() -> list[bytes]:
    chans = [
        (4, rw.chrom_name_field(b"Pressure", b"$CC$,1.5,a,b,c,bar")),
        (1, rw.chrom_name_field(b"Temp \x80\xe9", b"$CC$, 2.5e1 ,x,y,z,deg C")),
        (1, rw.chrom_name_field(b"A" * 81)),
        (2, rw.chrom_name_field(b"x", b"$CC$,abc,1,2,3,u")),
    ]
    out = [rw.chroms_inf(chans), rw.chroms_inf(chans[:2], meta_records=0), rw.chroms_inf([], meta_records=2)]
    out.append(rw.chroms_inf(chans[:1], record_size=84))
    return out


def chro_seeds() -> list[bytes]:
    return [rw.chro_dat([]), rw.chro_dat([(0.5, 10.0), (1.0, 12.5)]), rw.chro_dat([(0.1, 1.0)]) + b"\0" * 4]


# --- scan decoders ------------------------------------------------------------

def calibration_prefix(*, lteff=1000.0, veff=10000.0, mz_low=50.0, mz_high=2000.0, scan_time_s=0.98,
                       coefficients=(), kind_t1=False, present=True, piece=0) -> bytes:
    """The calibration prefix of the decoder harnesses (fuzz/decoder_input.hpp);
    `piece` picks the size of the pieces the record loop also runs over."""
    assert len(coefficients) <= 7 and 0 <= piece < 8
    flags = (1 if present else 0) | (2 if kind_t1 else 0) | (len(coefficients) << 2) | (piece << 5)
    return (bytes([flags]) + struct.pack("<ddfff", lteff, veff, mz_low, mz_high, scan_time_s)
            + b"".join(struct.pack("<d", c) for c in coefficients))


def encoding_a_seeds() -> list[bytes]:
    p0 = calibration_prefix()
    p1 = calibration_prefix(coefficients=(0.0, 1.0), kind_t1=True)
    return [
        p0 + rw.scan_a(40000, [(40000, 10), (20000, 255), (30000, 0)]),
        p1 + rw.scan_a(40000, [(i * 1000, i) for i in range(1, 12)]) + rw.rec_a(0x70, 3, 5),
        p0 + rw.scan_a(0, [(1, 1)]),
        p0 + rw.rec_a(0x05, 1, 100),
        p0 + b"\0" * 7,
        # More records than a block of the m/z loop, in pieces of 255.
        calibration_prefix(coefficients=(1.0, 1.0, 0.0, 1e-9), kind_t1=True, piece=5)
        + rw.scan_a(40000, [(100 * i, i % 256) for i in range(1, 300)]),
    ]


def rec8_seeds() -> list[bytes]:
    p0 = calibration_prefix()
    p1 = calibration_prefix(coefficients=(3.0, 1.0, 1e-6), kind_t1=True, scan_time_s=0.02)
    pn = calibration_prefix(present=False, lteff=0.0, veff=-1.0)
    scan = rw.scan_8([(5, 0, 100), (0, 32768, 150), (7, 65535, 180), (9, 0, 200)])
    # More records than a block of the m/z loop, in pieces of 257, through a
    # polynomial of a length without a loop of its own.
    p5 = calibration_prefix(coefficients=(3.0, 1.0, 1e-6, 0.0, 1e-12), kind_t1=True, piece=7)
    long = rw.scan_8([(k % 5, 977 * k % 65536, 100 + k) for k in range(300)])
    return [p0 + scan, p1 + scan, pn + scan, p0 + rw.scan_8([(1, 0, 10), (1, 0, 10)]),
            p0 + rw.scan_8([(1, 0, 10)]), p0 + b"\0" * 12, p5 + long]


# --- whole directories ----------------------------------------------------------

def run_container(files: dict[str, bytes | str], trailing_slash=False, prefix: bytes | None = None) -> bytes:
    """A whole-directory input; `prefix` holds a harness's parameters
    (fuzz_run: bit 0 of its first byte asks for a trailing slash)."""
    out = bytearray(prefix if prefix is not None else b"\x01" if trailing_slash else b"\x00")
    assert RUN_MARKER not in out
    for name, content in files.items():
        out += RUN_MARKER + bytes([ord("0") + RUN_FILES.index(name)]) + enc(content)
    return bytes(out)


def run_seeds() -> list[bytes]:
    base = {"_HEADER.TXT": rw.header_text({1: "0,1,T1"}), "_extern.inf": rw.DEFAULT_EXTERN}
    a_idx, a_dat = rw.FunctionData("A", [rw.scan_a(40000, [(20000, 5), (40000, 9)]),
                                         rw.scan_a(40000, [])]).build()
    b_idx, b_dat = rw.FunctionData("B", [rw.scan_8([(5, 0, 100), (3, 100, 150), (9, 0, 200)]),
                                         rw.scan_8([(1, 0, 10)]), b""]).build()
    two = rw.functions_inf([rw.Function(), rw.Function(scan_time_s=0.05, mz_low=100.0)])
    chans = rw.chroms_inf([(4, rw.chrom_name_field(b"Pressure", b"$CC$,1.5,a,b,c,bar"))])
    seeds = [
        run_container({**base, "_FUNCTNS.INF": two, "_FUNC001.IDX": a_idx, "_FUNC001.DAT": a_dat,
                       "_FUNC002.IDX": b_idx, "_FUNC002.DAT": b_dat}),
        run_container({**base, "_FUNCTNS.INF": two, "_FUNC002.IDX": b_idx, "_FUNC002.DAT": b_dat,
                       "_CHROMS.INF": chans, "_CHRO003.DAT": rw.chro_dat([(0.5, 10.0)]),
                       "_CHRO004.DAT": b"\0" * 130}, trailing_slash=True),
        run_container({**base, "_FUNCTNS.INF": two[:416], "_FUNC001.IDX": a_idx, "_FUNC001.DAT": "<dir>",
                       "_FUNC000.IDX": b_idx, "_FUNC000.DAT": b_dat[:20], "_CHROMS.INF": "<dir>"}),
        run_container({"_extern.inf": rw.DEFAULT_EXTERN, "_FUNCTNS.INF": two}),
        run_container({**base, "_FUNCTNS.INF": two, "_FUNC001.IDX": a_idx[:-1], "_FUNC001.DAT": a_dat}),
    ]
    # Indexes of 4290 bytes (13 x 330) fit both record sizes and outgrow the
    # reader's first block: 30-byte records, read to the end in two blocks,
    # and 22-byte records, settled within the first block.
    ambiguous_b = rw.FunctionData("B", [rw.scan_8([(1, 0, 10), (2, 0, 20)])] * 143).build()
    ambiguous_a = rw.FunctionData("A", [rw.scan_a(40000, [])] * 195).build()
    for idx, dat in (ambiguous_b, ambiguous_a):
        assert len(idx) == 4290
        seeds.append(run_container({**base, "_FUNCTNS.INF": two, "_FUNC001.IDX": idx, "_FUNC001.DAT": dat}))
    return seeds


# Parameters of fuzz_bulk, one group per function 0 to 3 (see fuzz_bulk.cpp).
ALL, PICKS, SLICE = 0, 1, 2
RT, IMS, MZ = 4, 8, 16
TIC, BASE_PEAK, XIC_PPM, XIC_DA = 0, 32, 64, 96
LIMITS = 128


def scan_numbers(*values: int) -> bytes:
    return b"".join(struct.pack("<h", v) for v in values)


def picked(*indices: int) -> bytes:
    """A window or value list whose bounds are values the function holds."""
    return b"\x00" + bytes(indices)


def raw_window(lo: float, hi: float) -> bytes:
    return b"\x01" + struct.pack("<dd", lo, hi)


def bulk_seeds() -> list[bytes]:
    base = {"_HEADER.TXT": rw.header_text({1: "0,1,T1"}), "_extern.inf": rw.DEFAULT_EXTERN,
            "_FUNCTNS.INF": rw.functions_inf([rw.Function(), rw.Function(scan_time_s=0.05, mz_low=100.0),
                                               rw.Function()])}
    # Function 1 (22-byte index): scans of 0 to 20 peaks, so that some are
    # streamed in pieces; function 2 (30-byte index): 8-byte records, an
    # empty scan and one of a single record.
    a_scans = [rw.scan_a(40000, [(1000 * j + 7 * i, (i * j) % 256) for j in range(1, i * 3 % 21)])
               for i in range(10)]
    a_idx, a_dat = rw.FunctionData("A", a_scans).build()
    b_scans = [rw.scan_8([(i * k % 7, 4099 * k % 65536, 100 + 37 * k) for k in range(i * 5 % 19)])
               for i in range(9)] + [b"", rw.scan_8([(3, 0, 90)])]
    b_idx, b_dat = rw.FunctionData("B", b_scans).build()
    good = {**base, "_FUNC001.IDX": a_idx, "_FUNC001.DAT": a_dat, "_FUNC002.IDX": b_idx, "_FUNC002.DAT": b_dat,
            "_FUNC000.IDX": a_idx, "_FUNC000.DAT": a_dat}
    # Bad scans in the middle: one of function 1 reaches past the DAT, one
    # of function 2 is no whole number of records.
    bad_a_idx = a_idx[:22 * 6] + rw.idx_a_record(len(a_dat) - 12, 5, 0.5) + a_idx[22 * 7:]
    bad_b_idx, bad_b_dat = rw.FunctionData("B", b_scans[:4] + [rw.scan_8([(1, 0, 10)]) + b"\0" * 4]
                                           + b_scans[4:]).build()
    bad = {**good, "_FUNC001.IDX": bad_a_idx, "_FUNC002.IDX": bad_b_idx, "_FUNC002.DAT": bad_b_dat}
    # Function 0 is in no function table (they count from 1): its group only
    # opens the index.  Function 3 has no files.
    return [
        run_container(good, prefix=b"".join([
            bytes([ALL]),
            bytes([ALL | MZ | TIC]) + picked(5, 60),
            bytes([SLICE | IMS | BASE_PEAK, 3]) + scan_numbers(1, -1, 2),
            bytes([ALL | MZ | TIC]) + picked(3, 40)])),
        run_container(good, prefix=b"".join([
            bytes([ALL | RT]) + picked(1, 8),
            bytes([PICKS | RT | XIC_PPM, 5]) + scan_numbers(-1, 3, 3, -10, 5) + picked(2, 7) + bytes([2])
            + picked(4) + b"\x01" + struct.pack("<d", 1000.0) + bytes([255]) + struct.pack("<d", float("nan")),
            bytes([PICKS | RT | IMS | XIC_DA, 4]) + scan_numbers(9, -2, 0, 9) + picked(1, 8) + bytes([3])
            + picked(2) + picked(9) + picked(30) + bytes([32]),
            bytes([ALL])])),
        run_container(good, prefix=b"".join([
            bytes([ALL]),
            bytes([SLICE | MZ | BASE_PEAK, 2]) + scan_numbers(-3, 32767) + raw_window(float("nan"), 1e9),
            bytes([SLICE | IMS | MZ | XIC_DA, 1]) + scan_numbers(8, -32768) + raw_window(0.0, 1e9)
            + bytes([1]) + picked(0) + bytes([16]),
            bytes([ALL])])),
        run_container(bad, prefix=b"".join([
            bytes([ALL | TIC]),
            bytes([PICKS | BASE_PEAK, 4]) + scan_numbers(8, 7, 6, 5),
            bytes([SLICE | IMS | MZ, 0]) + scan_numbers(-1) + picked(0, 100),
            bytes([PICKS, 2]) + scan_numbers(0, 0)])),
        # Batches of at most 2 scans and 30 peaks, and of one scan each.
        run_container(bad, prefix=b"".join([
            bytes([ALL]),
            bytes([ALL | LIMITS, 1, 30]),
            bytes([SLICE | IMS | LIMITS, 3]) + scan_numbers(-2, 1, -1) + bytes([0, 0]),
            bytes([ALL])])),
        run_container(good, prefix=b"".join([
            bytes([PICKS, 1]) + scan_numbers(0),
            bytes([PICKS, 3]) + scan_numbers(1, -11, 2),
            bytes([PICKS | IMS, 2]) + scan_numbers(-32768, 1),
            bytes([SLICE | IMS, 3]) + scan_numbers(-100, 100, 0)])),
    ]


SEEDS = {
    "header": header_seeds,
    "extern_inf": extern_seeds,
    "functions_inf": functions_seeds,
    "scan_index": index_seeds,
    "chroms_inf": chroms_seeds,
    "chro_dat": chro_seeds,
    "encoding_a": encoding_a_seeds,
    "encoding_b": rec8_seeds,
    "encoding_c": rec8_seeds,
    "run": run_seeds,
    "bulk": bulk_seeds,
}


def main() -> None:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "corpus"
    for name, make in SEEDS.items():
        d = out / name
        shutil.rmtree(d, ignore_errors=True)
        d.mkdir(parents=True)
        for seed in make():
            # Content-named like libFuzzer's own corpus files.
            (d / hashlib.sha1(seed).hexdigest()).write_bytes(seed)
    total = sum(f.stat().st_size for f in out.rglob("*") if f.is_file())
    print(f"seed corpora in {out}: {total} bytes")


if __name__ == "__main__":
    main()
