"""The C-API boundary: an optional attribute is absent only when its lookup
raises AttributeError; any other error of the lookup (KeyboardInterrupt
included) propagates instead of sending the object down another path."""

import pytest

from molbrook import native, write_sdf
from molbrook.native import SDBlock, parse_sdf

BLOCK = SDBlock(b"t\n$$$$\n")


class Interrupted(BaseException):
    """Stands for KeyboardInterrupt, which would stop pytest itself."""


def raising(name, error):
    """An object whose attribute `name` raises `error` when looked up."""

    def lookup(self, attribute):
        if attribute == name:
            raise error
        raise AttributeError(attribute)

    return type("Hostile", (), {"__getattr__": lookup})()


# What looks an attribute up: (attribute, call of the hostile object)
LOOKUPS = {
    "parse_sdf read1": ("read1", lambda source: next(parse_sdf(source))),
    "from_lines read1": ("read1", lambda source: next(SDBlock.from_lines(source))),
    "replace_records items": ("items", lambda records: SDBlock(b"t\n$$$$\n").replace_records(records)),
    "SDBlock records items": ("items", lambda records: SDBlock("t", records=records)),
    "write_sdf write": ("write", lambda dest: write_sdf(dest, [BLOCK])),
}


@pytest.mark.parametrize("error", [Interrupted, OSError], ids=["interrupt", "OSError"])
@pytest.mark.parametrize("case", LOOKUPS)
def test_a_failing_lookup_propagates(case, error):
    name, call = LOOKUPS[case]
    with pytest.raises(error):
        call(raising(name, error("lookup failed")))


class Untestable:
    """An object whose truth cannot be told."""

    def __bool__(self):
        raise Interrupted("no truth")


def test_a_failing_truth_test_propagates(tmp_path):
    path = tmp_path / "one.sdf"
    path.write_bytes(b"t\n$$$$\n")
    with pytest.raises(Interrupted):
        native._open_index(str(path), on_title=Untestable())
