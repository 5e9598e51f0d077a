"""The extension's two initialisation hooks: Python 3.15 imports it through
the export hook, and the classic hook, which earlier versions and other
loaders use, gives an equal module."""

import ctypes
import importlib.util
import io
import sys

import pytest

from molbrook import native

SDF = b"first\n  prog\n\n> <ID>\n1\n\n$$$$\nsecond\n  prog\n\n> <ID>\n2\n\n$$$$\n"

# Already loaded by the import: dlopen hands back the same library.
library = ctypes.PyDLL(native.__file__)
api = ctypes.pythonapi


def hook(name):
    """What the hook `name` of the extension returns, as an address."""
    function = getattr(library, name)
    function.restype = ctypes.c_void_p
    return function()


def token(module):
    """The module's token: the slot array or definition it was made from."""
    api.PyModule_GetToken.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.c_void_p)]
    found = ctypes.c_void_p()
    assert api.PyModule_GetToken(module, ctypes.byref(found)) == 0
    return found.value


@pytest.fixture(scope="module")
def classic():
    """A second module from the same file, made and run as a classic loader
    does with what PyInit_native returns."""
    definition = hook("PyInit_native")
    spec = importlib.util.spec_from_file_location(native.__name__, native.__file__)
    create = api.PyModule_FromDefAndSpec2
    create.restype = ctypes.py_object
    create.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    module = create(definition, spec, sys.api_version)
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    assert api.PyModule_ExecDef(module, definition) == 0
    return module


@pytest.mark.skipif(sys.version_info < (3, 15), reason="the export hook is new in Python 3.15")
def test_import_goes_through_the_export_hook(classic):
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    assert api.PyModule_GetDef(native) is None
    assert api.PyModule_GetDef(classic) == hook("PyInit_native")
    # Either way the token is the definition, by which the classes find
    # their module's state.
    assert token(native) == token(classic) == hook("PyInit_native")


def observed(module):
    """What the module's names are and do, through its own functions."""
    blocks = list(module.parse_sdf(io.BytesIO(SDF)))
    out = io.BytesIO()
    with module.sdf_writer(out) as writer:
        writer.write(module.SDBlock(blocks[1].title + b"\n\n\n$$$$\n"))
    written = module.write_sdf(out, blocks)
    kinds = {name: type(getattr(module, name)).__name__ for name in module.__all__}
    return kinds, module.__version__, [b.to_dict() for b in blocks], written, out.getvalue()


def test_the_classic_hook_gives_an_equal_module(classic):
    assert classic.__all__ == native.__all__
    assert observed(classic) == observed(native)
    assert observed(native)[-1] == b"second\n\n\n$$$$\n" + SDF
