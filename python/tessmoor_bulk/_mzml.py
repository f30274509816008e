"""mzML export: a run as indexed mzML 1.1, written in one streaming pass.

The file carries what readers key on: the source as "Waters raw format"
with "Waters nativeID format" IDs (``function=F process=0 scan=S``, S the
scan number plus one), an instrument configuration with a time-of-flight
analyzer, tessmoor named with its version as the converting software; per
spectrum the ms level, spectrum type and representation, scan start time in
minutes, the function's m/z range as scan window, total ion current, base
peak, lowest and highest m/z; m/z as 64-bit and intensities as 32-bit
floats, as `tessmoor_bulk` reads them, so that reading the file back gives
the same values bit for bit; drift times (64-bit, milliseconds, "raw ion
mobility drift time array") with ``ims=True``.  Then one TIC chromatogram
per function (the sums of its spectra, 64-bit) and one chromatogram per
instrument channel, the index of byte offsets and the SHA-1 checksum.

What the run does not say, and what is written for it:

* Representation: with ``centroid=True``, "centroid spectrum", and a
  processing step "peak picking" naming tessmoor's centroid algorithm.
  Otherwise what each function's records show (`Run.spectrum_type`):
  "profile spectrum" when most records have a neighbour in the next
  time-of-flight bin (a continuous signal, which peak pickers such as
  OpenMS's then take), "centroid spectrum" when they stand apart (data the
  instrument already reduced to one record per ion); ``spectrum_type=``
  overrides the verdict for every function.
* Lock-mass correction (a `Run` opened with ``lock_mass``): a processing
  step "m/z calibration" with the reference m/z; the lock-mass function's
  own spectra, left as recorded, refer to a processing without it.
* ms level: 1 for every function.  The function table has no collision
  energy, precursor or scan kind that would tell an MS/MS function (its type
  byte is the same everywhere), and an MS2 spectrum without a precursor is
  an error for most readers.  The function's number stays in every native ID
  and in the "preset scan configuration" of each scan, so that a reader can
  tell the functions apart.
* Lock mass: a function whose subtype byte has bit 7 set records the
  reference compound sprayed for m/z correction, not the sample.  Its
  spectra are written as "calibration spectrum" (still ms level 1) instead
  of "MS1 spectrum", so that readers selecting MS1 spectra leave them out;
  ``functions=`` can leave them out of the file altogether.
* Instrument: a Waters instrument with a time-of-flight analyzer; the
  ionisation source and the detector are not recorded, and their components
  are written without a term (readers look terms up, and the general parent
  terms are not in every reader's vocabulary).
* Instrument channels: their values go into the "intensity array" (the
  array every reader shows), their name and units into user parameters; the
  chromatogram type is "pressure", "temperature" or "flow rate
  chromatogram" when the units name one, the general "chromatogram type"
  otherwise.

Speed: the scans are read in batches (`Run.iter_spectra`), and each
batch's arrays are compressed and base64-encoded in native code on several
threads (`_native.encode_arrays`); Python only writes the XML around them,
counting bytes for the index and hashing them for the checksum as it goes.
Memory stays bounded by the batch, whatever the size of the run.
"""

from __future__ import annotations

import hashlib
import math
import operator
import os
import re
import warnings
from pathlib import Path
from typing import Any, BinaryIO, Callable, NamedTuple, Sequence

import numpy as np
from numpy.typing import NDArray

from . import _native
from ._results import Spectra
from ._run import BadScans, BadScansSkipped, Run, Scans, SpectraBatches, Window, _threads
from ._version import version

__all__ = ["write_mzml"]

# Peaks a batch of scans holds, about: some 50 bytes each, with their m/z,
# intensity and drift time (20 bytes) and those values' texts.
_BATCH_PEAKS = 1 << 22
_MAX_BATCH_SCANS = 1024

# ---------------------------------------------------------------------------
# The vocabulary: every term written, in one place (the tests check each
# accession and name against the PSI-MS and unit ontologies).

