"""The reading entry points: every source gives the same blocks for the
same bytes, the data kind, the errors, and the iterator's life."""

import io
import os
import random
import re
import threading
import types

import pytest

import sdf_reference as ref
from conftest import HAS_FIFOS, fifo_with, posix_only, proc_only, signal_handler, signal_main_when_blocked, wait_blocked
from molbrook.native import SDBlock, parse_sdf

CHUNK = 131072


def random_sdf(seed: int, size: int) -> str:
    """SD-like text of about `size` bytes mixing every line ending, $$$$
    lines with trailing text, blocks larger than a chunk and a last line
    without a newline."""
    rng = random.Random(seed)
    words = ["title", "", "  x \u00e9", "M  END", "> <NAME>", "value \u20ac", "$$ no", "a$$$$b", " " * 70]
    parts, total = [], 0
    while total < size:
        ending = rng.choice(["\n", "\n", "\r\n", "\r"])
        count = rng.choices([0, 1, 5, 40, 400, 15000], weights=[4, 4, 10, 100, 5, 1])[0]
        lines = [rng.choice(words) for _ in range(count)]
        lines.append(rng.choice(["$$$$", "$$$$", "$$$$ trailing", "$$$$$", "no terminator"]))
        block = "".join(line + (ending if rng.random() < 0.9 else rng.choice(["\n", "\r\n", "\r"]))
                        for line in lines)
        parts.append(block)
        total += len(block)
    return "".join(parts) + rng.choice(["", "tail without newline", "\n", "$$$$", "x\r"])


# Every reader, given the bytes of a file at `path` and that data as read (bytes or str).
READERS = {
    bytes: {
        "from_sdf": lambda data, path: SDBlock.from_sdf(data),
        "from_lines": lambda data, path: SDBlock.from_lines(ref.lines(data)),
        "BytesIO": lambda data, path: parse_sdf(io.BytesIO(data)),
        "binary file": lambda data, path: parse_sdf(open(path, "rb")),
        "bytes path": lambda data, path: parse_sdf(os.fsencode(path)),
        "borrowed": lambda data, path: parse_sdf(os.fsencode(path), borrow=True),
    },
    str: {
        "from_sdf": lambda data, path: SDBlock.from_sdf(data),
        "StringIO": lambda data, path: parse_sdf(io.StringIO(data, newline=None)),
        "text file": lambda data, path: parse_sdf(open(path, encoding="utf-8")),
        "text file lines": lambda data, path: SDBlock.from_lines(open(path, encoding="utf-8")),
        "line iterator": lambda data, path: SDBlock.from_lines(iter(open(path, encoding="utf-8"))),
        "str path": lambda data, path: parse_sdf(str(path)),
        "borrowed": lambda data, path: parse_sdf(path, borrow=True),
    },
}
AS_PATH = {bytes: os.fsencode, str: str}


@pytest.mark.parametrize(
    "kind, seed, size", [(bytes, 0, 3 * CHUNK), (bytes, 1, CHUNK + 100), (bytes, 2, 20000), (str, 3, 3 * CHUNK),
                         (str, 4, 20000)])
def test_every_source_gives_the_reference_blocks(tmp_path, kind, seed, size):
    text = random_sdf(seed, size)
    data = text.encode() if kind is bytes else text
    path = tmp_path / "input.sdf"
    path.write_bytes(text.encode())
    results = {name: list(read(data, path)) for name, read in READERS[kind].items()}
    if HAS_FIFOS:
        with fifo_with(tmp_path, text.encode()) as fifo:
            results["pipe"] = list(parse_sdf(AS_PATH[kind](fifo)))
    expected = ref.expected(data)
    for name, blocks in results.items():
        assert ref.observed(blocks) == expected, name
        assert blocks == results["from_sdf"], name  # boundaries agree too


@posix_only
def test_text_split_between_cr_and_lf_at_a_chunk_boundary(tmp_path):
    text = "t\r\n" + "x" * (CHUNK - 4) + "\r\n$$$$\r\n" + "u\r\n" * CHUNK
    assert text[CHUNK - 1:CHUNK + 1] == "\r\n"
    expected = ref.expected(text)
    assert ref.observed(SDBlock.from_sdf(text)) == expected
    with fifo_with(tmp_path, text.encode()) as fifo:
        assert ref.observed(parse_sdf(str(fifo))) == expected
    with fifo_with(tmp_path, text.encode(), "again") as fifo:  # a bytes path keeps CRLF
        assert ref.observed(parse_sdf(os.fsencode(fifo))) == ref.expected(text.encode())


class Reader:
    """A file object whose read1 returns the given results in turn."""

    def __init__(self, *results):
        self.results = list(results)

    def read1(self, size):
        return self.results.pop(0)


