"""Hostile surroundings: files replaced between the opening of a function's
index and of its data, indexes that claim more peaks than any machine holds,
threads the system will not start, and directory names that are not UTF-8.
Each gets a clear answer (the consistent result, or an exception), never a
mix of two files, an abort or a process killed for its memory."""

import io
import os
import re
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import tessmoor
import tessmoor_bulk
from rawwriter import Function, FunctionData, idx_a_record, make_run, scan_a, write

OLD = [scan_a(40000, [(1000, 5), (2000, 6)]), scan_a(40000, [(3000, 7)])]
NEW = [scan_a(30000, [(500, 9)]), scan_a(30000, [(600, 8), (700, 4), (800, 2)])]


def _held_race(tmp_path, read):
    """`read(root)` while the function's files are replaced between the
    opening of its index and of its data.  The DAT is a FIFO: opening it
    blocks until a writer process opens the other end, and that process
    then puts the new index and the new DAT in place before it writes the
    new DAT's bytes into the FIFO.  So the read opens the old index and gets
    the new data, deterministically; it must notice, and read again."""
    root = make_run(tmp_path / "r.raw", data={1: FunctionData("A", OLD)})
    fresh = make_run(tmp_path / "fresh.raw", data={1: FunctionData("A", NEW)})
    dat = root / "_FUNC001.DAT"
    dat.unlink()
    os.mkfifo(dat)
    script = textwrap.dedent("""\
        exec 3>"$1/_FUNC001.DAT"
        mv "$2/_FUNC001.IDX" "$1/_FUNC001.IDX"
        mv "$2/_FUNC001.DAT" "$1/_FUNC001.DAT"
        cat "$1/_FUNC001.DAT" >&3
        """)
    writer = subprocess.Popen(["sh", "-c", script, "sh", str(root), str(fresh)])
    try:
        return root, read(root)
    finally:
        try:
            writer.wait(timeout=20)
        finally:
            writer.kill()


def test_single_scan_read_never_pairs_an_old_index_with_new_data(tmp_path):
    # Both packages read through the one function reader; the module, which
    # waits for a FIFO's writer, is the one that can be held in the race.
    def read(root):
        s = tessmoor.RawReader(str(root)).read_spectrum(1, 1)
        return list(s.mz), list(s.intensity)

    root, got = _held_race(tmp_path, read)
    want = tessmoor.RawReader(str(root)).read_spectrum(1, 1)
    assert got == (list(want.mz), list(want.intensity))
    assert got[1] == [8.0, 4.0, 2.0]


@pytest.mark.parametrize("special", ["fifo", "/dev/zero"])
@pytest.mark.parametrize("name", ["_FUNC001.IDX", "_FUNC001.DAT"])
def test_files_that_cannot_be_read_at_offsets_are_refused_at_once(tmp_path, special, name):
    # A FIFO would block the open until a writer comes, /dev/zero read
    # until memory ran out: tessmoor_bulk says what the file is instead.
    root = make_run(tmp_path / "r.raw", data={1: FunctionData("A", OLD)})
    (root / name).unlink()
    if special == "fifo":
        os.mkfifo(root / name)
    else:
        os.symlink(special, root / name)
    what = "a FIFO (named pipe)" if special == "fifo" else "a character device"
    with pytest.raises(tessmoor_bulk.FormatError, match=re.escape(f"{name}: function 1: {what} where a file")):
        tessmoor_bulk.Run(root).spectrum(1, 0)


@pytest.fixture(scope="module")
def overlapping_run(tmp_path_factory):
    """A million 22-byte records, each claiming the same 65,535-record scan:
    22 MB of index asking for some 786 GB of output, or hours of decoding."""
    root = make_run(tmp_path_factory.mktemp("overlap") / "r.raw")
    write(root / "_FUNC001.IDX", idx_a_record(0, 0xFFFF, 0.5) * 1_000_000)
    write(root / "_FUNC001.DAT", scan_a(40000, [(1, 1)] * 0xFFFE))
    return root


def test_index_claiming_absurd_output_is_a_memory_error(overlapping_run):
    run = tessmoor_bulk.Run(overlapping_run)
    with pytest.raises(MemoryError, match=r"the result needs 732\.\d GiB \(786408000000 bytes\)"):
        run.spectra(1)
    assert len(run.spectrum(1, -1)) == 0xFFFE  # one scan of it is fine


class Stop(Exception):
    pass


