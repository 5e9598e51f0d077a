"""Every public name documents itself: a docstring; for every public
function, method and class that takes parameters, a numpy-style Parameters
section naming each of them (Attributes for the records the package hands
back; none for a class whose docstring says what it is "Made by"), and for
a function or method, naming nothing else and followed by an Examples
section. Methods and properties of the public classes and of the native
objects the package hands out are included, dunder methods not. And stub
docstrings agree with the runtime's (stubtest checks the signatures)."""

from __future__ import annotations

import ast
import inspect
import re

import pytest
from docs_examples import REPOSITORY, handed_out_types, public_names

import molbrook.native

PUBLIC = public_names()
PUBLIC.update(handed_out_types())

# A numpy-style section heading: its title, underlined by dashes.
HEADING = re.compile(r"^(?P<title>\S[^\n]*)\n-{3,}[ \t]*$", re.M)


def sections(doc: str) -> dict[str, str]:
    """The docstring's sections by title, each with its body."""
    found = list(HEADING.finditer(doc))
    ends = [heading.start() for heading in found[1:]] + [len(doc)]
    return {heading["title"].strip(): doc[heading.end():end] for heading, end in zip(found, ends)}


def described(body: str) -> set[str]:
    """The names a Parameters (or Attributes) section describes: its
    unindented lines, as `name : type`, `a, b : type` or `**options`."""
    names = set()
    for line in body.splitlines():
        if line and not line[0].isspace():
            names.update(name.strip().lstrip("*") for name in line.split(" : ")[0].split(","))
    return names


def parameters(value: object) -> list[str]:
    try:
        signature = inspect.signature(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):  # a class made only by the package
        return []
    return [name for name in signature.parameters if name not in ("self", "cls")]


def undocumented(value: object) -> str | None:
    """What the docstring lacks, or None."""
    doc = inspect.getdoc(value)
    if not doc:
        return "no docstring"
    if isinstance(value, type) and (issubclass(value, BaseException) or "Made by `" in doc):
        return None  # an error, or a class the package makes and hands out
    wanted = parameters(value)
    if not wanted:
        return None
    found = sections(doc)
    titles = ("Parameters", "Attributes") if isinstance(value, type) else ("Parameters",)
    if not any(title in found for title in titles):
        return f"no Parameters section (parameters {', '.join(wanted)})"
    named = set().union(*(described(found.get(title, "")) for title in titles))
    missing = [name for name in wanted if name not in named]
    if missing:
        return f"Parameters section misses {', '.join(missing)}"
    unknown = sorted(named - set(wanted)) if not isinstance(value, type) else []
    if unknown:  # a parameter renamed, or a paragraph that reads as one
        return f"Parameters section names what the signature lacks: {', '.join(unknown)}"
    if not isinstance(value, type) and "Examples" not in found:
        return "no Examples section"
    return None


def members(value: object) -> list[tuple[str, object]]:
    """The public methods and properties of a class and of its bases that
    molbrook defines (not object's, an exception's or a framework's); a
    dataclass's fields are its Attributes section's."""
    if not isinstance(value, type):
        return []
    found: dict[str, object] = {}
    for base in reversed(value.__mro__):
        if not base.__module__.startswith("molbrook"):
            continue
        for name, member in vars(base).items():
            if name.startswith("_"):
                continue
            if isinstance(member, (staticmethod, classmethod)):
                member = member.__func__
            if callable(member) or isinstance(member, property) or inspect.isgetsetdescriptor(member):
                found[name] = member
    return sorted(found.items())


def checked() -> dict[str, object]:
    """Every public name, and every public member of the public classes."""
    found = dict(PUBLIC)
    for name, value in PUBLIC.items():
        found.update({f"{name}.{member}": attribute for member, attribute in members(value)})
    return found


CHECKED = checked()


@pytest.mark.parametrize("name", sorted(CHECKED))
def test_public_callable_is_documented(name: str) -> None:
    problem = undocumented(CHECKED[name])
    assert problem is None, f"{name}: {problem}"


@pytest.mark.parametrize(("doc", "names"), [
    ("Parameters\n----------\npath : Path\n    A file.\nkey : str, optional\n    The key.\n", {"path", "key"}),
    ("Parameters\n----------\nwidth, height : int\n    Pixels.\n**options\n    On.\n", {"width", "height", "options"}),
    ("Parameters\n----------\npath : Path\n    A file.\n\nReturns\n-------\nkey : str\n", {"path"}),
    ("No sections.\n\n--\nnot a heading\n", set()),
    # A paragraph left inside the section reads as a parameter, which the
    # signature lacks: reported, as the site would show it as one.
    ("Parameters\n----------\npath : Path\n    A file.\n\nRead on this thread.\n", {"path", "Read on this thread."}),
])
def test_parameters_section_is_parsed(doc: str, names: set[str]) -> None:
    assert described(sections(doc).get("Parameters", "")) == names


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
