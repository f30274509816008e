"""A small writer of synthetic .raw acquisition directories for the tests.

Every file is built from the format descriptions alone: little-endian binary
records for _FUNCTNS.INF, _FUNCnnn.IDX, _FUNCnnn.DAT, _CHROMS.INF and
_CHROnnn.DAT, and plain text for _HEADER.TXT and _extern.inf.  Each helper
returns bytes (or writes them) so that tests can also corrupt them.
"""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

DEFAULT_EXTERN = "Lteff 1000\nVeff 10000\nPusherInterval 50\n"


# --- text files -------------------------------------------------------------

def header_text(calibrations: dict[int, str] | None = None, extra: Sequence[str] = ()) -> str:
    """_HEADER.TXT text; `calibrations` maps a function number to the value
    of its "Cal Function N" line, e.g. {1: "0,1,T1"}."""
    lines = ["$$ Version: 4.1", "$$ Acquired Name: synthetic", "$$ Instrument: TOF"]
    for n, value in (calibrations or {}).items():
        lines.append(f"$$ Cal Function {n}: {value}")
    lines.extend(extra)
    return "\r\n".join(lines) + "\r\n"


def extern_text(lteff: float = 1000, veff: float = 10000, pusher_interval: float = 50,
                extra: Sequence[str] = ()) -> str:
    lines = [f"Lteff\t{lteff}", f"Veff\t{veff}", f"PusherInterval\t{pusher_interval}", *extra]
    return "\r\n".join(lines) + "\r\n"


# --- _FUNCTNS.INF -----------------------------------------------------------

FUNCTION_RECORD_SIZE = 416


@dataclass
class Function:
    function_type: int = 0x12
    scan_subtype: int = 0
    cycle_time_s: float = 1.0
    tof_depth: int = 40000
    interscan_delay_s: float = 0.02
    scan_time_s: float = 0.98
    mz_low: float = 50.0
    mz_high: float = 2000.0


def function_record(f: Function) -> bytes:
    rec = bytearray(FUNCTION_RECORD_SIZE)
    rec[0] = f.function_type
    rec[1] = f.scan_subtype
    struct.pack_into("<f", rec, 2, f.cycle_time_s)
    struct.pack_into("<H", rec, 16, f.tof_depth)
    struct.pack_into("<f", rec, 28, f.interscan_delay_s)
    struct.pack_into("<f", rec, 32, f.scan_time_s)
    struct.pack_into("<f", rec, 160, f.mz_low)
    struct.pack_into("<f", rec, 288, f.mz_high)
    return bytes(rec)


def functions_inf(functions: Iterable[Function]) -> bytes:
    return b"".join(function_record(f) for f in functions)


# --- scan index and scan data -----------------------------------------------

def idx_a_record(offset: int, point_count: int, rt_min: float, word16: int = 0) -> bytes:
    rec = bytearray(22)
    struct.pack_into("<IHf", rec, 0, offset, point_count, 0.0)  # bytes 6-11 unused
    struct.pack_into("<fH", rec, 12, rt_min, word16)
    return bytes(rec)


def idx_b_record(offset: int, rt_min: float) -> bytes:
    rec = bytearray(30)
    struct.pack_into("<f", rec, 12, rt_min)
    struct.pack_into("<I", rec, 22, offset)
    return bytes(rec)


def rec_a(block_type: int, intensity: int, tof_bin: int) -> bytes:
    """One 6-byte Encoding A record."""
    return struct.pack("<HBBH", 0, block_type, intensity, tof_bin)


def scan_a(sentinel_bin: int, peaks: Sequence[tuple[int, int]]) -> bytes:
    """Encoding A scan: a sentinel, then (tof_bin, intensity) peaks."""
    return rec_a(0x70, 0, sentinel_bin) + b"".join(rec_a(0, i, b) for b, i in peaks)


def rec_8(intensity: int, field4: int, tof_bin: int) -> bytes:
    """One 8-byte Encoding B/C record (field4: bin fraction or drift position)."""
    return struct.pack("<HHHH", 0, intensity, field4, tof_bin)


def scan_8(records: Sequence[tuple[int, int, int]]) -> bytes:
    """Encoding B/C scan from (intensity, field4, tof_bin) triples."""
    return b"".join(rec_8(*r) for r in records)


