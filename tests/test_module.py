"""The native module on its own, and the exception classes it defines for the package."""

import json
import os
import pickle
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import molbrook
from molbrook import native

# Imports molbrook.native under a bare package, so that the package's
# __init__ (which imports the rest of it) does not run, uses every name the
# module exports, and reports what got imported.
STANDALONE = r"""
import importlib.util, io, json, sys, types

package = types.ModuleType("molbrook")
package.__path__ = importlib.util.find_spec("molbrook").submodule_search_locations
sys.modules["molbrook"] = package
import molbrook.native as native

errors = {}
for name in native.__all__:
    value = getattr(native, name)
    if isinstance(value, type) and issubclass(value, Exception):
        try:
            raise value("message")
        except value as caught:
            errors[name] = [type(caught).__module__, [base.__name__ for base in type(caught).__mro__[1:3]]]
raised = []
bad = native.SDBlock("t\n\n\n  x  y\nM  END\n> x\n\n$$$$\n")
for attempt in (lambda: bad.get("x"), bad.ctable):
    try:
        attempt()
    except ValueError as error:
        raised.append(type(error).__name__)
out = io.StringIO()
native.write_sdf(out, native.parse_sdf(io.StringIO("t\n\n\nM  END\n> <x>\n1\n\n$$$$\n")))
table = native._TableReader(
    native.SDBlock.from_sdf(out.getvalue()),
    names=None,
    title=None,
    types={},
    batch_rows=0,
    table_type=native._RecordTable,
    molblock=None,
    block=None,
)
print(json.dumps([errors, raised, table.read_all().num_rows, sorted(m for m in sys.modules if "molbrook" in m)]))
"""

# By their names in the native module: the connection-table errors are
# private there, published by molbrook.ctable.
CTABLE = ["CTableError", "ValueError"]
ERRORS = {
    "MalformedRecordError": ["molbrook", ["ValueError", "Exception"]],
    "_CTableError": ["molbrook.ctable", ["ValueError", "Exception"]],
    "_MalformedCTableError": ["molbrook.ctable", CTABLE],
    "_IndicesDuplicateError": ["molbrook.ctable", CTABLE],
    "_IndicesMismatchError": ["molbrook.ctable", CTABLE],
    "_IndicesOutOfOrderError": ["molbrook.ctable", CTABLE],
}


def test_native_module_stands_alone():
    root = str(Path(molbrook.__file__).resolve().parents[1])
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([root, os.environ.get("PYTHONPATH", "")])}
    done = subprocess.run([sys.executable, "-c", STANDALONE], env=env, capture_output=True, text=True, check=True)
    assert json.loads(done.stdout) == [ERRORS, ["MalformedRecordError", "MalformedCTableError"], 1,
                                       ["molbrook", "molbrook.native"]]


@pytest.mark.parametrize("attribute", ERRORS)
def test_errors_are_the_packages_classes(attribute):
    cls, name = getattr(native, attribute), attribute.lstrip("_")
    assert getattr(sys.modules[ERRORS[attribute][0]], name) is cls is getattr(molbrook, name) and cls.__doc__
    error = pickle.loads(pickle.dumps(cls("message")))
    assert type(error) is cls and repr(error) == f"{name}('message')"


def test_version_and_module_made_objects():
    pyproject = tomllib.loads((Path(__file__).resolve().parents[1] / "pyproject.toml").read_text())
    assert native.__version__ == pyproject["project"]["version"]
    for name in ("_SDBlockIterator", "_SDRecordIterator", "_SDNameIterator", "_SDFWriter"):
        with pytest.raises(TypeError):
            getattr(native, name)()