CV_TERMS = {
    "MS:1000016": "scan start time",
    "MS:1000040": "m/z",
    "MS:1000084": "time-of-flight",
    "MS:1000126": "Waters instrument model",
    "MS:1000035": "peak picking",
    "MS:1000127": "centroid spectrum",
    "MS:1000128": "profile spectrum",
    "MS:1000131": "number of detector counts",
    "MS:1000235": "total ion current chromatogram",
    "MS:1000285": "total ion current",
    "MS:1000500": "scan window upper limit",
    "MS:1000501": "scan window lower limit",
    "MS:1000504": "base peak m/z",
    "MS:1000505": "base peak intensity",
    "MS:1000511": "ms level",
    "MS:1000514": "m/z array",
    "MS:1000515": "intensity array",
    "MS:1000521": "32-bit float",
    "MS:1000523": "64-bit float",
    "MS:1000526": "Waters raw format",
    "MS:1000527": "highest observed m/z",
    "MS:1000528": "lowest observed m/z",
    "MS:1000544": "Conversion to mzML",
    "MS:1000574": "zlib compression",
    "MS:1000576": "no compression",
    "MS:1000579": "MS1 spectrum",
    "MS:1000595": "time array",
    "MS:1000616": "preset scan configuration",
    "MS:1000626": "chromatogram type",
    "MS:1000769": "Waters nativeID format",
    "MS:1000795": "no combination",
    "MS:1000799": "custom unreleased software tool",
    "MS:1000928": "calibration spectrum",
    "MS:1001485": "m/z calibration",
    "MS:1002312": "MS-Numpress linear prediction compression",
    "MS:1002314": "MS-Numpress short logged float compression",
    "MS:1002746": "MS-Numpress linear prediction compression followed by zlib compression",
    "MS:1002748": "MS-Numpress short logged float compression followed by zlib compression",
    "MS:1002715": "temperature chromatogram",
    "MS:1003019": "pressure chromatogram",
    "MS:1003020": "flow rate chromatogram",
    "MS:1003153": "raw ion mobility drift time array",
    "UO:0000028": "millisecond",
    "UO:0000031": "minute",
}

_MZ_UNIT = ("MS", "MS:1000040")
_COUNTS = ("MS", "MS:1000131")
_MINUTE = ("UO", "UO:0000031")
_MILLISECOND = ("UO", "UO:0000028")

# Channel units that name the quantity a channel records.
_CHANNEL_TYPES = {
    "bar": "MS:1003019", "mbar": "MS:1003019", "psi": "MS:1003019", "kpa": "MS:1003019", "mpa": "MS:1003019",
    "c": "MS:1002715", "°c": "MS:1002715",
    "ml/min": "MS:1003020", "µl/min": "MS:1003020", "ul/min": "MS:1003020", "nl/min": "MS:1003020",
}

_XML_INVALID = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def _attr(text: str) -> str:
    """`text` as an XML attribute value: escaped, and with the characters
    XML 1.0 cannot hold (controls, lone surrogates) replaced by U+FFFD."""
    text = _XML_INVALID.sub("\ufffd", text)
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")
            .replace("\t", "&#9;").replace("\n", "&#10;").replace("\r", "&#13;"))


def _num(x: float) -> str:
    """A float as text that reads back as the same float: the shortest such
    decimal, and XML Schema's spelling for NaN and the infinities."""
    if math.isfinite(x):
        return repr(x)
    return "NaN" if math.isnan(x) else ("INF" if x > 0 else "-INF")


def _cv(accession: str, value: str = "", unit: tuple[str, str] | None = None) -> str:
    ref = accession.split(":", 1)[0]
    text = (f'<cvParam cvRef="{ref}" accession="{accession}" name="{_attr(CV_TERMS[accession])}" '
            f'value="{_attr(value)}"')
    if unit is not None:
        text += f' unitCvRef="{unit[0]}" unitAccession="{unit[1]}" unitName="{_attr(CV_TERMS[unit[1]])}"'
    return text + "/>"


def _user(name: str, value: str) -> str:
    return f'<userParam name="{_attr(name)}" value="{_attr(value)}"/>'


