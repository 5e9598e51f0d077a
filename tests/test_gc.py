"""Every object that holds Python objects takes part in garbage collection:
a reference cycle through it is freed by gc.collect()."""

import gc
import io
import os
import weakref

import pytest

from molbrook import CTable, SDBlock, parse_sdf, scan_table, sdf_writer

SDF = "mol\n  prog\n\n  0  0  0  0  0  0            999 V2000\nM  END\n> <a>\n1\n\n$$$$\n"
CTAB = SDF.split("M  END")[0].splitlines()


class Block(SDBlock):
    pass


class Table(CTable):
    pass


class Text(str):
    pass


class Lines(list):
    pass


class Reader(io.StringIO):
    pass


class Sink:
    def write(self, data):
        return len(data)


def started(iterator):
    next(iterator)
    return iterator


def pipe_reader(tmp):
    """A path that cannot be mapped, so it is read through a descriptor."""
    read, write = os.pipe()
    os.write(write, (SDF * 2).encode())
    os.close(write)
    path = Text(f"/dev/fd/{read}")
    iterator = started(parse_sdf(path))
    os.close(read)
    return path, iterator


# Each case returns (holder, object): the holder, which has a __dict__, is
# referenced by the object, and gets the object back as an attribute.
CYCLES = {
    "record iterator": lambda tmp: (b := Block(SDF), b.iter_records()),
    "name iterator": lambda tmp: (b := Block(SDF), iter(b)),
    "block iterator, file object": lambda tmp: (f := Reader(SDF), started(parse_sdf(f))),
    "block iterator, lines": lambda tmp: (lines := Lines(SDF.splitlines(True)), started(SDBlock.from_lines(lines))),
    "block iterator, str in memory": lambda tmp: (s := Text(SDF), started(SDBlock.from_sdf(s))),
    "block iterator, path not yet opened": lambda tmp: (p := Text(tmp / "x.sdf"), parse_sdf(p)),
    "block iterator, path read through a descriptor": pipe_reader,
    "writer, file object": lambda tmp: (f := Sink(), sdf_writer(f)),
    "writer, path": lambda tmp: (p := Text(tmp / "y.sdf"), sdf_writer(p)),
    "CTable subclass": lambda tmp: (t := Table(CTAB), t),
    "table scan, iterable of blocks": lambda tmp: (blocks := Lines([Block(SDF)] * 3), started(scan_table(blocks, ["a"]))),
    "table scan, file object": lambda tmp: (f := Reader(SDF * 3), started(scan_table(f, ["a"], batch_rows=1))),
}


@pytest.mark.parametrize("build", CYCLES.values(), ids=CYCLES.keys())
def test_cycle_is_collected(build, tmp_path):
    (tmp_path / "x.sdf").write_text(SDF)
    holder, obj = build(tmp_path)
    holder.cycle = obj
    holder.witness = witness = type("Witness", (), {})()
    freed = weakref.ref(witness)
    del holder, obj, witness
    gc.collect()
    assert freed() is None
