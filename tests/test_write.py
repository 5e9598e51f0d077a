"""Writing SD files: write_sdf, sdf_writer and the buffered sink behind them."""

import errno
import io
import os
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import sdf_reference as ref
from conftest import corpus_params
from molbrook.native import SDBlock, _SDFWriter, parse_sdf, sdf_writer, write_sdf

MOL = "water\n  prog\n\n  1  0  0  0  0  0  0  0  0  0999 V2000\n    0.0 O\nM  END\n> <a>\n1\n\n$$$$\n"
BLOCKS = [SDBlock(MOL.encode()), SDBlock(b"crlf\r\nM  END\r\n$$$$\r\n"), SDBlock(b"$$$$\n")]
TEXT_BLOCKS = [SDBlock(MOL), SDBlock("caf\u00e9\nM  END\n"), SDBlock("$$$$")]
HINT = (
    "parse_sdf(os.fsencode(path)) reads such files as bytes, and "
    "parse_sdf(open(path, encoding=...)) decodes another encoding."
)


def joined(blocks):
    return b"".join(map(bytes, blocks)) if blocks[0].__reduce__()[1][3] is False else "".join(map(str, blocks))


def bad_text_block(title=b"bad"):
    data = title + b"\nM  END\n> <a>\nx\xe2\x82y\n\n$$$$\n"
    return SDBlock._from_state(data, len(title) + 1, len(title) + 8, True)


class Recorder:
    """A file object that keeps each write call; `take` limits how much one
    call accepts and `result` overrides what it returns."""

    def __init__(self, take=None, result=None):
        self.calls, self.take, self.result = [], take, result

    def write(self, data):
        kept = data[: self.take] if self.take is not None else data
        self.calls.append(kept)
        return self.result(data) if self.result else len(kept)

    def value(self):
        return self.calls[0][:0].join(self.calls) if self.calls else None


# Destinations


@pytest.mark.parametrize("as_dest", [str, os.fsencode, lambda path: path], ids=["str", "bytes", "Path"])
def test_write_to_path(tmp_path, as_dest):
    path = tmp_path / "out.sdf"
    path.write_bytes(b"old content that must go")
    assert write_sdf(as_dest(path), BLOCKS) == 3
    assert path.read_bytes() == joined(BLOCKS)
    with sdf_writer(as_dest(path)) as out:
        for block in TEXT_BLOCKS + BLOCKS:  # a path takes str and bytes blocks alike
            assert out.write(block) is None
    assert path.read_bytes() == joined(TEXT_BLOCKS).encode() + joined(BLOCKS)


@pytest.mark.parametrize("blocks, stream", [(BLOCKS, io.BytesIO), (TEXT_BLOCKS, io.StringIO)])
def test_write_to_file_object(blocks, stream):
    out = stream()
    assert write_sdf(out, iter(blocks)) == len(blocks)
    assert out.getvalue() == joined(blocks)
    with sdf_writer(out) as writer:
        writer.write(blocks[0])
    assert out.getvalue() == joined(blocks + blocks[:1]) and not out.closed


def test_empty_and_not_iterable(tmp_path):
    path = tmp_path / "out.sdf"
    path.write_bytes(b"old")
    assert write_sdf(path, []) == 0
    assert path.read_bytes() == b""
    missing = tmp_path / "missing.sdf"
    with pytest.raises(TypeError, match="not iterable"):
        write_sdf(missing, 5)
    assert not missing.exists()


@pytest.mark.parametrize("name, error", [("no/out.sdf", FileNotFoundError), ("", IsADirectoryError)])
@pytest.mark.parametrize("open_it", [lambda dest: write_sdf(dest, BLOCKS), sdf_writer])
def test_dest_errors_name_the_path(tmp_path, name, error, open_it):
    dest = str(tmp_path / name)
    with pytest.raises(error) as caught:
        open_it(dest)
    assert caught.value.filename == dest and caught.value.strerror == os.strerror(caught.value.errno)
    assert os.listdir(tmp_path) == []


def test_a_file_object_wins_over_a_path():
    class Both(Recorder):
        def __fspath__(self):
            raise AssertionError("used as a path")

    out = Both()
    write_sdf(out, BLOCKS)
    assert out.value() == joined(BLOCKS)


class BrokenWrite:  # only AttributeError means "no write method": this error propagates
    @property
    def write(self):
        raise RuntimeError("no")