@pytest.mark.parametrize("call", [
    lambda run: run.tic(1, threads=2),
    lambda run: run.xic(1, [100.0], threads=1),
    lambda run: run.base_peak(1, threads=2),
    lambda run: run.spectra(1, slice(0, 2000), threads=1),
    lambda run: next(run.iter_spectra(1, batch_scans=2000, batch_peaks=10**9, threads=2)),
], ids=["tic", "xic", "base_peak", "spectra", "iter_spectra"])
def test_long_calls_stop_soon_after_a_signal(overlapping_run, call):
    # A handler that raises (Ctrl-C's raises KeyboardInterrupt) stops a call
    # within 0.2 s, with its exception, whatever the call was doing.
    run = tessmoor_bulk.Run(overlapping_run)
    sent = []

    def handler(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(0.3, lambda: (sent.append(time.monotonic()), os.kill(os.getpid(), signal.SIGUSR1)))
    try:
        timer.start()
        with pytest.raises(Stop):
            call(run)
        stopped = time.monotonic()
    finally:
        timer.cancel()
        signal.signal(signal.SIGUSR1, previous)
    # Sanitizers and valgrind slow the chunk under way many times over.
    assert stopped - sent[0] < (0.2 if "TESSMOOR_INSTRUMENTED" not in os.environ else 5.0)


def _sparse_run(root, scans=40, gap=1 << 20):
    """A run whose scans lie a megabyte apart in a sparse DAT, so that each
    is a read of its own (and a thread's work)."""
    make_run(root)
    scan = scan_a(40000, [(1000 + k, k % 200 + 1) for k in range(50)])
    idx = b"".join(idx_a_record(k * gap, len(scan) // 6, 0.01 * k) for k in range(scans))
    write(root / "_FUNC001.IDX", idx)
    with open(root / "_FUNC001.DAT", "wb") as f:
        for k in range(scans):
            f.seek(k * gap)
            f.write(scan)
    return root


@pytest.mark.skipif(sys.platform != "linux", reason="needs Linux address-space limits")
@pytest.mark.skipif(os.environ.get("TESSMOOR_INSTRUMENTED") == "asan",
                    reason="AddressSanitizer reserves terabytes of address space for its shadow")
def test_threads_the_system_refuses_are_done_without(tmp_path):
    # Below an address-space limit that leaves room for two or three thread
    # stacks, 32 threads cannot all start: the read must carry on with those
    # that did, not abort the interpreter.
    root = _sparse_run(tmp_path / "r.raw")
    want = tessmoor_bulk.Run(root).spectra(1, threads=1)
    child = textwrap.dedent(f"""\
        import resource, sys
        import numpy as np
        import tessmoor_bulk
        run = tessmoor_bulk.Run({str(root)!r})
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (24 << 20), resource.RLIM_INFINITY))
        got = run.spectra(1, threads=32)
        np.save(sys.stdout.buffer, np.concatenate([got.mz, got.intensity, got.offsets]))
        """)
    out = subprocess.run([sys.executable, "-c", child], capture_output=True, timeout=120)
    assert out.returncode == 0, out.stderr.decode()
    got = np.load(io.BytesIO(out.stdout))
    assert np.array_equal(got, np.concatenate([want.mz, want.intensity, want.offsets]))


def test_directory_names_that_are_not_utf8(tmp_path):
    name = os.fsencode(tmp_path) + b"/r\xff.raw"
    make_run(os.fsdecode(name), functions=[Function(), Function()], data={1: FunctionData("A", OLD)})
    root = os.fsdecode(name)
    by_bytes, by_str = tessmoor_bulk.Run(name), tessmoor_bulk.Run(os.fsdecode(name))
    assert by_str.path == os.fsdecode(name)
    assert by_bytes.spectra(1).mz.tolist() == by_str.spectra(1).mz.tolist() != []
    with pytest.raises(FileNotFoundError) as exc:
        by_bytes.n_scans(2)
    assert os.fsencode(exc.value.filename) == name + b"/_FUNC002.IDX"
    assert len(by_bytes.reader.functions) == 2
    # The command line writes the name back as the bytes it was, whatever
    # the locale's encoding would refuse.
    for suffix in ("IDX", "DAT"):
        os.link(f"{root}/_FUNC001.{suffix}", f"{root}/_FUNC002.{suffix}")
    env = dict(os.environ, PYTHONIOENCODING="utf-8:strict")
    out = subprocess.run([sys.executable, "-m", "tessmoor_bulk", "info", name], capture_output=True, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(b"run  " + name + b"\n")


@pytest.mark.parametrize("lines, want", [
    (["Pusher Cycle Time (us)\t64.1", "PusherInterval\t50"], 50.0),
    (["PusherInterval\t50", "Pusher Cycle Time (us)\t64.1"], 50.0),
    (["Pusher Cycle Time (us)\t64.1"], 64.1),
])
def test_pusher_interval_wins_wherever_it_stands(tmp_path, lines, want):
    root = make_run(tmp_path / "r.raw", extern="Lteff\t1000\nVeff\t7000\n" + "\n".join(lines) + "\n")
    assert tessmoor_bulk.Run(root).instrument["pusher_interval"] == want