@pytest.mark.parametrize("lines, blocks", [
    (["t\n", "$$$$\n"], ["t\n$$$$\n"]),
    (["t", "$$$$"], ["t\n$$$$\n"]),  # every item ends a line
    (["t\r\n", "", "$$$$"], ["t\r\n\r\n$$$$\r\n"]),  # completed like the first item of the read
    (["t\r", "x\r", "$$$$"], ["t\r\nx\r\n$$$$\r\n"]),  # a final CR gets a single LF
    (["a\n$$$$\nb\n", "$$$$\n"], ["a\n$$$$\n", "b\n$$$$\n"]),  # several lines in one item
    (["a\n$$$$ x", "b"], ["a\n$$$$\n", "b\n$$$$\n"]),
    ([], []),
])
def test_from_lines(lines, blocks):
    assert [str(b) for b in SDBlock.from_lines(lines)] == blocks
    encoded = [line.encode() for line in lines]
    assert [bytes(b) for b in SDBlock.from_lines(encoded)] == [b.encode() for b in blocks]


def test_from_lines_consumes_only_up_to_each_block_end():
    lines = iter(["a\n", "$$$$\n", "b\n", "$$$$\n", "c\n"])
    blocks = SDBlock.from_lines(lines)
    assert str(next(blocks)) == "a\n$$$$\n"
    assert next(lines) == "b\n"


def test_file_object_kind_and_emptiness():
    assert list(parse_sdf(Reader(""))) == []
    assert list(parse_sdf(Reader(b"", "t\n$$$$\n"))) == []  # the first empty read ends the input
    (block,) = parse_sdf(Reader("t\n", "$$$$\n", b""))  # an empty result's type is not checked
    assert str(block) == "t\n$$$$\n"
    # What a file object reads is not translated: a lone CR ends no line.
    assert len(list(parse_sdf(Reader("a\r$$$$\rb\r$$$$\r", "")))) == 1


