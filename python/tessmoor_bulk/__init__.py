"""Whole-function reads of .raw acquisition directories as numpy arrays.

`tessmoor_bulk` is the array layer over the same reader core as the module
`tessmoor`: a `Run` answers with numpy arrays that own the memory the core
decoded into, reads whole functions per call on several threads with the
interpreter lock released, and gives values bit for bit those of `tessmoor`::

    import tessmoor_bulk
    run = tessmoor_bulk.Run("examples/sample.raw")
    batch = run.spectra(1)          # Spectra: flat mz/intensity plus offsets
    tic = run.tic(1)                # Chromatogram: rt_min, intensity
    tessmoor_bulk.export(run, "sample.mzML", compression="numpress-zlib")

Errors name what they concern: a missing file raises FileNotFoundError
(with its filename), another OS error an OSError, a malformed file or scan
`FormatError` (a RuntimeError), a function or scan that does not exist
IndexError, a result larger than memory MemoryError; `InternalError` is
raised only for a fault of tessmoor_bulk itself.
"""

from typing import TYPE_CHECKING

from ._check import CheckReport, Problem
from ._export import export
from ._native import FormatError, InternalError
from ._results import Chromatogram, Mobilogram, Spectra, Spectrum
from ._run import BadScansSkipped, LockMass, Run, SpectraBatches

__all__ = ["Run", "LockMass", "Spectrum", "Spectra", "Chromatogram", "Mobilogram", "SpectraBatches",
           "CheckReport", "Problem", "FormatError", "InternalError", "BadScansSkipped", "export"]

if TYPE_CHECKING:
    __version__: str
else:
    def __getattr__(name):
        # __version__ looked up on first use: importing importlib.metadata
        # would lengthen every import of the package noticeably.  (Hidden
        # from type checkers, for which a module __getattr__ would make every
        # misspelt name a str.)
        if name == "__version__":
            from ._version import version

            globals()["__version__"] = version
            return version
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