def _ncname(text: str) -> str:
    """`text` made an XML name that an ID attribute can take."""
    name = re.sub(r"[^A-Za-z0-9_.-]", "_", text)
    return name if re.match(r"[A-Za-z_]", name) else "_" + name


# ---------------------------------------------------------------------------
# Writing

COMPRESSIONS = ("zlib", "none", "numpress", "numpress-zlib")

# The Numpress scheme of each kind of array: linear prediction for smooth
# series, short logged float for intensities, and the terms that name them
# alone and followed by zlib.
_LINEAR, _SLOF = "linear", "slof"
_NUMPRESS_TERMS = {_LINEAR: ("MS:1002312", "MS:1002746"), _SLOF: ("MS:1002314", "MS:1002748")}


class _ArrayParams(NamedTuple):
    """The cvParams of one kind of binaryDataArray (value type, compression,
    kind): for its values' own bytes, and for their Numpress encoding (None
    without one)."""

    plain: str
    numpressed: str | None


def _array_params(wide: bool, compression: str, scheme: str, accession: str, unit: tuple[str, str] | None,
                  indent: str) -> _ArrayParams:
    zlib = compression in ("zlib", "numpress-zlib")
    kind = _cv(accession, unit=unit)

    def params(*p: str) -> str:
        return "".join(f"{indent}{x}\n" for x in p)

    plain = params(_cv("MS:1000523" if wide else "MS:1000521"), _cv("MS:1000574" if zlib else "MS:1000576"), kind)
    if not compression.startswith("numpress"):
        return _ArrayParams(plain, None)
    # Numpress decodes to 64-bit floats, whatever the values were.
    return _ArrayParams(plain, params(_cv("MS:1000523"), _cv(_NUMPRESS_TERMS[scheme][zlib]), kind))


def _encode(columns: Sequence[NDArray[np.float64] | NDArray[np.float32]], offsets: NDArray[np.int64],
            compression: str, schemes: Sequence[str], threads: int) -> tuple[memoryview, list[list[int]], list[int]]:
    """The base64 texts of the columns' parts (see `_native.encode_arrays`)."""
    numpress = list(schemes) if compression.startswith("numpress") else None
    text, bounds, numpressed = _native.encode_arrays(columns, offsets, compression.endswith("zlib"), threads,
                                                     numpress)
    return text.data, bounds.tolist(), numpressed.tolist()


class _Output:
    """The file being written: counts the bytes for the index and hashes
    them for the checksum."""

    def __init__(self, file: BinaryIO) -> None:
        self._file = file
        self._sha1 = hashlib.sha1()
        self.pos = 0

    def write(self, data: bytes | memoryview) -> None:
        self._file.write(data)
        self._sha1.update(data)
        self.pos += len(data)

    def text(self, s: str) -> None:
        self.write(s.encode("utf-8"))

    def hexdigest(self) -> str:
        return self._sha1.hexdigest()


def _write_arrays(out: _Output, params: Sequence[_ArrayParams], text: memoryview, bounds: list[list[int]],
                  numpressed: list[int], first: int, indent: str) -> None:
    """A binaryDataArrayList: the arrays of `params`, their texts
    bounds[first], bounds[first + 1], ... of `text`, Numpress-encoded where
    numpressed[first], ... says so."""
    head = f'{indent}<binaryDataArrayList count="{len(params)}">\n'
    for k, kind in enumerate(params):
        start, end = bounds[first + k]
        p = kind.numpressed if numpressed[first + k] and kind.numpressed is not None else kind.plain
        out.text(f'{head}{indent}  <binaryDataArray encodedLength="{end - start}">\n{p}{indent}    <binary>')
        out.write(text[start:end])
        out.text(f"</binary>\n{indent}  </binaryDataArray>\n")
        head = ""
    out.text(f"{indent}</binaryDataArrayList>\n")


# ---------------------------------------------------------------------------
# The plan: which functions, read how

