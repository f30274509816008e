"""Imported at the start of every Python process of the sanitized test run
(scripts/sanitize-pytest.sh puts this folder first on PYTHONPATH), so that
LeakSanitizer reports what this project leaks and not what other libraries
leave behind by design.

Many libraries leak objects of their own when they are imported: numpy 2
about 3 KB (the promoters of its string ufuncs), dask.dataframe about 300 KB
(ufuncs it makes from Python functions), and CPython keeps a few constants of
every module it compiles from source.  So every import of a module that is
not this project's own runs while LeakSanitizer looks away.  It never
reports what was allocated while it was disabled on the allocating thread;
everything else (this project's modules, and everything done at run time,
by any library) is checked.  The processes the tests start (the command
line, process pools, Dask workers) inherit the preloaded runtime and this
file with it.

CPython's compiler also leaves a few constants behind (floats it parsed) when
code is compiled at run time, as pytest does; compile() runs with
LeakSanitizer looking away too.  This project's code never calls it.

tqdm starts a monitor thread with its first progress bar, even a disabled
one, and leaves it running at exit, where the objects on its stack count as
leaked.  The command line's bars do not need it, so it is switched off here.
polars keeps an object (48 bytes) made at its first conversion from numpy
arrays: that conversion is made once when polars is imported.

(Suppressions cannot name these libraries: the interpreter has no frame
pointers, so the stacks that LeakSanitizer records stop inside CPython.)
"""

import builtins
import contextlib
import ctypes
import importlib.abc
import importlib.machinery
import sys

_lsan = ctypes.CDLL(None)
_disable = getattr(_lsan, "__lsan_disable", None)
_enable = getattr(_lsan, "__lsan_enable", None)

@contextlib.contextmanager
def _paused():
    _disable()
    try:
        yield
    finally:
        _enable()


# This project's modules, and the test modules and their helpers.
OURS = ("tessmoor", "tessmoor_bulk", "rawwriter", "conftest", "typing_usage")
# Loaders made for one module each, whose exec_module can be wrapped on the
# instance (the built-in and frozen importers are shared classes).
FILE_LOADERS = (importlib.machinery.SourceFileLoader, importlib.machinery.SourcelessFileLoader,
                importlib.machinery.ExtensionFileLoader)


def _ours(name):
    top = name.partition(".")[0]
    return top in OURS or top.startswith("test")


class _Watch(importlib.abc.MetaPathFinder):
    """Wraps the loading of other libraries' modules; the finding is left to
    the other finders."""

    def find_spec(self, name, path, target=None):
        if _ours(name):
            return None
        for finder in sys.meta_path:
            if finder is self or not hasattr(finder, "find_spec"):
                continue
            spec = finder.find_spec(name, path, target)
            if spec is not None:
                break
        else:
            return None
        if not isinstance(spec.loader, FILE_LOADERS):
            return spec
        run = spec.loader.exec_module

        def exec_module(module):
            with _paused():
                run(module)
            if name == "tqdm":
                module.tqdm.monitor_interval = 0
            elif name == "polars":
                _warm_polars(module)

        spec.loader.exec_module = exec_module
        return spec


def _warm_polars(polars):
    """polars makes an object of its own at its first conversion from numpy
    and never frees it: made here, while LeakSanitizer looks away."""
    import numpy

    with _paused():
        polars.Series("warm", numpy.zeros(1))


def _compile(*args, _real=builtins.compile, **kwargs):
    with _paused():
        return _real(*args, **kwargs)


if _disable is not None:
    sys.meta_path.insert(0, _Watch())
    builtins.compile = _compile
