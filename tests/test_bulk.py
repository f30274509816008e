"""tessmoor_bulk against tessmoor: every scan of random synthetic runs, read
whole, in slices, by picks, inside rt and m/z windows and on several
threads, must give the values tessmoor gives scan by scan, bit for bit; a
bad scan must fail the whole read with tessmoor's message behind the file,
function and scan, the first bad one in output order deciding."""

import os
import random

import numpy as np
import pytest

import tessmoor_bulk
from rawwriter import (Function, FunctionData, chro_dat, chrom_name_field, extern_text, header_text, idx_a_record,
                       idx_b_record, make_run, rec_8, rec_a, scan_a, write)

NOT_IMS = "function uses Encoding A (not IMS); use read_spectrum instead"


def same(got, want):
    """Equal dtype, shape and bits (NaN and -0.0 included)."""
    got, want = np.asarray(got), np.asarray(want)
    assert (got.dtype, got.shape) == (want.dtype, want.shape)
    assert got.tobytes() == want.tobytes()


# --- random runs ------------------------------------------------------------

def random_a_scan(rng):
    """Encoding A: empty, a lone sentinel, or peaks with zero intensities
    and later sentinels among them."""
    if rng.random() < 0.1:
        return b""
    sentinel = rng.choice([1, 40000, 65535, rng.randrange(1, 65536)])
    return rec_a(0x70, 0, sentinel) + b"".join(
        rec_a(rng.choice([0, 0, 0, 1, 0x70, 0xFF]), rng.choice([0, 255, rng.randrange(1, 256)]),
              rng.randrange(65536))
        for _ in range(rng.choice([0, rng.randrange(1, 40)])))


def random_8_scan(rng, n=None):
    """8-byte records: empty, one record, reversed anchors, or bins around
    the anchors (some outside them), zero intensities included."""
    n = rng.choice([0, 1, 2, rng.randrange(3, 50), rng.randrange(3, 50)]) if n is None else n
    if n == 0:
        return b""
    first = rng.randrange(60000)
    last = rng.choice([first + rng.randrange(1, 5000), first + rng.randrange(1, 5000), first])
    bins = [first] + [rng.randrange(max(0, first - 50), min(65535, last + 50) + 1) for _ in range(n - 2)]
    bins = (bins + [min(last, 65535)])[:n]
    return b"".join(rec_8(rng.choice([0, 65535, rng.randrange(1, 65536)]), rng.randrange(65536), b)
                    for b in bins)


def big_8_scan(rng, n):
    """A scan of n records, three in four silent (numpy: large scans are cheap)."""
    nrng = np.random.default_rng(rng.randrange(2**32))
    rec = np.zeros((n, 4), dtype="<u2")
    rec[:, 1] = np.where(nrng.random(n) < 0.25, nrng.integers(1, 65536, n), 0)
    rec[:, 2] = nrng.integers(0, 65536, n)
    rec[:, 3] = np.sort(nrng.integers(100, 65000, n))
    rec[0, 3], rec[-1, 3] = 50, 65535
    return rec.tobytes()


BAD_A = [rec_a(0, 9, 100) + rec_a(0, 5, 50),  # first record is no sentinel
         rec_a(0x70, 0, 0) + rec_a(0, 5, 50),  # sentinel bin zero
         None]                                 # reaches past the end of the DAT
BAD_8 = [b"\0" * 12, rec_8(5, 0, 10) + b"\0" * 12]  # sizes not multiples of 8


