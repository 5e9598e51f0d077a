"""Every public name documents itself: a docstring, a Parameters section
where it takes parameters (Attributes for the records the package hands
back; none for a class whose docstring says what it is "Made by"), and stub docstrings that agree with the runtime's (stubtest checks
the signatures)."""

from __future__ import annotations

import ast
import inspect

import pytest

import molbrook.native
from docs_examples import REPOSITORY, public_names

PUBLIC = public_names()


def takes_parameters(value: object) -> bool:
    try:
        signature = inspect.signature(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):  # a class made only by the package
        return False
    return any(name not in ("self", "cls") for name in signature.parameters)


def missing_sections(name: str, value: object) -> str | None:
    doc = inspect.getdoc(value)
    if not doc:
        return "no docstring"
    if isinstance(value, type) and (issubclass(value, BaseException) or "Made by `" in doc):
        return None  # an error, or a class the package makes and hands out
    if not takes_parameters(value):
        return None
    wanted = ("\nParameters\n----------", "\nAttributes\n----------") if isinstance(value, type) \
        else ("\nParameters\n----------",)
    return None if any(section in f"\n{doc}" for section in wanted) else "no Parameters section"


def members(value: object) -> list[tuple[str, object]]:
    if not isinstance(value, type):
        return []
    return [(name, member) for name, member in vars(value).items()
            if not name.startswith("_") and (callable(member) or isinstance(member, property))]


@pytest.mark.parametrize("name", sorted(PUBLIC))
def test_public_name_is_documented(name: str) -> None:
    problem = missing_sections(name, PUBLIC[name])
    assert problem is None, f"{name}: {problem}"


@pytest.mark.parametrize("name", sorted(PUBLIC))
def test_public_members_have_docstrings(name: str) -> None:
    bare = [member for member, value in members(PUBLIC[name]) if not inspect.getdoc(value)]
    assert not bare, f"{name}: no docstring on {', '.join(bare)}"


def stub_docstrings() -> dict[str, str]:
    """The docstrings native.pyi gives its classes and functions, by name."""
    tree = ast.parse((REPOSITORY / "python" / "molbrook" / "native.pyi").read_text(encoding="utf-8"))
    found = {}
    for node in ast.walk(tree):
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and ast.get_docstring(node):
            found[node.name] = inspect.cleandoc(ast.get_docstring(node) or "")
    return found


@pytest.mark.parametrize(("name", "stub"), sorted(stub_docstrings().items()))
def test_stub_docstring_agrees_with_runtime(name: str, stub: str) -> None:
    """A stub docstring (what editors show) is the runtime docstring's first
    paragraph, word for word: the text itself lives in the module."""
    runtime = inspect.getdoc(getattr(molbrook.native, name)) or ""
    first = runtime.split("\n\n")[0]
    assert " ".join(stub.split()) == " ".join(first.split()), f"{name}: stub {stub!r}, runtime {first!r}"
