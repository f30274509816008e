"""pytest for scripts/sanitize-pytest.sh, with numpy imported first while
LeakSanitizer looks away.

numpy 2 leaks about 3 KB of its own objects when it is imported (the
promoters of its string ufuncs), which would fail every sanitized run that
imports tessmoor_bulk.  LeakSanitizer never reports what was allocated while
it was disabled on the allocating thread, so only numpy's import is
excused; everything after it, the whole test suite, is checked.  (A
suppression cannot name numpy: the interpreter has no frame pointers, so
the stacks that LeakSanitizer records stop inside CPython.)
"""

import ctypes
import sys

lsan = ctypes.CDLL(None)
lsan.__lsan_disable()
try:
    import numpy  # noqa: F401
finally:
    lsan.__lsan_enable()

import pytest  # noqa: E402

sys.exit(pytest.main(sys.argv[1:]))