class _Function(NamedTuple):
    number: int
    scans: NDArray[np.int64]  # the scans to write, in order
    batches: SpectraBatches[Any]  # their reads, opened when planned
    drift: bool          # read with drift times
    lock_mass: bool
    mz_low: float
    mz_high: float
    profile: bool = False     # written as "profile spectrum"
    corrected: bool = False   # m/z corrected against the lock mass


def _plan(run: Run, functions: Sequence[int] | None, ims: bool, scans: Scans, rt: Window | None, mz: Window | None,
          threads: int, on_bad_scan: BadScans, skipped: list[BadScansSkipped], drift_window: Window | None = None,
          centroid: bool = False, spectrum_type: str | None = None) -> list[_Function]:
    listed = {f.index: f for f in run.functions}
    if functions is None:
        wanted = list(listed)
    else:
        wanted = [operator.index(f) for f in functions]
        seen = set()
        for f in wanted:
            if f not in listed:
                raise IndexError(f"function {f} not found")
            if f in seen:
                raise ValueError(f"function {f} is listed twice")
            seen.add(f)
    if spectrum_type not in (None, "profile", "centroid"):
        raise ValueError(f'spectrum_type must be "profile", "centroid" or None, not {spectrum_type!r}')
    lock = run.lock_mass_function() if run.lock_mass is not None else None
    plan = []
    for f in wanted:
        info = listed[f]
        drift = ims and run.has_drift_times(f)
        # The scans are selected, and the function's files opened, for
        # every function before anything is written: the file is one
        # moment of a run that may be growing, and its counts are those of
        # the spectra it holds.
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", BadScansSkipped)
            batches = run.iter_spectra(f, batch_scans=_MAX_BATCH_SCANS, batch_peaks=_BATCH_PEAKS, scans=scans, rt=rt,
                                       mz=mz, ims=drift, drift=drift_window if drift else None, centroid=centroid,
                                       threads=threads, on_bad_scan=on_bad_scan)
        skipped += [w.message for w in caught if isinstance(w.message, BadScansSkipped)]
        selected = batches.scans
        # A spectrum's native ID is its function and scan, and IDs are unique.
        if len(np.unique(selected)) != len(selected):
            values, counts = np.unique(selected, return_counts=True)
            raise ValueError(f"scan {values[counts > 1][0]} of function {f} is selected twice: an mzML file holds "
                             f"each spectrum once")
        kind = "centroid" if centroid else spectrum_type or (run.spectrum_type(f) if run.n_scans(f) else "centroid")
        plan.append(_Function(f, selected, batches, drift, info.is_lock_mass, info.mz_low, info.mz_high,
                              kind == "profile", lock is not None and f != lock))
    return plan


# ---------------------------------------------------------------------------
# The document

_CV_LIST = (
    '    <cvList count="2">\n'
    '      <cv id="MS" fullName="Proteomics Standards Initiative Mass Spectrometry Ontology"'
    ' URI="https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo"/>\n'
    '      <cv id="UO" fullName="Unit Ontology"'
    ' URI="http://ontologies.berkeleybop.org/uo.obo"/>\n'
    "    </cvList>\n"
)
_SCHEMA = 'xmlns="http://psi.hupo.org/ms/mzml" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"'
_PROCESSING = "tessmoor_export"
# The processing of a lock-mass function's spectra when the others are
# corrected against it: the same steps but the correction.
_PROCESSING_AS_RECORDED = "tessmoor_export_uncorrected"
# How tessmoor centroids, as the peak-picking step names it.
CENTROID_ALGORITHM = ("tessmoor centroids: runs of records over consecutive time-of-flight bins (per drift "
                      "position), split at valleys; intensity the sum of the records, m/z the vertex of the "
                      "Gaussian through the apex and its neighbours (1 record: its m/z; apex at an end: the "
                      "intensity-weighted mean with its neighbour)")