def build_function(rng, variant, n, *, gaps=False, bad=0, big=False):
    """(idx, dat, scans kinds) with n scans; gaps put unread bytes (A) or
    long silent tails (B) between scans, so that reads split into chunks."""
    idx, dat = bytearray(), bytearray()
    bad_at = set(rng.sample(range(n), bad)) if bad else set()
    big_at = rng.randrange(n) if big and n else -1
    for i in range(n):
        rt = rng.choice([0.01 * (i + 1), rng.uniform(-1, 60), rng.uniform(0, 60), float("nan")])
        if variant == "A":
            scan = rng.choice(BAD_A) if i in bad_at else random_a_scan(rng)
            if scan is None:
                idx += idx_a_record(0xFFFFFF00, 2, rt)
                continue
            idx += idx_a_record(len(dat), len(scan) // 6, rt)
            dat += scan
            if gaps and rng.random() < 0.08:
                dat += rng.randbytes(rng.randrange(70_000, 300_000))
        else:
            scan = rng.choice(BAD_8) if i in bad_at else random_8_scan(rng)
            if i == big_at:  # larger than a read chunk (2 MiB): read in pieces
                scan = big_8_scan(rng, (2 << 20) // 8 + rng.randrange(1, 5000))
            elif gaps and scan and i not in bad_at and rng.random() < 0.08:
                scan = big_8_scan(rng, rng.randrange(10_000, 40_000))
            idx += idx_b_record(len(dat), rt)
            dat += scan
    return bytes(idx), bytes(dat)


CALIBRATIONS = [None, "T1", "0,1,T1", "1.5,2.5,T0", "-3.25e-3,1.0003,2.5e-7,T1", "nan,1,T1", "1e400,T1"]
MZ_RANGES = [(50.0, 2000.0), (2000.0, 50.0), (float("nan"), 1000.0), (0.0, 0.0), (100.0, 100.5)]

# Function number -> (variant, scan count, options); 3 and 4 have index
# sizes that fit both record sizes (330 bytes), one of each outcome.
LAYOUT = {1: ("A", 60, dict(gaps=True)), 2: ("B", 60, dict(gaps=True)), 3: ("A", 15, {}), 4: ("B", 11, {}),
          5: ("A", 40, dict(gaps=True, bad=3)), 6: ("B", 40, dict(gaps=True, bad=3)), 7: ("A", 0, {})}


def random_run(root, seed):
    rng = random.Random(seed)
    functions, cals = [], {}
    for f in LAYOUT:
        lo, hi = rng.choice(MZ_RANGES) if rng.random() < 0.5 else sorted(rng.uniform(20, 3000) for _ in "ab")
        functions.append(Function(mz_low=lo, mz_high=hi, scan_time_s=rng.choice([0.98, 0.0, rng.random()])))
        cal = rng.choice(CALIBRATIONS + [",".join(repr(rng.uniform(-1, 1) * 10.0**-k) for k in range(3)) + ",T1"])
        if cal is not None:
            cals[f] = cal
    lteff, veff = rng.choice([(1000, 10000), (1800, 7200), (0, 5)])
    root = make_run(root, functions=functions, header=header_text(cals), extern=extern_text(lteff, veff),
                    channels=[(4, chrom_name_field(b"Pressure", b"$CC$,1.5,a,b,c,bar")), (1, chrom_name_field(b"T"))],
                    chro={k: chro_dat([(rng.uniform(0, 9), rng.uniform(-9, 9)) for _ in range(rng.randrange(5))])
                          for k in (0, 1)})
    for f, (variant, n, options) in LAYOUT.items():
        idx, dat = build_function(rng, variant, n, big=seed == 0 and f == 2, **options)
        write(root / f"_FUNC{f:03d}.IDX", idx)
        write(root / f"_FUNC{f:03d}.DAT", dat)
    return root


# --- what tessmoor says, scan by scan ---------------------------------------

def outcome(method, f, i):
    """(mz, intensity, drift) arrays, or the RuntimeError text."""
    try:
        s = method(f, i)
    except RuntimeError as e:
        return str(e)
    drift = np.array(s.drift_time_ms, dtype=np.float64) if hasattr(s, "drift_time_ms") else None
    return np.array(s.mz, dtype=np.float64), np.array(s.intensity, dtype=np.float32), drift


class Model:
    def __init__(self, reader, root, f):
        self.f, self.n = f, reader.n_scans(f)
        self.dat = f"{root}/_FUNC{f:03d}.DAT"
        self.rt = np.array([reader.retention_time(f, i) for i in range(self.n)], dtype=np.float64)
        self.flat = [outcome(reader.read_spectrum, f, i) for i in range(self.n)]
        self.ims = [outcome(reader.read_ims_spectrum, f, i) for i in range(self.n)]
        self.variant_a = LAYOUT[f][0] == "A"

    def select(self, scans=None, rt=None):
        if scans is None:
            picked = list(range(self.n))
        elif isinstance(scans, slice):
            picked = list(range(self.n))[scans]
        else:
            picked = [int(s) + self.n if s < 0 else int(s) for s in scans]
        return [i for i in picked if rt is None or rt[0] <= self.rt[i] <= rt[1]]

    def first_failure(self, picked, ims=False):
        """(type, text) of the failure a read of `picked` must raise, or None."""
        if ims and self.variant_a:
            return ValueError, f"{self.dat[:-3]}IDX: function {self.f}: {NOT_IMS}"
        for i in picked:
            got = (self.ims if ims else self.flat)[i]
            if isinstance(got, str):
                return tessmoor_bulk.FormatError, f"{self.dat}: function {self.f}, scan {i}: {got}"
        return None

    def peaks(self, i, ims, mz):
        m, inten, drift = (self.ims if ims else self.flat)[i]
        keep = slice(None) if mz is None else (m >= mz[0]) & (m <= mz[1])
        return m[keep], inten[keep], (drift[keep] if ims else None)


def expect(failure, call):
    """call()'s result, or None once it raised `failure` (type, text)."""
    if failure is None:
        return call()
    with pytest.raises(failure[0]) as exc:
        call()
    assert str(exc.value) == failure[1]


def check_spectra(run, model, *, ims=False, threads=1, **kw):
    picked = model.select(kw.get("scans"), kw.get("rt"))
    batch = expect(model.first_failure(picked, ims), lambda: run.spectra(model.f, ims=ims, threads=threads, **kw))
    if batch is None:
        return
    parts = [model.peaks(i, ims, kw.get("mz")) for i in picked]
    same(batch.scans, np.array(picked, dtype=np.int64))
    same(batch.rt_min, model.rt[picked])
    same(batch.offsets, np.cumsum([0] + [len(p[0]) for p in parts], dtype=np.int64))
    for k, dtype in enumerate((np.float64, np.float32, np.float64)[:3 if ims else 2]):
        same(getattr(batch, ("mz", "intensity", "drift_time_ms")[k]),
             np.concatenate([p[k] for p in parts] + [np.empty(0, dtype)]))
    assert (batch.drift_time_ms is None) == (not ims)


def check_reduce(run, model, kind, threads, rt=None, mz=None, targets=None, ppm=None, da=None):
    picked = model.select(None, rt)
    chrom = expect(model.first_failure(picked), (lambda: run.xic(model.f, targets, ppm=ppm, da=da, rt=rt,
                                                                 threads=threads)) if kind == "xic" else
                   (lambda: getattr(run, kind)(model.f, rt=rt, mz=mz, threads=threads)))
    if chrom is None:
        return
    same(chrom.scans, np.array(picked, dtype=np.int64))
    same(chrom.rt_min, model.rt[picked])
    peaks = [model.peaks(i, False, mz)[:2] for i in picked]
    if kind == "xic":
        rows = []
        for t in np.atleast_1d(np.asarray(targets, dtype=np.float64)).tolist():
            tol = da if da is not None else t * (10.0 if ppm is None else ppm) / 1e6
            rows.append([left_to_right(i[(m >= t - tol) & (m <= t + tol)]) for m, i in peaks])
        want = np.array(rows, dtype=np.float64).reshape(len(rows), len(picked))
        same(chrom.intensity, want[0] if np.ndim(targets) == 0 else want)
    elif kind == "tic":
        same(chrom.intensity, np.array([left_to_right(i) for _, i in peaks], dtype=np.float64))
    else:  # the first of the largest intensities, 0 and NaN for a scan without peaks
        best = [int(np.argmax(i)) if len(i) else None for _, i in peaks]
        same(chrom.intensity, np.array([0.0 if b is None else float(i[b]) for b, (_, i) in zip(best, peaks)]))
        same(chrom.mz, np.array([np.nan if b is None else m[b] for b, (m, _) in zip(best, peaks)]))


def left_to_right(values):
    total = 0.0
    for v in values:
        total = total + float(v)
    return total


def random_window(rng, values):
    values = [v for v in values if np.isfinite(v)]
    if not values:
        return (0.0, 1e9)
    return tuple(sorted((rng.choice(values), rng.choice(values))))  # ends on actual values: inclusive


@pytest.fixture(scope="module", params=range(4))
def random_case(request, tmp_path_factory):
    root = random_run(tmp_path_factory.mktemp("bulk") / "r.raw", request.param)
    run = tessmoor_bulk.Run(root)
    return request.param, run, {f: Model(run.reader, root, f) for f in LAYOUT}


@pytest.mark.parametrize("f", LAYOUT)
def test_spectra_agree_with_tessmoor(random_case, f):
    seed, run, models = random_case
    model, rng = models[f], random.Random(seed * 100 + f)
    n = model.n
    assert run.n_scans(f) == n == LAYOUT[f][1]  # 330-byte indexes: one of each layout
    same(run.rt(f), model.rt)
    mz_values = [m for o in model.flat if not isinstance(o, str) for m in o[0]]
    selections = [
        {},
        dict(scans=slice(rng.randrange(-n - 2, n + 2), rng.choice([None, rng.randrange(-n - 2, n + 2)]),
                         rng.choice([1, 2, 3, -1, -2]))),
        dict(scans=[rng.randrange(-n, n) for _ in range(rng.randrange(2 * n + 1))] if n else []),
        dict(scans=np.array([rng.randrange(n) for _ in range(n)] if n else [], dtype=np.int32)),
        dict(rt=random_window(rng, model.rt)),
        dict(scans=slice(None, None, -1), rt=random_window(rng, model.rt)),
        dict(mz=random_window(rng, mz_values)),
        dict(scans=[rng.randrange(-n, n) for _ in range(n)] if n else [], mz=random_window(rng, mz_values)),
    ]
    for k, kw in enumerate(selections):
        for threads in (1, 2, 3) if k < 3 else ((1, 2, 3)[k % 3],):
            for ims in (False, True):
                check_spectra(run, model, ims=ims, threads=threads, **kw)
    # Single scans, from either end.
    for i in range(n):
        for scan in (i, i - n):
            s = expect(model.first_failure([i]), lambda: run.spectrum(f, scan))
            if s is not None:
                assert (s.func, s.scan, s.rt_min.hex()) == (f, i, float(model.rt[i]).hex())
                same(s.mz, model.flat[i][0])
                same(s.intensity, model.flat[i][1])
    # Views of a batch; batches by iteration.
    if not model.first_failure(range(n)):
        whole = run.spectra(f)
        for i, s in enumerate(whole):
            same(s.mz, model.flat[i][0])
        size = rng.randrange(1, 8)
        parts = list(run.iter_spectra(f, batch_scans=size, threads=2))
        assert all(len(p) <= size for p in parts) and sum(map(len, parts)) == n
        same(np.concatenate([p.mz for p in parts]), whole.mz)
        same(np.concatenate([p.scans for p in parts]), whole.scans)


@pytest.mark.parametrize("f", LAYOUT)
def test_chromatograms_agree_with_tessmoor(random_case, f):
    seed, run, models = random_case
    model, rng = models[f], random.Random(seed * 100 + f + 50)
    mz_values = [m for o in model.flat if not isinstance(o, str) for m in o[0]] or [100.0]
    for threads in (1, 2, 3):
        rt = random_window(rng, model.rt) if threads > 1 else None
        mz = random_window(rng, mz_values) if threads == 3 else None
        for kind in ("tic", "base_peak"):
            check_reduce(run, model, kind, threads, rt=rt, mz=mz)
        targets = [rng.choice(mz_values) for _ in range(3)] + [-5.0, float("nan")]
        check_reduce(run, model, "xic", threads, rt=rt, targets=targets[0])
        check_reduce(run, model, "xic", threads, targets=targets, ppm=rng.choice([None, 50.0]))
        check_reduce(run, model, "xic", threads, targets=targets[:2], da=rng.choice([0.0, 0.01, 1.0]))


def test_channels_agree_with_tessmoor(random_case):
    _, run, _ = random_case
    for k, ch in enumerate(run.channels):
        points = run.reader.read_chrom(ch.index)
        for index in (k, k - len(run.channels)):
            c = run.channel(index)
            assert (c.kind, c.channel, c.name, c.units) == ("channel", ch.index, ch.name, ch.units)
            same(c.rt_min, np.array([p.rt_min for p in points], dtype=np.float64))
            same(c.intensity, np.array([p.value for p in points], dtype=np.float64))


# --- failures ---------------------------------------------------------------

@pytest.fixture(scope="module")
def broken_run(tmp_path_factory):
    """Function 1: three good Variant A scans; 2: files missing; 3: DAT
    missing; 4: DAT is a directory; 5: index of 31 bytes; 6: Variant B."""
    root = make_run(tmp_path_factory.mktemp("broken") / "r.raw", functions=[Function()] * 6)
    scans = [scan_a(40000, [(20000, 5)]), scan_a(40000, []), scan_a(40000, [(30000, 7)])]
    write(root / "_FUNC001.IDX", b"".join(idx_a_record(12 * k, 2, 0.5 * k) for k in range(3)))
    write(root / "_FUNC001.DAT", b"".join(s.ljust(12, b"\0") for s in scans))
    write(root / "_FUNC003.IDX", idx_b_record(0, 0.0))
    write(root / "_FUNC004.IDX", idx_b_record(0, 0.0))
    os.mkdir(root / "_FUNC004.DAT")
    write(root / "_FUNC005.IDX", b"\0" * 31)
    write(root / "_FUNC005.DAT", b"")
    write(root / "_FUNC006.IDX", idx_b_record(0, 0.0))
    write(root / "_FUNC006.DAT", rec_8(1, 0, 10) + rec_8(2, 0, 20))
    return root


IDX_31 = "parse error: _FUNCnnn.IDX: size 31 is not a multiple of 22 (Variant A) or 30 (Variant B)"
OUT_OF_RANGE = "{root}/_FUNC001.IDX: function 1, scan %s: scan %s out of range (the function has 3 scans)"


@pytest.mark.parametrize("call, cls, want", [
    (lambda run, root: tessmoor_bulk.Run(root / "nope"), FileNotFoundError, "{root}/nope"),
    (lambda run, root: tessmoor_bulk.Run(root / "_FUNC001.IDX"), NotADirectoryError, "{root}/_FUNC001.IDX"),
    (lambda run, root: run.spectra(2), FileNotFoundError, "{root}/_FUNC002.IDX"),
    (lambda run, root: run.n_scans(2), FileNotFoundError, "{root}/_FUNC002.IDX"),
    (lambda run, root: run.rt(3), FileNotFoundError, "{root}/_FUNC003.DAT"),
    (lambda run, root: run.xic(4, 100.0), IsADirectoryError, "{root}/_FUNC004.DAT"),
    (lambda run, root: run.channel(0), FileNotFoundError, "{root}/_CHROMS.INF"),
    (lambda run, root: run.spectra(5), tessmoor_bulk.FormatError, "{root}/_FUNC005.IDX: function 5: " + IDX_31),
    (lambda run, root: run.n_scans(5), tessmoor_bulk.FormatError, "{root}/_FUNC005.IDX: function 5: " + IDX_31),
    (lambda run, root: run.spectrum(7, 0), IndexError,
     "{root}/_FUNCTNS.INF: function 7 not found (the run's functions are 1 to 6)"),
    (lambda run, root: run.tic(2**32), IndexError, f"function {2**32} not found: function numbers run from 1 "
                                                   f"to {2**32 - 1}"),
    (lambda run, root: run.spectrum(1, 3), IndexError, OUT_OF_RANGE % (3, 3)),
    (lambda run, root: run.spectra(1, [0, -4], ims=True), IndexError, OUT_OF_RANGE % (-4, -4)),
    (lambda run, root: run.spectra(1, [2**63 - 1]), IndexError, OUT_OF_RANGE % (2**63 - 1, 2**63 - 1)),
    (lambda run, root: run.spectra(1, [], ims=True), ValueError, "{root}/_FUNC001.IDX: function 1: " + NOT_IMS),
    (lambda run, root: next(run.iter_spectra(1, ims=True)), ValueError,
     "{root}/_FUNC001.IDX: function 1: " + NOT_IMS),
    (lambda run, root: run.iter_spectra(1, batch_scans=10**30), ValueError,
     f"batch_scans must be at least 1 and at most 2**63 - 1, not {10**30}"),
])
def test_failures(broken_run, call, cls, want):
    with pytest.raises(cls) as exc:
        call(tessmoor_bulk.Run(broken_run), broken_run)
    assert type(exc.value) is cls
    want = want.format(root=broken_run)
    if issubclass(cls, OSError):  # an errno that gives the class, and the file
        assert (type(OSError(exc.value.errno, "")), exc.value.filename) == (cls, want)
    else:
        assert str(exc.value) == want


def test_first_bad_scan_in_output_order_decides(tmp_path):
    # Scans 0-1 fill one 2 MB read, scans 2-4 another: reading forward on
    # two threads, bad scan 3 is usually found before bad scan 1.
    rng = random.Random(1)
    scans = [big_8_scan(rng, 240_000), BAD_8[0], big_8_scan(rng, 30_000), BAD_8[1], random_8_scan(rng, 5)]
    root = make_run(tmp_path / "r.raw", data={1: FunctionData("B", scans)})
    run = tessmoor_bulk.Run(root)
    for scans, bad in [(None, 1), ([4, 3, 2, 1, 0], 3), ([2, 3, 0, 1], 3), ([0, 1, 4], 1), ([0, 2, 4], None)]:
        for threads in (1, 2, 3, 2, 3):
            calls = [(False, lambda: run.spectra(1, scans, threads=threads)),
                     (True, lambda: run.spectra(1, scans, ims=True, threads=threads))]
            if scans is None:
                calls.append((False, lambda: run.tic(1, threads=threads)))
            for ims, call in calls:
                if bad is None:
                    call()
                    continue
                with pytest.raises(tessmoor_bulk.FormatError) as exc:
                    call()
                with pytest.raises(RuntimeError) as plain:
                    (run.reader.read_ims_spectrum if ims else run.reader.read_spectrum)(1, bad)
                assert str(exc.value) == f"{root}/_FUNC001.DAT: function 1, scan {bad}: {plain.value}"


@pytest.mark.parametrize("scans", [
    slice(2**70, None), slice(-2**70, None), slice(None, -2**70, -1), slice(None, None, 2**70),
    slice(None, None, -2**63), slice(-2**64, 2**64, -2**64), [0, 2**63], [-2**63 - 1], [2**64, 0],
])
def test_scans_beyond_64_bits(broken_run, scans):
    # Slices of any integers select as Python's do; such picks are scans no
    # function has.
    run = tessmoor_bulk.Run(broken_run)
    if isinstance(scans, slice):
        same(run.spectra(1, scans).scans, np.array(range(3)[scans], dtype=np.int64))
    else:
        with pytest.raises(IndexError, match=f"scan {max(scans, key=abs)} out of range"):
            run.spectra(1, scans)
