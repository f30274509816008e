"""The reader of .raw acquisition directories, one scan or channel per call.

`RawReader` opens a directory; the records it returns hold Python lists and
numbers, copied out on every access.  `tessmoor_bulk` reads the same files
as numpy arrays, whole functions at a time.

The module is a C extension and carries no annotations of its own: these
are its types, shipped as the stub-only package ``tessmoor-stubs``.  The
docstrings are the module's own, word for word (written from it by
scripts/stub_docstrings.py).
Indices are taken by ``__index__``, so numpy integers and bools serve too.
"""

from typing import SupportsIndex, final

__all__ = ["RawReader", "FunctionInfo", "Spectrum", "ImsSpectrum", "ChromChannel", "ChromPoint"]

@final
class RawReader:
    """Open a Waters MassLynx `.raw` directory and read its contents.

    Example::

        import tessmoor
        r = tessmoor.RawReader("/data/sample.raw")
        print(r.functions)
        spec = r.read_spectrum(1, 0)
        print(spec.mz[:5], spec.intensity[:5])"""

    # Only str: the reader takes neither bytes nor os.PathLike.
    def __new__(cls, path: str) -> RawReader: ...
    @property
    def functions(self) -> list[FunctionInfo]:
        """List of all acquisition functions in this .raw file."""
    @property
    def channels(self) -> list[ChromChannel]:
        """List of instrument chromatographic channels from `_CHROMS.INF`.

        Empty list if the file is absent."""
    def n_scans(self, func_index: SupportsIndex) -> int:
        """Number of scans in a function (1-based `func_index`)."""
    def retention_time(self, func_index: SupportsIndex, scan_index: SupportsIndex) -> float:
        """Retention time (minutes) for a scan.

        `func_index` is 1-based; `scan_index` is 0-based."""
    def read_spectrum(self, func_index: SupportsIndex, scan_index: SupportsIndex) -> Spectrum:
        """Decode a 1-D mass spectrum.

        Uses Encoding A for older Q-TOF functions and Encoding C for G2/G2-Si.
        For IMS data, this collapses the drift dimension; use `read_ims_spectrum`
        to obtain the full 2-D data.

        `func_index` is 1-based; `scan_index` is 0-based."""
    def read_ims_spectrum(self, func_index: SupportsIndex, scan_index: SupportsIndex) -> ImsSpectrum:
        """Decode a full IMS spectrum (m/z, drift time, intensity) for SYNAPT data.

        Only valid for Encoding B functions (IDX Variant B).  Returns a
        `RuntimeError` if the function uses Encoding A.

        `func_index` is 1-based; `scan_index` is 0-based."""
    def read_chrom(self, channel_index: SupportsIndex) -> list[ChromPoint]:
        """Read a chromatographic channel as a list of `ChromPoint` values.

        `channel_index` is 0-based (matches `ChromChannel.index`)."""

# The record classes below cannot be instantiated from Python: only the
# reader creates them.

@final
class FunctionInfo:
    """Metadata for a single acquisition function from `_FUNCTNS.INF`."""

    @property
    def index(self) -> int:
        """1-based function index."""
    @property
    def function_type(self) -> int:
        """Raw function type code (always 0x12 in known corpus)."""
    @property
    def scan_subtype(self) -> int:
        """Scan subtype byte; bit 7 set means lock-mass channel."""
    @property
    def cycle_time_s(self) -> float:
        """Total slot duration per scan cycle (seconds)."""
    @property
    def interscan_delay_s(self) -> float:
        """Idle time between end of one scan and start of the next (seconds)."""
    @property
    def scan_time_s(self) -> float:
        """Data collection time per scan (seconds)."""
    @property
    def tof_depth(self) -> int:
        """Number of TDC bins per pusher pulse."""
    @property
    def mz_low(self) -> float:
        """Acquisition m/z lower bound (Da)."""
    @property
    def mz_high(self) -> float:
        """Acquisition m/z upper bound (Da)."""
    @property
    def is_lock_mass(self) -> bool:
        """True if this is a lock-mass / reference channel (bit 7 of scan_subtype)."""

@final
class Spectrum:
    """A decoded 1-D mass spectrum (m/z vs intensity).

    Returned by `RawReader.read_spectrum()` for Encoding A and C functions."""

    @property
    def mz(self) -> list[float]:
        """Calibrated m/z values (Da)."""
    @property
    def intensity(self) -> list[float]:
        """Intensity values."""
    def __len__(self) -> int: ...

@final
class ImsSpectrum:
    """A decoded IMS spectrum: m/z, drift time, and intensity per ion.

    Returned by `RawReader.read_ims_spectrum()` for Encoding B (SYNAPT) functions."""

    @property
    def mz(self) -> list[float]:
        """Calibrated m/z values (Da)."""
    @property
    def drift_time_ms(self) -> list[float]:
        """Ion drift times (ms)."""
    @property
    def intensity(self) -> list[float]:
        """Intensity values (raw ion counts)."""
    def __len__(self) -> int: ...

@final
class ChromChannel:
    """Description of a single recorded chromatographic channel from `_CHROMS.INF`."""

    @property
    def index(self) -> int:
        """0-based index among data records."""
    @property
    def source_type(self) -> int:
        """Source device type (4 = BSM pump, 1 = column/sample device)."""
    @property
    def name(self) -> str:
        """Channel name decoded from Windows-1252."""
    @property
    def scale_f(self) -> float:
        """Scale factor from the `$CC$` spec string."""
    @property
    def units(self) -> str:
        """Engineering units (e.g. "%", "C", "bar")."""

@final
class ChromPoint:
    """A single (retention-time, value) sample from a `_CHROnnnn.DAT` file."""

    @property
    def rt_min(self) -> float:
        """Retention time (minutes)."""
    @property
    def value(self) -> float:
        """Channel value in the units given by `ChromChannel.units`."""
