"""The Parquet export: every scan of a run as one long table.

One row per peak, in the columns of `Spectra.to_arrow()`: ``function``
int32, ``scan`` int64, ``rt_min`` float64, ``mz`` float64, ``intensity``
float32, and with ``ims=True`` ``drift_time_ms`` float64 (null in the rows
of functions without drift times).  Functions follow one another, scans in
order.  A row group holds whole scans of one function, about a million rows,
so that a reader can skip functions and retention-time ranges by the row
groups' statistics.  The run is read in batches of about one row group, so
memory stays bounded whatever the size of the run.

The file's key-value metadata says where the rows come from and what they
are, each value a JSON text: ``tessmoor.source`` (the run's absolute path),
``tessmoor.header`` (its _HEADER.TXT fields, as `Run.header`),
``tessmoor.version`` (tessmoor's version), ``tessmoor.options`` (the
functions written and the reading options: ``ims``, ``scans``, ``rt``,
``mz``, ``drift``, ``centroid``) and ``tessmoor.processing``: per function
number its ``spectrum_type`` ("profile" or "centroid", as the mzML export
labels it) and ``drift_times``; ``peak_picking`` (null, or the centroid
algorithm with ``centroid=True``); ``lock_mass`` (null, or the ``mz``,
``window_da`` and ``function`` of the run's lock-mass correction).
"""

from __future__ import annotations

import json
import operator
import os
import warnings
from concurrent.futures import ThreadPoolExecutor
from types import ModuleType
from typing import Any, Callable, Iterable, Iterator, TypeVar

import numpy as np
from numpy.typing import NDArray

from ._extras import require
from ._results import DRIFT_COLUMN, LONG_COLUMNS, Spectra
from ._run import BadScans, BadScansSkipped, Run, Scans, SpectraBatches, Window
from ._version import version

T = TypeVar("T")

ROW_GROUP_ROWS = 1 << 20
# A batch is read whole, so its memory, not the run's size, bounds the
# export's: batches of scan records for at most a row group of peaks.
_MAX_BATCH_SCANS = 1 << 16

# Columns that repeat over a scan's peaks are dictionaries with run lengths,
# nearly free, and they alone get min/max statistics: every row group spans
# nearly the whole m/z and intensity range, so those of the peak columns
# would never let a reader skip one.  The peak columns have few repeated
# values: a dictionary attempt costs time for nothing, while splitting
# their values into one stream per byte position (the exponent bytes
# together, ...) makes them both quicker to compress and smaller.
_SCAN_COLUMNS = ["function", "scan", "rt_min"]
_SPLIT_COLUMNS = ["mz", "intensity", DRIFT_COLUMN[0]]


def write_parquet(run: Run, path: str | os.PathLike[str], *, functions: Iterable[int] | None = None,
                  ims: bool = False, compression: str = "zstd", threads: int | None = None,
                  progress: Callable[[int], object] | None = None, scans: Scans = None, rt: Window | None = None,
                  mz: Window | None = None, on_bad_scan: BadScans = "fail", drift: Window | None = None,
                  centroid: bool = False, spectrum_type: str | None = None) -> None:
    """Writes the scans of `functions` (default: all, in the run's order) to
    the Parquet file `path`.

    ims:         read the functions of 30-byte index records with their drift
                 times (column ``drift_time_ms``); the others as they are.
    drift:       (lo, hi) ms: only the records of this drift window, in
                 the functions read with drift times (implies ims).
    centroid:    one row per centroid (`Run.spectra`).
    spectrum_type: "profile" or "centroid": what the metadata says of
                 every function instead of what its records show.
    compression: ``"zstd"`` or ``"none"``.
    threads:     decoding threads (default: every core this process may use).
    progress:    called with the number of scans just written.
    scans, rt, mz: what to read of each function, as for `Run.spectra`.
    on_bad_scan: "fail", or "skip": scans that cannot be read are left out,
                 listed in the metadata (``tessmoor.skipped``) and in a
                 `BadScansSkipped` warning per function.

    Every function's scans are selected, and its files opened, before
    anything is written: a run that grows or is rewritten meanwhile gives a
    file of one moment of it, or a `FormatError`.
    """
    pa = require("pyarrow", "arrow", "the Parquet export")
    pq = require("pyarrow.parquet", "arrow", "the Parquet export")
    if compression not in ("zstd", "none"):
        raise ValueError(f"Parquet compression must be 'zstd' or 'none', not {compression!r}")
    numbers = [f.index for f in run.functions] if functions is None else [operator.index(f) for f in functions]
    ims = bool(ims) or drift is not None
    processing = _processing(run, numbers, ims, bool(centroid), spectrum_type)
    opened, skipped = _open(run, numbers, ims, threads, scans, rt, mz, on_bad_scan, drift, bool(centroid))
    for warning in skipped:
        warnings.warn(warning, stacklevel=2)
    columns = LONG_COLUMNS + ((DRIFT_COLUMN,) if ims else ())
    metadata = provenance(run, numbers, ims=ims, scans=scans, rt=rt, mz=mz, drift=drift, centroid=bool(centroid))
    metadata["tessmoor.processing"] = json.dumps(processing)
    if skipped:
        metadata["tessmoor.skipped"] = json.dumps([{"function": w.func, "scan": scan, "message": message}
                                                   for w in skipped for scan, message in w.scans])
    schema = pa.schema([pa.field(name, pa.from_numpy_dtype(dtype), nullable=(name == DRIFT_COLUMN[0]))
                        for name, dtype in columns], metadata=metadata)
    encodings = {name: "BYTE_STREAM_SPLIT" for name in _SPLIT_COLUMNS if name in schema.names}

    # The next batch is read and laid out on a second thread while this one
    # compresses and writes: the writer uses a single core.
    with pq.ParquetWriter(path, schema, compression=compression, use_dictionary=_SCAN_COLUMNS,
                          write_statistics=_SCAN_COLUMNS, column_encoding=encodings) as writer:
        group: list[Any] = []
        rows = 0
        group_func = None
        batches = _batches(pa, schema, opened)
        for func, n_scans, batch in _prefetched(batches):
            if func != group_func:
                _write_group(pa, writer, schema, group, rows)
                group, rows, group_func = [], 0, func
            group.append(batch)
            rows += batch.num_rows
            if rows >= ROW_GROUP_ROWS:
                _write_group(pa, writer, schema, group, rows)
                group, rows = [], 0
            if progress is not None:
                progress(n_scans)
        _write_group(pa, writer, schema, group, rows)


