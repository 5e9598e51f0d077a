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

PYPROJECT = Path(__file__).resolve().parents[1] / "pyproject.toml"

# Imports molbrook.native under a bare package, so that the package's
# __init__ (which imports the rest of it) does not run, then uses every
# name the module exports and reports what got imported.
STANDALONE = r"""
import importlib.util, io, json, sys, types

package = types.ModuleType("molbrook")
package.__path__ = importlib.util.find_spec("molbrook").submodule_search_locations
sys.modules["molbrook"] = package
import molbrook.native as native

used = {}
for name in native.__all__:
    value = getattr(native, name)
    if isinstance(value, type) and issubclass(value, Exception):
        try:
            raise value("message")
        except value as caught:
            used[name] = [type(caught).__module__, [base.__name__ for base in type(caught).__mro__[1:3]]]

block = native.SDBlock("t\n\n\n  x  y\nM  END\n> x\n\n$$$$\n")
raised = []
for attempt in (lambda: block.get("x"), block.ctable):
    try:
        attempt()
    except ValueError as error:
        raised.append(type(error).__name__)
good = native.SDBlock("t\n\n\nM  END\n> <x>\n1\n\n")
out = io.StringIO()
native.write_sdf(out, native.parse_sdf(io.StringIO(str(good))))
table = native._TableReader(native.SDBlock.from_sdf(out.getvalue()), None, None, {}, 0, native._RecordTable)
print(json.dumps({"used": used, "raised": raised, "rows": table.read_all().num_rows,
                  "modules": sorted(name for name in sys.modules if name.startswith("molbrook"))}))
"""

CTABLE = ["CTableError", "ValueError"]
ERRORS = {
    "MalformedRecordError": ["molbrook", ["ValueError", "Exception"]],
    "CTableError": ["molbrook.ctable", ["ValueError", "Exception"]],
    "MalformedCTableError": ["molbrook.ctable", CTABLE],
    "IndicesDuplicateError": ["molbrook.ctable", CTABLE],
    "IndicesMismatchError": ["molbrook.ctable", CTABLE],
    "IndicesOutOfOrderError": ["molbrook.ctable", CTABLE],
}


def test_native_module_stands_alone():
    package_root = str(Path(molbrook.__file__).resolve().parents[1])
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([package_root, os.environ.get("PYTHONPATH", "")])}
    done = subprocess.run([sys.executable, "-c", STANDALONE], env=env, capture_output=True, text=True, check=True)
    report = json.loads(done.stdout)
    assert report == {
        "used": ERRORS,
        "raised": ["MalformedRecordError", "MalformedCTableError"],
        "rows": 1,
        "modules": ["molbrook", "molbrook.native"],
    }


@pytest.mark.parametrize("name", ERRORS)
def test_errors_are_the_packages_classes(name):
    cls = getattr(native, name)
    module = ERRORS[name][0]
    assert getattr(sys.modules[module], name) is cls and getattr(molbrook, name) is cls
    error = pickle.loads(pickle.dumps(cls("message")))
    assert type(error) is cls and repr(error) == f"{name}('message')"
    assert cls.__doc__


def test_module_attributes():
    assert native.__version__ == tomllib.loads(PYPROJECT.read_text())["project"]["version"]
    assert native.DEBUG_BUILD is False
    for name in ("_SDBlockIterator", "_SDRecordIterator", "_SDNameIterator", "_SDFWriter"):
        with pytest.raises(TypeError):
            getattr(native, name)()
