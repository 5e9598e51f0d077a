"""Compressed SD files: told by their first bytes, read as a stream with
the blocks of the plain file, written through open_writer, and damaged
files failing with the path named."""

import bz2
import contextlib
import gzip
import io
import lzma
import os
import random
import struct
import subprocess
import sys
import threading
from unittest import mock

import pytest

from conftest import CORPUS_FILES, HAS_FIFOS, corpus_params, fifo_with, zstd_module
from molbrook import _compression, _read_ahead, merge_records, native, parse_sdf, write_sdf
from molbrook.cli import main

SAMPLE = b"".join(b"mol %d\r\n  body\r\n\r\n> <ID>\r\n%d\r\n\r\n$$$$\r\n" % (i, i) for i in range(3000))


def zstd_compress(data):
    zstd = zstd_module()
    half = len(data) // 2  # two frames, read across
    return zstd.compress(data[:half]) + zstd.compress(data[half:])


COMPRESSORS = {
    "gzip": lambda data: gzip.compress(data, compresslevel=1),
    "gzip members": lambda data: gzip.compress(data[: len(data) // 3]) + gzip.compress(data[len(data) // 3:]),
    "bzip2": lambda data: bz2.compress(data, compresslevel=1),
    "xz": lambda data: lzma.compress(data, preset=0),
    "zstd": zstd_compress,
}


@pytest.fixture(params=["isal", "stdlib"])
def gzip_backend(request, monkeypatch):
    if request.param == "isal":
        pytest.importorskip("isal")
    else:
        monkeypatch.setitem(sys.modules, "isal.igzip_lib", None)  # the decompressor molbrook takes from isal


def blocks(path):
    return [str(b) for b in parse_sdf(str(path))], [bytes(b) for b in parse_sdf(os.fsencode(path), borrow=True)]


SMALL_CORPUS = [p for p in corpus_params() if p.values[0].stat().st_size < 2_000_000]


@pytest.mark.parametrize("path", SMALL_CORPUS)
@pytest.mark.parametrize("compressor", COMPRESSORS)
def test_compressed_copies_read_as_the_plain_file(tmp_path, path, compressor):
    packed = tmp_path / "copy.bin"  # told by content, not by name
    packed.write_bytes(COMPRESSORS[compressor](path.read_bytes()))
    assert blocks(packed) == blocks(path)


@pytest.mark.parametrize("compressor", COMPRESSORS)
def test_line_endings_across_chunks(tmp_path, gzip_backend, compressor):
    # CRLF, and a CR at a chunk's end with its LF in the next, read as
    # a plain file reads.
    data = SAMPLE.replace(b"body\r\n", b"body\r") + b"tail\r"
    plain, packed = tmp_path / "plain.sdf", tmp_path / "packed.sdf"
    plain.write_bytes(data)
    packed.write_bytes(COMPRESSORS[compressor](data))
    assert blocks(packed) == blocks(plain)


class Trickle(io.RawIOBase):
    """A file object that gives at most three bytes per read."""

    def __init__(self, data):
        self._data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        return self._data.readinto(memoryview(buffer)[:3])


@pytest.mark.parametrize("compressor", COMPRESSORS)
@pytest.mark.parametrize("stream", ["file object", "trickle", "pipe"])
def test_streams_that_cannot_be_reopened_are_told_by_their_first_bytes(tmp_path, compressor, stream):
    # Pipes and file objects are decompressed as they are read; a str path
    # still translates line endings.
    data = SAMPLE[:3000] if stream == "trickle" else SAMPLE
    packed = COMPRESSORS[compressor](data)
    expected = [bytes(b) for b in parse_sdf(io.BytesIO(data))]
    if stream == "pipe":
        if not HAS_FIFOS:
            pytest.skip("needs named pipes")
        with fifo_with(tmp_path, packed) as path:
            assert [str(b) for b in parse_sdf(str(path))] == [b.decode().replace("\r\n", "\n") for b in expected]
        return
    source = io.BytesIO(packed) if stream == "file object" else io.BufferedReader(Trickle(packed), 3)
    assert [bytes(b) for b in parse_sdf(source)] == expected
    with pytest.raises(EOFError) as raised:
        list(parse_sdf(io.BytesIO(packed[: len(packed) // 2])))
    assert "while decompressing" in raised.value.__notes__[-1]


LF_SAMPLE = b"".join(b"mol %d\n  body\n\n> <ID>\n%d\n\n$$$$\n" % (i, i) for i in range(300))
LF_BLOCKS = [bytes(b) for b in parse_sdf(io.BytesIO(LF_SAMPLE))]


def zstd_checked(data):
    zstd = zstd_module()
    if zstd.__name__ == "zstandard":
        return zstd.ZstdCompressor(write_checksum=True).compress(data)
    return zstd.compress(data, options={zstd.CompressionParameter.checksum_flag: 1})


def skippable(payload=b"written by a parallel compressor"):
    return struct.pack("<II", 0x184D2A5E, len(payload)) + payload


def halves(compress):
    middle = LF_SAMPLE.index(b"mol 150")
    return compress(LF_SAMPLE[:middle]), compress(LF_SAMPLE[middle:])


def corrupt(packed):
    middle = len(packed) // 2
    return packed[:middle] + bytes(b ^ 0x55 for b in packed[middle:middle + 16]) + packed[middle + 16:]


FORMATS = {"gzip": gzip.compress, "bzip2": bz2.compress, "xz": lzma.compress, "zstd": zstd_checked}
EVERY_FORMAT = [  # how the input is made from a compressor; None: it reads as LF_SAMPLE
    ("members", lambda c: b"".join(halves(c)), None),
    ("truncated", lambda c: c(LF_SAMPLE)[: len(c(LF_SAMPLE)) * 2 // 3], EOFError),
    ("header only", lambda c: c(LF_SAMPLE)[:12], EOFError),
    ("corrupt", lambda c: corrupt(c(LF_SAMPLE)), Exception),  # each decompressor its own error
    ("garbage after", lambda c: c(LF_SAMPLE) + b"garbage\n", OSError),
]
ONE_FORMAT = [
    ("gzip", "zero padding", lambda c: c(LF_SAMPLE) + bytes(1000), None),
    ("gzip", "padding, then garbage", lambda c: c(LF_SAMPLE) + bytes(8) + b"x", OSError),
    ("xz", "stream padding", lambda c: bytes(4).join(halves(c)) + bytes(8), None),
    ("xz", "padding of 3 bytes", lambda c: c(LF_SAMPLE) + bytes(3), OSError),
    ("zstd", "skippable frames", lambda c: skippable() + skippable(b"").join(halves(c)) + skippable(), None),
    ("zstd", "cut in a skippable frame", lambda c: c(LF_SAMPLE) + skippable()[:6], EOFError),
]
STRICT_CASES = [pytest.param(f, make, expected, id=f"{f}-{case}")
                for f in FORMATS for case, make, expected in EVERY_FORMAT]
STRICT_CASES += [pytest.param(f, make, expected, id=f"{f}-{case}") for f, case, make, expected in ONE_FORMAT]


@contextlib.contextmanager
def route_to(route, directory, data):
    """`data` as parse_sdf's source by `route`."""
    if route == "pipe":
        if not HAS_FIFOS:
            pytest.skip("needs named pipes")
        with fifo_with(directory, data) as path:
            yield os.fsencode(path)
        return
    if route in ("file object", "trickle"):
        yield io.BytesIO(data) if route == "file object" else io.BufferedReader(Trickle(data), 3)
        return
    path = directory / "input"
    path.write_bytes(data)
    # A small file is read ahead too when the threshold is lowered.
    smallest = 0 if route.endswith("read ahead") else _read_ahead.SMALLEST_READ_AHEAD
    with mock.patch.object(_read_ahead, "SMALLEST_READ_AHEAD", smallest):
        yield str(path) if route.startswith("str path") else os.fsencode(path)


def contents(blocks):
    return [str(b).encode() if isinstance(b.title, str) else bytes(b) for b in blocks]


@pytest.mark.parametrize("route", ["str path", "bytes path", "str path, read ahead", "bytes path, read ahead", "pipe",
                                   "file object", "trickle"])
@pytest.mark.parametrize("format, make, expected", STRICT_CASES)
def test_compressed_input_reads_whole_or_fails_naming_it(tmp_path, route, format, make, expected):
    # One rule for every route: what the format allows is read; a stream
    # that ends early or holds anything else fails, after the blocks before
    # the damage, never with a block made up from a cut one.
    with route_to(route, tmp_path, make(FORMATS[format])) as source:
        got = []
        if expected is None:
            got.extend(parse_sdf(source))
            assert contents(got) == LF_BLOCKS
            return
        with pytest.raises(expected) as raised:
            got.extend(parse_sdf(source))
        assert f"while decompressing {source!r}" in raised.value.__notes__
        if expected is not Exception:
            assert contents(got) == LF_BLOCKS[: len(got)]


@pytest.mark.parametrize("format", FORMATS)
def test_members_end_anywhere_in_the_reads(tmp_path, format):
    # Members of random sizes past the first megabyte read: each ends
    # within a read or at its edge, and what follows it is read from there.
    rng = random.Random(1)
    values = rng.randbytes(1_200_000).hex().encode()
    data = b"".join(b"mol\n> <V>\n%s\n\n$$$$\n" % values[i:i + 80] for i in range(0, len(values), 80))
    cuts = [0, *sorted(rng.sample(range(1, len(data)), 40)), len(data)]
    packed = b"".join(FORMATS[format](data[start:end]) for start, end in zip(cuts, cuts[1:]))
    assert len(packed) > 1 << 20
    path = tmp_path / "packed"
    path.write_bytes(packed)
    assert [bytes(b) for b in parse_sdf(os.fsencode(path))] == [bytes(b) for b in parse_sdf(io.BytesIO(data))]


def read_ahead_threads():
    return [t for t in threading.enumerate() if t.name.startswith("molbrook read-ahead")]


@pytest.mark.parametrize("threads", [True, False], ids=["worker thread", "no threads"])
def test_a_large_compressed_file_is_read_ahead_and_let_go_when_closed(tmp_path, monkeypatch, threads):
    # Decompressed by a worker thread, or by the reader itself where no
    # thread can start; closing the blocks part-way stops the worker and
    # closes the file.
    values = random.Random(2).randbytes(1_500_000).hex().encode()
    data = b"".join(b"mol\n> <V>\n%s\n\n$$$$\n" % values[i:i + 80] for i in range(0, len(values), 80))
    path = tmp_path / "large.sdf.gz"
    path.write_bytes(gzip.compress(data, compresslevel=1))
    assert path.stat().st_size >= _read_ahead.SMALLEST_READ_AHEAD
    if not threads:
        monkeypatch.setattr(threading.Thread, "start", mock.Mock(side_effect=RuntimeError))
    assert [bytes(b) for b in parse_sdf(os.fsencode(path))] == [bytes(b) for b in parse_sdf(io.BytesIO(data))]
    descriptors = len(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else None
    blocks = parse_sdf(str(path))
    next(blocks)
    assert len(read_ahead_threads()) == threads
    blocks.close()
    assert read_ahead_threads() == []
    if descriptors is not None:
        assert len(os.listdir("/proc/self/fd")) == descriptors


@pytest.mark.parametrize(
    "head, format",
    [
        (b"\x1f\x8b\x08", "gzip"),
        (bz2.compress(b"x"), "bzip2"),
        (bz2.compress(b""), "bzip2"),
        (b"BZh9 a title like any other\n$$$$\n", None),
        (lzma.compress(b"x"), "xz"),
        (b"\x28\xb5\x2f\xfd", "zstd"),
        (skippable(), "zstd"),
        (b"P*M", None),
        (b"\x1f", None),
        (b"", None),
        (b"t\n$$$$\n", None),
    ],
)
def test_compression_is_told_by_the_first_bytes(tmp_path, head, format):
    path = tmp_path / "file.sdf.gz"
    path.write_bytes(head)
    assert _compression.compression_of(path) == format


def test_damaged_files_name_the_path_and_keep_earlier_blocks(tmp_path, gzip_backend):
    # Random values, so that half the file holds many reads of data.
    values = random.Random(0).randbytes(250_000).hex().encode()
    data = b"".join(b"mol\n> <V>\n%s\n\n$$$$\n" % values[i:i + 80] for i in range(0, len(values), 80))
    whole = gzip.compress(data)
    cases = {
        "truncated.gz": (whole[: len(whole) // 2], EOFError),
        "corrupt.gz": (whole[:2000] + bytes(200) + whole[2200:], Exception),  # each library its own error
        "truncated.xz": (lzma.compress(data, preset=0)[: len(whole) // 2], EOFError),
    }
    expected = [bytes(b) for b in parse_sdf(io.BytesIO(data))]
    for name, (data, error) in cases.items():
        path = tmp_path / name
        path.write_bytes(data)
        got = []
        with pytest.raises(error) as raised:
            got.extend(parse_sdf(os.fsencode(path)))
        assert any(repr(os.fsencode(path)) in note for note in raised.value.__notes__)
        if name.startswith("truncated"):  # corrupt data may decompress to garbage before its CRC is checked
            assert 0 < len(got) and [bytes(b) for b in got] == expected[: len(got)]


@pytest.mark.parametrize("name", ["out.sdf.gz", "out.sdf.bz2", "out.SDF.XZ", "out.sdf.zst", "out.sdf"])
def test_open_writer_compresses_by_extension(tmp_path, gzip_backend, name):
    if name.endswith(".zst"):
        zstd_module()
    source = [b for b in parse_sdf(io.BytesIO(SAMPLE))]
    path = tmp_path / name
    with open(path, "wb") as raw:
        writer = _compression.open_writer(raw, name)
        write_sdf(writer, source)
        writer.close()
    assert (_compression.compression_of(path) is None) == name.endswith(".sdf")
    assert [bytes(b) for b in parse_sdf(os.fsencode(path))] == [bytes(b) for b in source]


def test_merge_records_reads_and_writes_compressed_files(tmp_path):
    mol = "t\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n> <ID>\n{}\n\n$$$$\n"
    source = tmp_path / "in.sdf.bz2"  # read by content, written by name
    source.write_bytes(gzip.compress("".join(map(mol.format, range(10))).encode()))
    table = {"ID": ["3", "7"], "NEW": ["a", "b"]}
    merge_records(source, table, tmp_path / "out.sdf", key="ID")
    merge_records(source, table, tmp_path / "out.sdf.xz", key="ID")
    assert _compression.compression_of(tmp_path / "out.sdf.xz") == "xz"
    assert blocks(tmp_path / "out.sdf.xz") == blocks(tmp_path / "out.sdf")
    assert blocks(tmp_path / "out.sdf")[1][3].count(b"> <NEW>") == 1


def test_zstd_without_a_module_names_the_extra(tmp_path, monkeypatch):
    for module in ("compression", "compression.zstd", "zstandard"):
        monkeypatch.setitem(sys.modules, module, None)
    path = tmp_path / "x.sdf.zst"
    path.write_bytes(b"\x28\xb5\x2f\xfd" + bytes(20))
    with pytest.raises(ImportError, match=r"molbrook\[zstd\]"):
        next(parse_sdf(path))


def test_stats_of_a_compressed_file(tmp_path, capsys):
    source = next(p for p in CORPUS_FILES if p.name == "bzr.sdf")
    packed = tmp_path / "bzr.sdf.gz"
    packed.write_bytes(gzip.compress(source.read_bytes()))
    assert main(["stats", str(packed)]) == 0
    assert "163 blocks" in capsys.readouterr().out


def test_the_command_names_a_damaged_input(tmp_path, capsys):
    half = tmp_path / "half.sdf.xz"
    packed = lzma.compress(LF_SAMPLE)
    half.write_bytes(packed[: len(packed) // 2])
    assert main(["stats", str(half)]) == 2
    ended = "Compressed file ended before the end-of-stream marker was reached"
    assert capsys.readouterr().err == f"molbrook: {half}: {ended}\n"


def test_the_native_module_decompresses_without_the_package(tmp_path):
    # Loaded from its file alone, as another program may embed it.
    script = f"""
import bz2, importlib.util, io, sys
spec = importlib.util.spec_from_file_location("native", {native.__file__!r})
native = importlib.util.module_from_spec(spec)
spec.loader.exec_module(native)
assert len(list(native.parse_sdf(io.BytesIO(bz2.compress(b"t\\n$$$$\\n" * 3))))) == 3
assert not [name for name in sys.modules if name.startswith("molbrook")]
"""
    subprocess.run([sys.executable, "-c", script], check=True, cwd=tmp_path, env={**os.environ, "PYTHONPATH": ""})
