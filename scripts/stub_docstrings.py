"""Writes the docstrings of the module tessmoor into its stub.

The module's docstrings live in one place, the C++ of its binding; the stub
package python/tessmoor-stubs carries them too, for editors that show
documentation from stubs.  This script copies each class's, method's and
property's runtime docstring over the stub's, so that the stub never needs
editing by hand for them:

    PYTHONPATH=build/dev python scripts/stub_docstrings.py          # rewrite
    PYTHONPATH=build/dev python scripts/stub_docstrings.py --check  # exit 1 if stale

The tests run the check.
"""

from __future__ import annotations

import ast
import sys
from pathlib import Path

import tessmoor

STUB = Path(__file__).resolve().parent.parent / "python" / "tessmoor-stubs" / "__init__.pyi"


def documented(tree: ast.Module):
    """(runtime docstring, node) of every class, method and property of the
    stub that the module documents (not the dunder slots)."""
    for node in tree.body:
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(tessmoor, node.name)
        yield cls.__doc__, node
        for member in node.body:
            if isinstance(member, ast.FunctionDef) and not member.name.endswith("__"):
                yield getattr(cls, member.name).__doc__, member


def render(doc: str, indent: str) -> list[str]:
    """A docstring as the stub writes one: its text between triple quotes,
    lines after the first indented as the body they belong to."""
    lines = doc.replace("\\", "\\\\").replace('"""', '\\"\\"\\"').split("\n")
    out = [f'{indent}"""{lines[0]}']
    out += [f"{indent}{line}" if line else "" for line in lines[1:]]
    out[-1] += '"""'
    return out


def with_runtime_docstrings(text: str) -> str:
    tree = ast.parse(text)
    lines = text.split("\n")
    edits = []
    for doc, node in documented(tree):
        first = node.body[0]
        indent = " " * first.col_offset if node.body else ""
        new = render(doc or "", indent)
        if isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant) and isinstance(first.value.value, str):
            edits.append((first.lineno - 1, first.end_lineno, new))
        else:  # no docstring yet: one goes in front of the body
            edits.append((first.lineno - 1, first.lineno - 1, new))
    for start, end, new in sorted(edits, reverse=True):
        lines[start:end] = new
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    text = STUB.read_text()
    want = with_runtime_docstrings(text)
    if "--check" in argv:
        if want != text:
            print(f"{STUB}: docstrings differ from the module's; run {Path(__file__).name}", file=sys.stderr)
            return 1
        return 0
    STUB.write_text(want)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
