"""Directives that take the reference pages from the code itself.

``.. tessmoor-module::`` documents the extension module ``tessmoor``: each
class, method and property with its own docstring, exactly as Python shows
it, and with the types of its stub (``python/tessmoor-stubs``), in the
stub's order.  A name that the module has and the stub lacks, or whose
parameters differ between the two, is a warning, and so a failed build.

``.. tessmoor-help:: [COMMAND]`` shows what ``tessmoor [COMMAND] --help``
prints, so that the reference cannot drift from the parser.

``.. tessmoor-run:: ARGS...`` runs ``tessmoor ARGS...`` while the page is
read, in the scratch directory of the guide's examples (where
``examples/sample.raw`` is the bundled sample run), and shows the command
with what it printed.  A command whose exit status is not the expected one
(``:returncode:``, default 0) fails the build, so these examples are tested
by every build.
"""

from __future__ import annotations

import ast
import contextlib
import inspect
import io
import os
import shlex
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import directives
from docutils.statemachine import StringList
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

import tessmoor

from tessmoor_bulk.cli import main

logger = logging.getLogger(__name__)

STUB = Path(__file__).resolve().parents[2] / "python" / "tessmoor-stubs" / "__init__.pyi"

# argparse wraps its help to the terminal's width, and colours it where the
# environment asks for colours: the pages get a fixed width and no colour.
CLI_ENVIRONMENT = {"COLUMNS": "80", "PYTHON_COLORS": "0", "NO_COLOR": "1", "FORCE_COLOR": None}


def run_cli(argv: list[str]) -> tuple[int, str, str]:
    """Runs the command line in the scratch directory; (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    here = os.getcwd()
    saved = {name: os.environ.get(name) for name in CLI_ENVIRONMENT}
    try:
        _set_environment(CLI_ENVIRONMENT)
        os.chdir(os.environ["TESSMOOR_DOCS_SCRATCH"])
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = main(argv)
    finally:
        os.chdir(here)
        _set_environment(saved)
    return status, out.getvalue(), err.getvalue()


def _set_environment(values: dict[str, str | None]) -> None:
    for name, value in values.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value


class ModuleDirective(SphinxDirective):
    def run(self) -> list[nodes.Node]:
        self.env.note_dependency(str(STUB))
        lines = StringList()
        for line in self.reference():
            lines.append(line, str(STUB))
        container = nodes.container()
        self.state.nested_parse(lines, self.content_offset, container)
        return container.children

    def reference(self) -> list[str]:
        stub = ast.parse(STUB.read_text(encoding="utf-8"))
        classes = {c.name: c for c in stub.body if isinstance(c, ast.ClassDef)}
        out: list[str] = []
        for name in tessmoor.__all__:
            cls = getattr(tessmoor, name)
            if name not in classes:
                self.warn(f"tessmoor.{name} has no stub")
                out += [f".. py:class:: {name}", "", *_indent(_doc(cls)), ""]
                continue
            members = {m.name: m for m in classes[name].body if isinstance(m, ast.FunctionDef)}
            new = members.pop("__new__", None)
            signature = self.signature(name, cls, new) if new else ""
            out += [f".. py:class:: {name}{signature}"]
            if _decorated(classes[name], "final"):
                out += ["   :final:"]
            out += ["", *_indent(_doc(cls)), ""]
            for attr in vars(cls):
                if not attr.startswith("_") and attr not in members:
                    self.warn(f"tessmoor.{name}.{attr} has no stub")
            for member_name, member in members.items():
                live = getattr(cls, member_name, None)
                if live is None:
                    self.warn(f"the stub of tessmoor.{name} has {member_name}, the module has not")
                    continue
                if _decorated(member, "property"):
                    out += [f"   .. py:property:: {member_name}", f"      :type: {ast.unparse(member.returns)}", ""]
                else:
                    signature = self.signature(f"{name}.{member_name}", live, member)
                    out += [f"   .. py:method:: {member_name}{signature}", ""]
                out += [*_indent(_doc(live), 6), ""]
        return out

    def signature(self, where: str, live: object, stub: ast.FunctionDef) -> str:
        """The stub's parameters and return type, once they agree with the
        parameter names of the module's own text signature."""
        params = stub.args.args[1:]  # without self or cls
        text = ", ".join(a.arg + (f": {ast.unparse(a.annotation)}" if a.annotation else "") for a in params)
        try:
            names = list(inspect.signature(live).parameters)
        except (TypeError, ValueError):
            names = None
        if names is not None and names[:1] in (["self"], ["cls"]):
            names = names[1:]
        if names is not None and names != [a.arg for a in params]:
            self.warn(f"tessmoor.{where}: the module takes ({', '.join(names)}), the stub "
                      f"({', '.join(a.arg for a in params)})")
        returns = stub.returns
        if returns is None or stub.name == "__new__":
            return f"({text})"
        return f"({text}) -> {ast.unparse(returns)}"

    def warn(self, message: str) -> None:
        logger.warning(message, location=self.get_location())


def _decorated(node: ast.ClassDef | ast.FunctionDef, name: str) -> bool:
    return any(isinstance(d, ast.Name) and d.id == name for d in node.decorator_list)


def _doc(obj: object) -> list[str]:
    return (inspect.getdoc(obj) or "").splitlines()


def _indent(lines: list[str], by: int = 3) -> list[str]:
    return [" " * by + line if line else "" for line in lines]


class _CliDirective(SphinxDirective):
    def show(self, argv: list[str], expected: int) -> list[nodes.Node]:
        status, out, err = run_cli(argv)
        if status != expected:
            raise self.error(f"'tessmoor {shlex.join(argv)}' exited with {status}, not {expected}:\n{err}")
        text = f"$ tessmoor {shlex.join(argv)}\n{out}{err}".rstrip("\n")
        block = nodes.literal_block(text, text)
        block["language"] = "console"
        return [block]


class HelpDirective(_CliDirective):
    optional_arguments = 1

    def run(self) -> list[nodes.Node]:
        return self.show([*self.arguments, "--help"], 0)


class RunDirective(_CliDirective):
    required_arguments = 1
    final_argument_whitespace = True
    option_spec = {"returncode": directives.nonnegative_int}

    def run(self) -> list[nodes.Node]:
        return self.show(shlex.split(self.arguments[0]), self.options.get("returncode", 0))


def setup(app):  # noqa: ANN001, ANN201 (Sphinx's extension entry point)
    app.add_directive("tessmoor-module", ModuleDirective)
    app.add_directive("tessmoor-help", HelpDirective)
    app.add_directive("tessmoor-run", RunDirective)
    return {"parallel_read_safe": False, "parallel_write_safe": True}
