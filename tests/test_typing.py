"""The types shipped with the packages, against the modules at run time.

mypy and stubtest (scripts/typecheck.sh) check most of it; these tests
cover what they cannot see: the parameters of nanobind's functions, which
inspect cannot read, the docstrings of the stubs of tessmoor, and whether
the arrays have the dtypes that the types promise.
"""

import ast
import importlib.util
import pickle
import re
import sys
from pathlib import Path

import numpy as np
import pytest

import tessmoor
import typing_usage
from tessmoor_bulk import Spectra, Spectrum, _native

REPO = Path(__file__).resolve().parent.parent
SAMPLE = REPO / "examples" / "sample.raw"


def test_usage_file_runs_on_the_sample():
    typing_usage.reader(str(SAMPLE))
    typing_usage.bulk(SAMPLE, ims=True)


def test_generic_results_keep_their_slots_and_pickle():
    # Spectrum[None](...) builds a Spectrum, and typing tries to set
    # __orig_class__ on it: it must stay without a __dict__.
    mz, intensity = np.arange(3.0), np.ones(3, np.float32)
    scan = Spectrum[None](1, 2, 0.5, mz, intensity)
    batch = Spectra[typing_usage.F64](1, np.array([2]), np.array([0.5]), np.array([0, 3]), mz, intensity, mz)
    for result in (scan, batch, batch[0], batch[:1]):
        assert type(result) in (Spectrum, Spectra) and not hasattr(result, "__dict__")
        with pytest.raises(AttributeError):
            result.func = 3
        back = pickle.loads(pickle.dumps(result))
        assert type(back) is type(result) and repr(back) == repr(result)


def _stub(*parts):
    """A stub file as installed (site-packages) or, for a development
    build, in the source tree."""
    for base in [*map(Path, sys.path), REPO / "python"]:
        if base.joinpath(*parts).is_file():
            return ast.parse(base.joinpath(*parts).read_text())
    pytest.fail(f"no {'/'.join(parts)} on sys.path")


def _defs(tree):
    """(dotted name, node) of every class and function of a stub."""
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            yield node.name, node
        if isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    yield f"{node.name}.{member.name}", member


def _runtime(module, dotted):
    obj = module
    for name in dotted.split("."):
        obj = getattr(obj, name)
    return obj


def test_tessmoor_stub_has_the_module_s_docstrings():
    # The module's docstrings have one source, the C++ of its binding; the
    # stub's are written from them by scripts/stub_docstrings.py.
    spec = importlib.util.spec_from_file_location("stub_docstrings", REPO / "scripts" / "stub_docstrings.py")
    script = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(script)
    # The stub as installed (a wheel's tests have no source tree beside them).
    text = next(base.joinpath("tessmoor-stubs", "__init__.pyi").read_text()
                for base in [*map(Path, sys.path), REPO / "python"]
                if base.joinpath("tessmoor-stubs", "__init__.pyi").is_file())
    assert script.with_runtime_docstrings(text) == text, "run scripts/stub_docstrings.py"
    # Every class, method and property has one.
    assert all(doc for doc, _ in script.documented(ast.parse(text)))


def _parameters(fn):
    a = fn.args
    return ([p.arg for p in a.posonlyargs], [p.arg for p in a.args], [p.arg for p in a.kwonlyargs],
            a.vararg is not None, a.kwarg is not None)


def _nb_parameters(text):
    """The parameters of a nanobind signature ("def f(a: T, *, b: U) -> R"),
    as _parameters gives them: its annotations are not always Python
    (ndarray[dtype=int64, shape=(*)]), so the names alone are parsed."""
    depth, part, names = 0, "", []
    for ch in text[text.index("(") + 1:]:
        if depth == 0 and ch in ",)":
            if part.strip():
                names.append(re.match(r"\**\w*|/", part.strip()).group())
            if ch == ")":
                break
            part = ""
            continue
        depth += (ch in "([{") - (ch in ")]}")
        part += ch
    return _parameters(ast.parse(f"def f({', '.join(names)}): ...").body[0])


def test_native_stub_has_the_bindings_parameters():
    # nanobind functions are not Python functions: stubtest finds them but
    # cannot read their parameters.  Each carries its signature as text.
    checked = set()
    tree = ast.parse((Path(_native.__file__).parent / "_native.pyi").read_text())
    for name, node in _defs(tree):
        runtime = _runtime(_native, name)
        if isinstance(node, ast.FunctionDef) and hasattr(runtime, "__nb_signature__"):
            (text, _, _), = runtime.__nb_signature__
            assert _parameters(node) == _nb_parameters(text), name
            checked.add(name)
    # Every function of the module, and every method of its classes, has
    # its stub.
    bound = {name for name, obj in vars(_native).items() if hasattr(obj, "__nb_signature__")}
    for cls in (obj for obj in vars(_native).values() if isinstance(obj, type) and obj.__module__.startswith(_native.__name__)):
        bound |= {f"{cls.__name__}.{name}" for name, obj in vars(cls).items()
                  if hasattr(obj, "__nb_signature__") and name not in ("__init__", "__new__")}
    assert checked == bound
