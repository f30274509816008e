"""The optional dependencies, imported when a feature first needs them."""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, extra: str, feature: str) -> ModuleType:
    """`module`, or an ImportError that names the extra which installs it."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        package = module.partition(".")[0]
        raise ImportError(f"{feature} needs {package} ({e}): pip install 'tessmoor[{extra}]'",
                          name=module) from e