@dataclass
class FunctionData:
    """The scans of one function: Variant A takes Encoding A scans, Variant B
    8-byte-record scans.  Offsets are laid out back to back."""
    variant: str  # "A" or "B"
    scans: list[bytes] = field(default_factory=list)
    rts: list[float] | None = None

    def build(self) -> tuple[bytes, bytes]:
        idx, dat = bytearray(), bytearray()
        for i, scan in enumerate(self.scans):
            rt = self.rts[i] if self.rts is not None else 0.01 * (i + 1)
            if self.variant == "A":
                assert len(scan) % 6 == 0
                idx += idx_a_record(len(dat), len(scan) // 6, rt)
            else:
                idx += idx_b_record(len(dat), rt)
            dat += scan
        return bytes(idx), bytes(dat)


# --- channels ---------------------------------------------------------------

def chrom_name_field(name: bytes, spec: bytes | None = None) -> bytes:
    """81-byte name field: name, NUL, then optionally the "$CC$..." spec and NUL."""
    raw = name if spec is None else name + b"\0" + spec + b"\0"
    assert len(raw) <= 81, len(raw)
    return raw + b"\0" * (81 - len(raw))


def chroms_record(source_type: int, name_field: bytes) -> bytes:
    assert len(name_field) == 81
    return struct.pack("<I", source_type) + name_field


def chroms_inf(channels: Sequence[tuple[int, bytes]], meta_records: int = 2,
               record_size: int = 85) -> bytes:
    """_CHROMS.INF from (source_type, name_field) pairs."""
    head = bytearray(128)
    struct.pack_into("<HH", head, 4, record_size, meta_records)
    meta = b"\0" * (85 * meta_records)
    return bytes(head) + meta + b"".join(chroms_record(s, n) for s, n in channels)


def chro_dat(points: Sequence[tuple[float, float]]) -> bytes:
    return b"\0" * 128 + b"".join(struct.pack("<ff", rt, v) for rt, v in points)


# --- whole directories ------------------------------------------------------

def write(path: os.PathLike[str] | str, data: bytes | str) -> Path:
    p = Path(path)
    p.write_bytes(data.encode() if isinstance(data, str) else data)
    return p


def make_run(root: os.PathLike[str] | str, *, functions: Sequence[Function] = (Function(),),
             data: dict[int, FunctionData] | None = None, header: str | bytes | None = None,
             extern: str | bytes | None = None,
             channels: Sequence[tuple[int, bytes]] | None = None,
             chro: dict[int, bytes] | None = None) -> Path:
    """Writes a complete .raw directory and returns its path.

    `data` maps a function number to its scans; `channels` (when given)
    writes _CHROMS.INF; `chro` maps a channel index to _CHROnnn.DAT bytes."""
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    write(root / "_HEADER.TXT", header if header is not None else header_text())
    write(root / "_extern.inf", extern if extern is not None else extern_text())
    write(root / "_FUNCTNS.INF", functions_inf(functions))
    for n, fd in (data or {}).items():
        idx, dat = fd.build()
        write(root / f"_FUNC{n:03d}.IDX", idx)
        write(root / f"_FUNC{n:03d}.DAT", dat)
    if channels is not None:
        write(root / "_CHROMS.INF", chroms_inf(channels))
    for ch, payload in (chro or {}).items():
        write(root / f"_CHRO{ch + 3:03d}.DAT", payload)
    return root


# --- profile scans: Gaussian peaks over time-of-flight bins ----------------

# The bins that anchor the flight-time axis of an 8-byte-record scan (its
# first and last records): with no calibration line, the m/z of bin b is
# (sqrt(lo) + (b - FIRST_BIN) * (sqrt(hi) - sqrt(lo)) / (LAST_BIN - FIRST_BIN))^2
# for the function's m/z range [lo, hi].
FIRST_BIN, LAST_BIN = 1000, 61000


def bin_of_mz(mz: float, lo: float, hi: float) -> float:
    """The fractional bin of `mz` on an anchored axis."""
    import math

    frac = (math.sqrt(mz) - math.sqrt(lo)) / (math.sqrt(hi) - math.sqrt(lo))
    return FIRST_BIN + frac * (LAST_BIN - FIRST_BIN)


def profile_records(ions: Sequence[tuple[float, float, int]], lo: float, hi: float, *, sigma_bins: float = 1.6,
                    rng: Any = None, drift_positions: Sequence[int] = (0,),
                    drift_profile: Callable[[int, int], float] | None = None,
                    floor: float = 0.5) -> list[tuple[int, int, int]]:
    """An 8-byte-record scan of Gaussian peaks: `ions` are (m/z, height,
    drift index); `drift_profile(k, index)` (default: 1 at the ion's own
    index, 0 elsewhere) scales an ion's height at drift position k.  Records
    are drift position by drift position, bins ascending; counts are
    rounded, or drawn from a Poisson distribution with `rng` (numpy).  Bins
    whose count is 0 are left out.  The anchor records come first and last.
    Returns (intensity, field4, bin) triples for scan_8."""
    import math

    out: list[tuple[int, int, int]] = [(1, drift_positions[0], FIRST_BIN)]
    for k, pos in enumerate(drift_positions):
        counts: dict[int, float] = {}
        for mz, height, index in ions:
            scale = (1.0 if k == index else 0.0) if drift_profile is None else drift_profile(k, index)
            if scale <= 0:
                continue
            centre = bin_of_mz(mz, lo, hi)
            for b in range(int(centre - 5 * sigma_bins), int(centre + 5 * sigma_bins) + 2):
                counts[b] = counts.get(b, 0.0) + height * scale * math.exp(-0.5 * ((b - centre) / sigma_bins) ** 2)
        for b in sorted(counts):
            if not FIRST_BIN < b < LAST_BIN:
                continue
            value = counts[b] if rng is None else float(rng.poisson(counts[b]))
            n = min(65535, int(value + 0.5) if rng is None else int(value))
            if n >= 1 and value >= floor:
                out.append((n, pos, b))
    out.append((1, drift_positions[-1], LAST_BIN))
    return out