def _processing(run: Run, plan: list[_Function], centroid: bool) -> str:
    """The dataProcessingList: conversion, then peak picking and the
    lock-mass correction where they were done."""
    def steps(corrected: bool) -> str:
        # The schema wants a method's cvParams before its userParams.
        cvs, users = [_cv("MS:1000544")], []
        if centroid:
            cvs.append(_cv("MS:1000035"))
            users.append(_user("peak picking algorithm", CENTROID_ALGORITHM))
        if corrected and run.lock_mass is not None:
            lock = run.lock_mass
            cvs.append(_cv("MS:1001485"))
            users += [_user("lock mass m/z", _num(lock.mz)), _user("lock mass window (Da)", _num(lock.window_da)),
                      _user("lock mass function", str(run.lock_mass_function()))]
        params = "".join(f"          {p}\n" for p in cvs + users)
        return f'        <processingMethod order="0" softwareRef="tessmoor">\n{params}        </processingMethod>\n'

    uncorrected = any(not f.corrected for f in plan) and any(f.corrected for f in plan)
    items = [(_PROCESSING, any(f.corrected for f in plan))]
    if uncorrected:
        items.append((_PROCESSING_AS_RECORDED, False))
    body = "".join(f'      <dataProcessing id="{pid}">\n{steps(c)}      </dataProcessing>\n' for pid, c in items)
    return f'    <dataProcessingList count="{len(items)}">\n{body}    </dataProcessingList>\n'


def _spectrum_types(plan: list[_Function]) -> str:
    kinds = {f.profile for f in plan}
    return "".join(f"        {_cv('MS:1000128' if p else 'MS:1000127')}\n" for p in sorted(kinds))
# Indentation of spectra and chromatograms, of their children, and of the
# cvParams of their binary data arrays.
_ITEM, _CHILD, _ARRAY_PARAM = " " * 8, " " * 10, " " * 14


def _header(run: Run, plan: list[_Function], n_spectra: int, skipped: list[BadScansSkipped],
            centroid: bool = False) -> str:
    where = Path(os.path.abspath(run.path))
    name = where.name or "run"
    run_id = _ncname(Path(name).stem)
    kinds = []
    if any(not f.lock_mass for f in plan):
        kinds.append(_cv("MS:1000579"))
    if any(f.lock_mass for f in plan):
        kinds.append(_cv("MS:1000928"))
    content = "".join(f"        {k}\n" for k in kinds) + _spectrum_types(plan)
    return (
        '<?xml version="1.0" encoding="utf-8"?>\n'
        f"<indexedmzML {_SCHEMA} xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml "
        'http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd">\n'
        f"  <mzML {_SCHEMA} xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml "
        f'http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd" id="{run_id}" version="1.1.0">\n'
        f"{_CV_LIST}"
        "    <fileDescription>\n"
        f"      <fileContent>\n{content}      </fileContent>\n"
        '      <sourceFileList count="1">\n'
        f'        <sourceFile id="RAW" name="{_attr(name)}" location="{_attr(where.parent.as_uri())}">\n'
        f'          {_cv("MS:1000769")}\n'
        f'          {_cv("MS:1000526")}\n'
        "        </sourceFile>\n"
        "      </sourceFileList>\n"
        "    </fileDescription>\n"
        '    <softwareList count="1">\n'
        f'      <software id="tessmoor" version="{_attr(version)}">\n'
        f'        {_cv("MS:1000799", "tessmoor")}\n'
        "      </software>\n"
        "    </softwareList>\n"
        '    <instrumentConfigurationList count="1">\n'
        '      <instrumentConfiguration id="IC">\n'
        f'        {_cv("MS:1000126")}\n'
        '        <componentList count="3">\n'
        '          <source order="1"/>\n'
        f'          <analyzer order="2">\n            {_cv("MS:1000084")}\n          </analyzer>\n'
        '          <detector order="3"/>\n'
        "        </componentList>\n"
        "      </instrumentConfiguration>\n"
        "    </instrumentConfigurationList>\n"
        f"{_processing(run, plan, centroid)}"
        f'    <run id="{run_id}" defaultInstrumentConfigurationRef="IC" defaultSourceFileRef="RAW">\n'
        + "".join(f"      {_user('skipped scan', f'{_native_id(w.func, scan)}: {message}')}\n"
                  for w in skipped for scan, message in w.scans)
        + f'      <spectrumList count="{n_spectra}" defaultDataProcessingRef="{_PROCESSING}">\n'
    )