# pyarrow has no type annotations: its module and objects are Any below.
def _processing(run: Run, numbers: list[int], ims: bool, centroid: bool,
                spectrum_type: str | None) -> dict[str, Any]:
    """What the rows are: the ``tessmoor.processing`` metadata."""
    from ._mzml import CENTROID_ALGORITHM

    if spectrum_type not in (None, "profile", "centroid"):
        raise ValueError(f'spectrum_type must be "profile", "centroid" or None, not {spectrum_type!r}')
    lock = run.lock_mass
    functions = {}
    for f in numbers:
        kind = "centroid" if centroid else spectrum_type or (run.spectrum_type(f) if run.n_scans(f) else "centroid")
        functions[str(f)] = {"spectrum_type": kind, "drift_times": ims and run.has_drift_times(f)}
    return {
        "functions": functions,
        "peak_picking": CENTROID_ALGORITHM if centroid else None,
        "lock_mass": None if lock is None else {"mz": lock.mz, "window_da": lock.window_da,
                                                "function": run.lock_mass_function()},
    }


def _batches(pa: ModuleType, schema: Any,
             opened: list[tuple[int, SpectraBatches[Any]]]) -> Iterator[tuple[int, int, Any]]:
    """(function, scan count, record batch) for every batch of every function."""
    for func, batches in opened:
        for batch in batches:
            yield func, len(batch), _record_batch(pa, schema, batch)


def _open(run: Run, numbers: list[int], ims: bool, threads: int | None, scans: Scans, rt: Window | None,
          mz: Window | None, on_bad_scan: BadScans, drift_window: Window | None = None,
          centroid: bool = False) -> tuple[list[tuple[int, SpectraBatches[Any]]], list[Any]]:
    """Every function's reads, opened (its scans selected) before anything
    is written, so that the file is one moment of a run that may be growing;
    and the warnings of the bad scans they leave out."""
    opened = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", BadScansSkipped)
        for func in numbers:
            drift = ims and run.has_drift_times(func)
            opened.append((func, run.iter_spectra(func, batch_scans=_MAX_BATCH_SCANS, batch_peaks=ROW_GROUP_ROWS,
                                                  scans=scans, rt=rt, mz=mz, ims=drift, threads=threads,
                                                  on_bad_scan=on_bad_scan, drift=drift_window if drift else None,
                                                  centroid=centroid)))
    return opened, [w.message for w in caught if isinstance(w.message, BadScansSkipped)]


def provenance(run: Run, functions: list[int], **options: Any) -> dict[str, str]:
    """The key-value metadata of an export of `functions` of `run` with the
    reading `options` (see the module's text)."""
    def plain(value: Any) -> Any:
        if isinstance(value, slice):  # as Python writes it: "2:", "-10:", "::2"
            parts = [value.start, value.stop] + ([] if value.step is None else [value.step])
            return ":".join("" if v is None else str(operator.index(v)) for v in parts)
        if isinstance(value, (tuple, list, np.ndarray)):
            return [plain(v) for v in value]
        if isinstance(value, np.generic):
            return value.item()
        return value

    return {
        "tessmoor.source": json.dumps(os.path.abspath(run.path)),
        "tessmoor.header": json.dumps(run.header),
        "tessmoor.version": json.dumps(version),
        "tessmoor.options": json.dumps({"functions": functions, **{k: plain(v) for k, v in options.items()}}),
    }


class _End:
    """What _prefetched's next() gives when the items run out."""


_END = _End()


def _prefetched(items: Iterator[T]) -> Iterator[T]:
    """The items, each produced on a second thread while the caller works on
    the one before."""
    with ThreadPoolExecutor(1) as pool:
        future = pool.submit(next, items, _END)
        while not isinstance(item := future.result(), _End):
            future = pool.submit(next, items, _END)
            yield item


def _record_batch(pa: ModuleType, schema: Any, batch: Spectra) -> Any:
    """The batch's long table, with the schema's drift column all null when
    the batch has no drift times."""
    columns = batch._columns()
    n = batch.n_peaks
    return pa.RecordBatch.from_arrays(
        [_arrow_array(pa, field.type, columns.get(field.name), n) for field in schema], schema=schema)


def _arrow_array(pa: ModuleType, type: Any, values: NDArray[Any] | None, n: int) -> Any:
    # An Arrow array over the numpy array's memory: pa.array() would first
    # scan an int64 column for missing values.
    if values is None:
        return pa.nulls(n, type)
    return pa.Array.from_buffers(type, n, [None, pa.py_buffer(values)])


def _write_group(pa: ModuleType, writer: Any, schema: Any, group: list[Any], rows: int) -> None:
    """The batches as one row group: row_group_size is their length, so no
    scan is split between two groups."""
    if rows:
        writer.write_table(pa.Table.from_batches(group, schema=schema), row_group_size=rows)