class PathAndFile:
    """A path-like object that could be read too; the path wins."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path

    def read(self, size):
        raise AssertionError("read as a file object")


def test_path_like_objects_and_file_objects(tmp_path):
    path = tmp_path / "one.sdf"
    path.write_bytes(b"t\r\n$$$$\r\n")
    no_read1 = types.SimpleNamespace(read=io.BytesIO(b"t\n$$$$\n").read)
    assert [bytes(b) for b in parse_sdf(no_read1)] == [b"t\n$$$$\n"]
    assert [str(b) for b in parse_sdf(path)] == ["t\n$$$$\n"]  # pathlib.Path is its str
    assert [str(b) for b in parse_sdf(PathAndFile(str(path)))] == ["t\n$$$$\n"]
    assert [bytes(b) for b in parse_sdf(PathAndFile(os.fsencode(path)))] == [b"t\r\n$$$$\r\n"]
    with open(path, "rb") as stream:
        assert [bytes(b) for b in parse_sdf(stream, borrow=True)] == [b"t\r\n$$$$\r\n"]  # borrow is ignored
        assert not stream.closed


@pytest.mark.parametrize("call, error, message", [
    (lambda: parse_sdf(42), TypeError, "parse_sdf takes a path or a file object, not int"),
    (lambda: parse_sdf(b"x", borrow=1), TypeError, "parse_sdf() argument 'borrow' must be bool, not int"),
    (lambda: parse_sdf(b"x", True), TypeError, None),
    (lambda: SDBlock.from_lines("t\n$$$$\n"), TypeError,
     "SDBlock.from_lines takes lines or a file object; use SDBlock.from_sdf to parse SDF str or bytes"),
    (lambda: SDBlock.from_lines(42), TypeError, "'int' object is not iterable"),
    (lambda: SDBlock.from_sdf(42), TypeError, "SDBlock.from_sdf argument must be str or bytes"),
    (lambda: SDBlock.from_sdf("\ud800"), UnicodeEncodeError, None),
])
def test_entry_point_errors(call, error, message):
    with pytest.raises(error) as raised:
        call()
    if message is not None:
        assert str(raised.value) == message


def failing_lines():
    yield from ["a\n", "$$$$\n"]
    raise KeyError("from the iterable")


@pytest.mark.parametrize("make, first, error, message", [
    (lambda: parse_sdf(Reader(None)), None, TypeError, "file objects must read str or bytes"),
    (lambda: parse_sdf(Reader(bytearray(b"t"))), None, TypeError, "file objects must read str or bytes"),
    (lambda: parse_sdf(Reader(b"t\n", "$$$$\n")), None, TypeError, "file objects must not mix str and bytes reads"),
    (lambda: SDBlock.from_lines(["t\n", 42]), None, TypeError, "SDBlock.from_lines lines must be str or bytes"),
    (lambda: SDBlock.from_lines(["a\n", "$$$$\n", b"c\n"]), "a\n$$$$\n", TypeError,
     "SDBlock.from_lines does not accept mixed str and bytes lines"),
    (lambda: SDBlock.from_lines(failing_lines()), "a\n$$$$\n", KeyError, "from the iterable"),
])
def test_source_errors_come_where_they_happen_and_finish(make, first, error, message):
    blocks = make()
    if first is not None:
        assert str(next(blocks)) == first
    with pytest.raises(error, match=re.escape(message)):
        next(blocks)
    assert list(blocks) == []


@posix_only
@pytest.mark.parametrize(
    "name, error", [("missing.sdf", FileNotFoundError), ("", IsADirectoryError), ("/dev/zero/x", NotADirectoryError)])
def test_os_errors_name_the_path(tmp_path, name, error):
    path = os.fsencode(tmp_path / name)
    blocks = parse_sdf(path)  # nothing is opened yet
    with pytest.raises(error) as raised:
        next(blocks)
    assert raised.value.filename == path
    assert raised.value.strerror == os.strerror(raised.value.errno)
    with pytest.raises(StopIteration):
        next(blocks)


@posix_only
def test_empty_inputs_close_and_exhaustion(tmp_path):
    (tmp_path / "empty.sdf").write_bytes(b"")
    assert list(parse_sdf(tmp_path / "empty.sdf")) == list(parse_sdf("/dev/null")) == []
    assert list(SDBlock.from_sdf("")) == list(SDBlock.from_sdf(b"")) == []
    path = tmp_path / "two.sdf"
    path.write_bytes(b"a\n$$$$\nb\n$$$$\n")
    blocks = parse_sdf(path)
    assert iter(blocks) is blocks
    next(blocks)
    assert blocks.close() is None
    blocks.close()
    assert list(blocks) == []
    exhausted = SDBlock.from_sdf("a\n$$$$\n")
    assert len(list(exhausted)) == 1
    assert list(exhausted) == []


@proc_only
def test_close_releases_the_descriptor(tmp_path):
    path = tmp_path / "pipe"
    os.mkfifo(path)
    keeper = os.open(path, os.O_RDWR)  # holds the data without waiting for a reader
    os.write(keeper, b"a\n$$$$\nb\n$$$$\n")
    blocks = parse_sdf(path)
    next(blocks)
    opened = len(os.listdir("/proc/self/fd"))
    blocks.close()
    assert len(os.listdir("/proc/self/fd")) == opened - 1
    os.close(keeper)


def test_reentrant_next_is_refused():
    def lines():
        yield "a\n"
        next(blocks)

    blocks = SDBlock.from_lines(lines())
    with pytest.raises(RuntimeError, match="^Already borrowed: the block iterator is in use"):
        next(blocks)


@posix_only
@proc_only  # threads are seen blocked through /proc
def test_next_from_another_thread_while_reading_is_refused(tmp_path):
    path = tmp_path / "slow"
    os.mkfifo(path)
    blocks = parse_sdf(path)
    reader = threading.Thread(target=lambda: list(blocks))
    reader.start()
    wait_blocked(reader.native_id)  # in open(2) until a writer comes
    with pytest.raises(RuntimeError, match="Already borrowed"):
        blocks.close()
    with open(path, "wb") as pipe:
        pipe.write(b"t\n$$$$\n")
    reader.join()


@posix_only
@proc_only  # threads are seen blocked through /proc
@pytest.mark.parametrize("waiting_in", ["open", "read"])
def test_interrupted_system_calls_are_retried(tmp_path, waiting_in):
    path = tmp_path / "pipe"
    os.mkfifo(path)
    fired = threading.Event()
    handled_while_blocked = []

    def interrupt_reader():
        signal_main_when_blocked()
        handled_while_blocked.append(fired.wait(60))

    def feed():
        # The reader waits in open(2) until a writer comes, then in read(2)
        # until data comes; the signal arrives in one of them.
        if waiting_in == "open":
            interrupt_reader()
        with open(path, "wb") as pipe:
            if waiting_in == "read":
                interrupt_reader()
            pipe.write(b"t\n$$$$\n")

    threading.Thread(target=feed, daemon=True).start()  # left waiting if the reader fails
    with signal_handler(lambda *_: fired.set()):
        assert [bytes(b) for b in parse_sdf(os.fsencode(path))] == [b"t\n$$$$\n"]
    assert handled_while_blocked == [True]


def interrupt(*_):
    raise KeyboardInterrupt


@posix_only
@proc_only  # threads are seen blocked through /proc
def test_signal_handler_error_ends_the_read(tmp_path):
    path = tmp_path / "pipe"
    os.mkfifo(path)
    writer = os.open(path, os.O_RDWR)  # keeps the pipe open and empty
    blocks = parse_sdf(path)
    threading.Thread(target=signal_main_when_blocked, daemon=True).start()
    with signal_handler(interrupt), pytest.raises(KeyboardInterrupt):
        next(blocks)
    assert list(blocks) == []
    os.close(writer)


@pytest.mark.parametrize("first, rest", [
    (b"T\n$$$$\nU\n", ()),  # too short to be any magic number: decided at once
    (b"BZh9\n$$$$\n", ()),
    (b"P*M\n$$$$\n", ()),  # a zstd skippable frame's first three bytes
    (b"T\n$$$$\n", ("U\n$$$$\n",)),  # the mixing error comes after the first block
])
def test_a_complete_first_block_is_handed_out_after_one_read(first, rest):
    reader = Reader(first, *rest)  # a further read of a one-result Reader fails
    blocks = parse_sdf(reader)
    assert bytes(next(blocks)) == first[: first.index(b"$$$$\n") + 5]
    if rest:
        with pytest.raises(TypeError, match="mix str and bytes"):
            next(blocks)