# (destination, blocks, error, message, what the destination got before the error)
WRITE_ERRORS = {
    "not a block": (Recorder, [BLOCKS[0], 5, BLOCKS[1]], TypeError,
                    r"^'int' object is not an instance of 'SDBlock'$", bytes(BLOCKS[0])),
    "mixed kinds": (Recorder, BLOCKS + TEXT_BLOCKS, TypeError,
                    "^cannot write mixed str and bytes blocks to a file object$", joined(BLOCKS)),
    "nothing taken": (lambda: Recorder(result=lambda data: 0), BLOCKS, OSError, r"^failed to write whole buffer$", None),
    "negative count": (lambda: Recorder(result=lambda data: -1), BLOCKS, OSError, "invalid length", None),
    "write lookup fails": (BrokenWrite, BLOCKS, RuntimeError, "^no$", None),
    "neither path nor file": (lambda: 42, BLOCKS, TypeError, "PathLike object, not int", None),
}


@pytest.mark.parametrize("make, blocks, error, message, written", WRITE_ERRORS.values(), ids=WRITE_ERRORS.keys())
def test_write_sdf_errors(make, blocks, error, message, written):
    out = make()
    with pytest.raises(error, match=message):
        write_sdf(out, blocks)
    if written is not None:
        assert out.value() == written


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_error_names_path():
    with pytest.raises(OSError) as caught:
        write_sdf("/dev/full", BLOCKS)
    assert caught.value.errno == errno.ENOSPC and caught.value.filename == "/dev/full"
    writer = sdf_writer("/dev/full")
    writer.write(BLOCKS[0])
    with pytest.raises(OSError):
        writer.close()
    writer.close()  # closed anyway
    with pytest.raises(ValueError):
        writer.write(BLOCKS[0])


# Blocks and kinds


def test_writer_takes_blocks_only():
    writer = sdf_writer(io.BytesIO())
    with pytest.raises(TypeError, match=r"^argument 'block': 'str' object is not an instance of 'SDBlock'$"):
        writer.write(MOL)
    with pytest.raises(TypeError, match=r"^argument 'block': 'None' is not an instance of 'SDBlock'$"):
        writer.write(None)

    class Tagged(SDBlock):
        pass

    writer.write(Tagged(MOL.encode()))


def test_writer_refuses_mixed_kinds_and_stays_open():
    writer = sdf_writer(Recorder())
    writer.write(TEXT_BLOCKS[0])
    with pytest.raises(TypeError, match="mixed"):
        writer.write(BLOCKS[0])
    writer.write(TEXT_BLOCKS[1])  # the error leaves the writer open


def test_invalid_utf8_to_path(tmp_path):
    path = tmp_path / "out.sdf"
    bad = bad_text_block(b"bad \xff ")
    with pytest.raises(UnicodeDecodeError) as caught:
        write_sdf(path, TEXT_BLOCKS[:2] + [bad, TEXT_BLOCKS[0]])
    error = caught.value
    data = bytes(bad.__reduce__()[1][0])
    assert (error.encoding, error.reason, error.object) == ("utf-8", "invalid utf-8", data)
    assert (error.start, error.end) == (4, 5)  # the title's byte comes first
    assert error.__notes__ == [f"Writing block 2 (from 0), the SDBlock titled 'bad \ufffd'. {HINT}"]
    assert path.read_bytes() == joined(TEXT_BLOCKS[:2]).encode()


def test_invalid_utf8_to_file_object():
    out = io.StringIO()
    with pytest.raises(UnicodeDecodeError) as caught:
        write_sdf(out, [TEXT_BLOCKS[0], bad_text_block()])
    assert caught.value.reason == "invalid continuation byte"
    assert caught.value.__notes__ == [f"Writing block 1 (from 0), the SDBlock titled 'bad'. {HINT}"]
    assert out.getvalue() == str(TEXT_BLOCKS[0])


# Chunks and partial writes


def calls_promised(texts, kind):
    """write() arguments: whole blocks gathered until they reach 64 KiB, a
    non-ASCII str block alone after what was gathered before it."""
    calls, gathered = [], ""
    for text in texts:
        if kind is str and not text.isascii():
            calls += [gathered, text] if gathered else [text]
            gathered = ""
            continue
        gathered += text
        if len(gathered) >= 65536:
            calls.append(gathered)
            gathered = ""
    calls += [gathered] if gathered else []
    return [kind(call) if kind is str else call.encode() for call in calls]


def write_one_by_one(out, blocks):
    with sdf_writer(out) as writer:
        for block in blocks:
            writer.write(block)


@pytest.mark.parametrize("write", [write_sdf, write_one_by_one])
@given(kind=st.sampled_from([str, bytes]),
       shapes=st.lists(st.tuples(st.integers(0, 40000), st.booleans()), max_size=24))