def _native_id(func: int, scan: int) -> str:
    return f"function={func} process=0 scan={scan + 1}"


class _Spectra:
    """Writes the spectra of one function, batch by batch, and keeps what
    the index and the TIC chromatogram need."""

    def __init__(self, func: _Function, compression: str, uncorrected: bool = False) -> None:
        self.func = func
        self.compression = compression
        i = _CHILD
        self.arrays = [_array_params(True, compression, _LINEAR, "MS:1000514", _MZ_UNIT, _ARRAY_PARAM),
                       _array_params(False, compression, _SLOF, "MS:1000515", _COUNTS, _ARRAY_PARAM)]
        self.schemes = [_LINEAR, _SLOF]
        if func.drift:
            self.arrays.append(_array_params(True, compression, _LINEAR, "MS:1003153", _MILLISECOND, _ARRAY_PARAM))
            self.schemes.append(_LINEAR)
        kind = "MS:1000928" if func.lock_mass else "MS:1000579"
        representation = "MS:1000128" if func.profile else "MS:1000127"
        # The lock-mass function's spectra, left as recorded while the
        # others are corrected, name their own processing.
        processing = f' dataProcessingRef="{_PROCESSING_AS_RECORDED}"' if uncorrected else ""
        # The text of a spectrum up to its arrays, as a template: values go
        # into the {placeholders}; _num and _cv put no braces in.
        self.head = (
            f'{_ITEM}<spectrum index="{{index}}" id="{{id}}" defaultArrayLength="{{n}}"{processing}>\n'
            f'{i}{_cv("MS:1000511", "1")}\n{i}{_cv(kind)}\n{i}{_cv(representation)}\n'
            f'{i}{_cv("MS:1000285", "{tic}", _COUNTS)}\n'
            "{peaks}"
            f'{i}<scanList count="1">\n'
            f'{i}  {_cv("MS:1000795")}\n'
            f"{i}  <scan>\n"
            f'{i}    {_cv("MS:1000016", "{rt}", _MINUTE)}\n'
            f'{i}    {_cv("MS:1000616", str(func.number))}\n'
            f'{i}    <scanWindowList count="1">\n'
            f"{i}      <scanWindow>\n"
            f'{i}        {_cv("MS:1000501", _num(func.mz_low), _MZ_UNIT)}\n'
            f'{i}        {_cv("MS:1000500", _num(func.mz_high), _MZ_UNIT)}\n'
            f"{i}      </scanWindow>\n"
            f"{i}    </scanWindowList>\n"
            f"{i}  </scan>\n"
            f"{i}</scanList>\n"
        )
        # Base peak and m/z range, for a spectrum with peaks.
        self.base_peak = (f'{i}{_cv("MS:1000504", "{mz}", _MZ_UNIT)}\n'
                          f'{i}{_cv("MS:1000505", "{intensity}", _COUNTS)}\n')
        self.mz_range = (f'{i}{_cv("MS:1000528", "{low}", _MZ_UNIT)}\n'
                         f'{i}{_cv("MS:1000527", "{high}", _MZ_UNIT)}\n')
        self.scans: list[np.ndarray] = []
        self.offsets: list[int] = []
        self.rt: list[np.ndarray] = []
        self.tic: list[np.ndarray] = []

    def write(self, out: _Output, batch: Spectra, first_index: int, threads: int) -> None:
        columns: list[NDArray[np.float64] | NDArray[np.float32]] = [batch.mz, batch.intensity]
        if batch.drift_time_ms is not None:  # self.func.drift: read with ims=True
            columns.append(batch.drift_time_ms)
        view, spans, numpressed = _encode(columns, batch.offsets, self.compression, self.schemes, threads)
        summary = _native.summarize_spectra(batch.mz, batch.intensity, batch.offsets)
        self.scans.append(batch.scans)
        self.rt.append(batch.rt_min)
        self.tic.append(summary[:, 0])
        k = len(self.arrays)
        counts = np.diff(batch.offsets).tolist()
        rows = zip(batch.scans.tolist(), batch.rt_min.tolist(), counts, summary.tolist())
        for p, (scan, rt, n, (tic, base_mz, base_intensity, low, high)) in enumerate(rows):
            peaks = ""
            if n:
                peaks = self.base_peak.format(mz=_num(base_mz), intensity=_num(base_intensity))
                if not math.isnan(low):
                    peaks += self.mz_range.format(low=_num(low), high=_num(high))
            self.offsets.append(out.pos + len(_ITEM))
            out.text(self.head.format(index=first_index + p, id=_native_id(self.func.number, scan), n=n,
                                      tic=_num(tic), peaks=peaks, rt=_num(rt)))
            _write_arrays(out, self.arrays, view, spans, numpressed, p * k, _CHILD)
            out.text(f"{_ITEM}</spectrum>\n")

    def index(self) -> str:
        """The spectrum index entries."""
        ids = (_native_id(self.func.number, s) for s in np.concatenate([np.empty(0, np.int64), *self.scans]).tolist())
        return "".join(f'      <offset idRef="{i}">{o}</offset>\n' for i, o in zip(ids, self.offsets))


