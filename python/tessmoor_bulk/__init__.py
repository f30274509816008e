"""Whole-function reads of .raw acquisition directories as numpy arrays.

`tessmoor_bulk` is the array layer over the same reader core as the module
`tessmoor`: a `Run` answers with numpy arrays that own the memory the core
decoded into, reads whole functions per call on several threads with the
interpreter lock released, and gives values bit for bit those of `tessmoor`::

    import tessmoor_bulk
    run = tessmoor_bulk.Run("examples/sample.raw")
    batch = run.spectra(1)          # Spectra: flat mz/intensity plus offsets
    tic = run.tic(1)                # Chromatogram: rt_min, intensity

Errors name what they concern: a missing file raises FileNotFoundError
(with its filename), another OS error an OSError, a malformed file or scan
`FormatError` (a RuntimeError), a function or scan that does not exist
IndexError.
"""

from ._native import FormatError
from ._results import Chromatogram, Spectra, Spectrum
from ._run import Run

__all__ = ["Run", "Spectrum", "Spectra", "Chromatogram", "FormatError"]