@settings(max_examples=40)
def test_file_object_calls(write, kind, shapes):
    texts = [("\u00e9" if wide else "t") + "\n" + "x" * size + "\n$$$$\n" for size, wide in shapes]
    out = Recorder()
    write(out, [SDBlock(text if kind is str else text.encode()) for text in texts])
    assert out.calls == calls_promised(texts, kind)


@pytest.mark.parametrize("blocks", [BLOCKS * 500, TEXT_BLOCKS * 500], ids=["bytes", "str"])
# Short writes are completed; a result that is not a count means all was taken.
@pytest.mark.parametrize("make", [lambda: Recorder(take=1000), lambda: Recorder(result=lambda data: None)])
def test_partial_writes(blocks, make):
    out = make()
    assert write_sdf(out, blocks) == len(blocks)
    assert out.value() == joined(blocks)


# Errors while writing and the writer's life


class Failing:
    def write(self, data):
        raise OSError("disk gone")


def broken_source():
    yield from BLOCKS
    raise LookupError("source broke")


def test_iterable_error_keeps_earlier_blocks(tmp_path):
    path = tmp_path / "out.sdf"
    with pytest.raises(LookupError, match="source broke"):
        write_sdf(path, broken_source())
    assert path.read_bytes() == joined(BLOCKS)
    with pytest.raises(OSError, match="disk gone") as caught:  # unless the last flush fails too
        write_sdf(Failing(), broken_source())
    assert isinstance(caught.value.__context__, LookupError)


def test_with_statement(tmp_path):
    path = tmp_path / "out.sdf"
    with pytest.raises(KeyError):
        with sdf_writer(path) as out:
            assert isinstance(out, _SDFWriter)
            out.write(BLOCKS[0])
            out.write(BLOCKS[1])
            raise KeyError("body failed")
    assert path.read_bytes() == joined(BLOCKS[:2])
    with pytest.raises(ValueError, match="^I/O operation on a closed sdf_writer$"):
        out.write(BLOCKS[0])
    out.close()
    assert out.__exit__(None, None, None) is None


def test_dropped_writer_flushes(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    out = io.BytesIO()
    for dest in (out, Failing()):
        writer = sdf_writer(dest)
        writer.write(BLOCKS[0])
        del writer
    assert out.getvalue() == bytes(BLOCKS[0])
    assert [str(report.exc_value) for report in reported] == ["disk gone"]  # the failed flush


def test_reentrant_write():
    class Echo:
        def write(self, data):
            writer.write(BLOCKS[0])

    writer = sdf_writer(Echo())
    huge = SDBlock(b"big\n" + b"x" * 300000 + b"\n$$$$\n")
    with pytest.raises(RuntimeError, match="^Already borrowed: the SDF writer is in use"):
        writer.write(huge)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_flush_releases_the_interpreter_lock(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = bytearray()
    may_read = threading.Event()

    def reader():
        with open(fifo, "rb") as pipe:
            may_read.wait(10)
            while chunk := pipe.read(65536):
                received.extend(chunk)

    reading = threading.Thread(target=reader, daemon=True)
    reading.start()
    writer = sdf_writer(fifo)  # opens once the reader has
    huge = SDBlock(b"big\n" + b"x" * 600000 + b"\n$$$$\n")
    flushing = threading.Thread(target=writer.write, args=(huge,), daemon=True)
    flushing.start()
    small = SDBlock(b"small\n$$$$\n")
    written_first = 0
    for _ in range(10000):  # until the other thread holds the writer in its blocked flush
        try:
            writer.write(small)
            written_first += 1
        except RuntimeError as error:
            assert str(error).startswith("Already borrowed: the SDF writer")
            break
    else:
        pytest.fail("the flush never held the writer")
    may_read.set()
    flushing.join(10)
    writer.close()
    reading.join(10)
    assert len(received) == len(bytes(huge)) + written_first * len(bytes(small))


# Round trips of real files


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_round_trip(path, tmp_path):
    data = path.read_bytes()
    expected = ref.joined(data)
    out_path = tmp_path / "out.sdf"
    with open(path, "rb") as stream:
        sources = [parse_sdf(bytes(path)), parse_sdf(bytes(path), borrow=True), parse_sdf(stream)]
        for blocks in sources:
            blocks = list(blocks)
            assert write_sdf(out_path, blocks) == len(blocks)
            assert out_path.read_bytes() == expected
            out = io.BytesIO()
            write_sdf(out, blocks)
            assert out.getvalue() == expected
    for borrow in (False, True):
        write_sdf(out_path, parse_sdf(str(path), borrow=borrow))
        assert out_path.read_bytes() == ref.joined(ref.translate(data))