class _Chromatograms:
    """Writes chromatograms of 64-bit times (minutes) and values, and keeps
    their offsets."""

    def __init__(self, compression: str) -> None:
        self.compression = compression
        self.time = _array_params(True, compression, _LINEAR, "MS:1000595", _MINUTE, _ARRAY_PARAM)
        # Summed intensities as intensities; an instrument channel's values
        # (temperatures, pressures) as the smooth series they are.
        self.counts = _array_params(True, compression, _SLOF, "MS:1000515", _COUNTS, _ARRAY_PARAM)
        self.values = _array_params(True, compression, _LINEAR, "MS:1000515", None, _ARRAY_PARAM)
        self.offsets: list[tuple[str, int]] = []

    def write(self, out: _Output, chrom_id: str, params: Sequence[str], time: np.ndarray, values: np.ndarray,
              value_params: _ArrayParams) -> None:
        offsets = np.array([0, len(time)], dtype=np.int64)
        scheme = _SLOF if value_params is self.counts else _LINEAR
        view, spans, numpressed = _encode([time, values], offsets, self.compression, [_LINEAR, scheme], 1)
        self.offsets.append((chrom_id, out.pos + len(_ITEM)))
        out.text(f'{_ITEM}<chromatogram index="{len(self.offsets) - 1}" id="{_attr(chrom_id)}" '
                 f'defaultArrayLength="{len(time)}">\n' + "".join(f"{_CHILD}{p}\n" for p in params))
        _write_arrays(out, [self.time, value_params], view, spans, numpressed, 0, _CHILD)
        out.text(f"{_ITEM}</chromatogram>\n")

    def index(self) -> str:
        """The chromatogram index entries."""
        return "".join(f'      <offset idRef="{_attr(c)}">{o}</offset>\n' for c, o in self.offsets)


