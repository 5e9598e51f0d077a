"""Fails the build (a warning, an error under -W) when a public name of
molbrook's modules has no entry in the API reference, so that a name added
to `__all__` cannot go undocumented."""

from __future__ import annotations

import importlib
import pkgutil
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the tests use public_names() without Sphinx
    from sphinx.application import Sphinx

# The modules whose public names the reference documents. The compiled
# module's public types are molbrook's (SDBlock, CTable, SDIndex, ...).
MODULES = ("molbrook", "molbrook.ctable", "molbrook.dask", "molbrook.spark")


def public_names() -> dict[str, object]:
    """Every public name, as "module.name", with its object; a module that is
    not there (an extra not installed) contributes none."""
    found: dict[str, object] = {}
    for name in MODULES:
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue
        listed = getattr(module, "__all__", None)
        if listed is None:
            listed = [attr for attr in vars(module) if not attr.startswith("_")
                      and getattr(getattr(module, attr), "__module__", None) == name]
        found.update({f"{name}.{attr}": getattr(module, attr) for attr in listed if attr != "__version__"})
    return found


def resolved(name: str) -> object:
    try:
        return pkgutil.resolve_name(name)
    except (ImportError, AttributeError, ValueError):
        return None


def check(app: Sphinx, env: object) -> None:
    """A public name is documented under its own name or, re-exported as
    `molbrook.ctable`'s errors are by `molbrook`, under another."""
    from sphinx.util import logging

    logger = logging.getLogger(__name__)
    documented = set(app.env.domains["py"].objects)
    documented_objects = {id(resolved(name)) for name in documented}
    for name, value in sorted(public_names().items()):
        if name not in documented and id(value) not in documented_objects:
            logger.warning("public name %s has no entry in the API reference", name, type="molbrook")


def setup(app: Sphinx) -> dict[str, object]:
    app.connect("env-check-consistency", check)
    return {"parallel_read_safe": True}