def write_mzml(run: Run, path: str | os.PathLike[str], *, functions: Sequence[int] | None = None,
               ims: bool = False, compression: str = "zlib", threads: int | None = None,
               progress: Callable[[int], object] | None = None, scans: Scans = None, rt: Window | None = None,
               mz: Window | None = None, on_bad_scan: BadScans = "fail", drift: Window | None = None,
               centroid: bool = False, spectrum_type: str | None = None) -> None:
    """Write `run` to `path` as indexed mzML 1.1.

    functions:   the functions to export, in that order (default: every
                 function of ``run.functions``).
    ims:         read functions of 30-byte index records with drift times
                 (a third array); functions of 22-byte index records are
                 written as they are.
    compression: for every binary array: "zlib", "none", or "numpress"
                 or "numpress-zlib" (MS-Numpress, lossy: linear prediction
                 for m/z, drift and retention times, short logged float
                 for intensities, then zlib for the second).  An array whose
                 values Numpress cannot hold (NaN, say) is written exactly
                 instead, zlib-compressed with "numpress-zlib".
    drift:       (lo, hi) ms: only the records of this drift window, in
                 the functions read with drift times (implies ims).
    centroid:    one centroid per peak (`Run.spectra`), labelled so.
    spectrum_type: "profile" or "centroid": the label of every function's
                 spectra instead of what their records show.
    threads:     how many threads read and encode (default: every core
                 this process may use).
    progress:    called with the number of scans just written, after each
                 batch.
    scans, rt, mz: what to read of each function, as for `Run.spectra`:
                 the spectra written are those of the scans selected, with
                 only their peaks inside `mz`.
    on_bad_scan: "fail", or "skip": scans that cannot be read are left
                 out, each named by a userParam "skipped scan" of the run,
                 and a `BadScansSkipped` warning per function lists them.

    Every function's scans are selected, and its files opened, before
    anything is written: a run that grows or is rewritten meanwhile gives a
    file of one moment of it, or a `FormatError`, never a count that
    disagrees with the spectra written.

    Raises IndexError for a function the run does not list, ValueError for
    a function listed twice or an unknown compression, and what reading the
    run raises.  A failed export leaves an incomplete file behind.
    """
    if compression not in COMPRESSIONS:
        raise ValueError(f"mzML compression must be one of {', '.join(COMPRESSIONS)}, not {compression!r}")
    n_threads = _threads(threads)
    ims = bool(ims) or drift is not None
    skipped: list[BadScansSkipped] = []
    plan = _plan(run, functions, ims, scans, rt, mz, n_threads, on_bad_scan, skipped, drift, bool(centroid),
                 spectrum_type)
    for warning in skipped:
        warnings.warn(warning, stacklevel=2)
    channels = run.channels
    mixed = any(f.corrected for f in plan) and any(not f.corrected for f in plan)
    with open(path, "wb", buffering=1 << 20) as file:
        out = _Output(file)
        out.text(_header(run, plan, sum(len(f.scans) for f in plan), skipped, bool(centroid)))

        written = 0
        spectra = []
        for func in plan:
            writer = _Spectra(func, compression, mixed and not func.corrected)
            for batch in func.batches:
                writer.write(out, batch, written, n_threads)
                written += len(batch)
                if progress is not None and len(batch):
                    progress(len(batch))
            spectra.append(writer)
        out.text("      </spectrumList>\n")

        chroms = _Chromatograms(compression)
        if spectra or channels:
            out.text(f'      <chromatogramList count="{len(spectra) + len(channels)}" '
                     f'defaultDataProcessingRef="{_PROCESSING}">\n')
            for writer in spectra:
                time = np.concatenate([np.empty(0), *writer.rt])
                tic = np.concatenate([np.empty(0), *writer.tic])
                chroms.write(out, f"TIC function={writer.func.number}", [_cv("MS:1000235")], time, tic, chroms.counts)
            for channel in channels:
                trace = run.channel(channel.index)
                kind = _CHANNEL_TYPES.get(channel.units.strip().lower(), "MS:1000626")
                params = [_cv(kind), _user("channel name", channel.name), _user("units", channel.units)]
                chroms.write(out, f"channel={channel.index}", params, trace.rt_min, trace.intensity, chroms.values)
            out.text("      </chromatogramList>\n")
        out.text("    </run>\n  </mzML>\n")

        index_offset = out.pos + 2
        out.text('  <indexList count="2">\n    <index name="spectrum">\n')
        for writer in spectra:
            out.text(writer.index())
        out.text('    </index>\n    <index name="chromatogram">\n' + chroms.index())
        out.text(f"    </index>\n  </indexList>\n  <indexListOffset>{index_offset}</indexListOffset>\n"
                 "  <fileChecksum>")
        out.text(f"{out.hexdigest()}</fileChecksum>\n</indexedmzML>\n")
