"""The reading entry points: every source gives the same blocks for the
same bytes, the data kind, the errors, and the iterator's life."""

import contextlib
import gc
import inspect
import io
import os
import random
import re
import signal
import threading
import time

import pytest

import sdf_reference as ref
from molbrook.native import SDBlock, _SDBlockIterator, parse_sdf

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


@contextlib.contextmanager
def fifo_with(tmp_path, data: bytes, name="fifo"):
    """A named pipe that a thread fills with `data`."""
    path = tmp_path / name
    os.mkfifo(path)

    def feed():
        with contextlib.suppress(BrokenPipeError), open(path, "wb") as pipe:
            pipe.write(data)

    thread = threading.Thread(target=feed)
    thread.start()
    try:
        yield path
    finally:
        # If the reader never opened it, the writer still waits for one.
        releaser = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        thread.join()
        os.close(releaser)


def lf_lines(data: bytes):
    return re.findall(rb"[^\n]*\n|[^\n]+", data)


@pytest.mark.parametrize("seed, size", [(0, 3 * CHUNK), (1, CHUNK + 100), (2, 20000)])
def test_every_bytes_source_gives_the_same_blocks(tmp_path, seed, size):
    data = random_sdf(seed, size).encode()
    path = tmp_path / "input.sdf"
    path.write_bytes(data)
    expected = ref.expected(data)
    readers = {
        "from_sdf": lambda: SDBlock.from_sdf(data),
        "from_lines": lambda: SDBlock.from_lines(lf_lines(data)),
        "BytesIO": lambda: parse_sdf(io.BytesIO(data)),
        "binary file": lambda: parse_sdf(open(path, "rb")),
        "bytes path": lambda: parse_sdf(os.fsencode(path)),
        "borrowed": lambda: parse_sdf(os.fsencode(path), borrow=True),
    }
    results = {name: list(read()) for name, read in readers.items()}
    with fifo_with(tmp_path, data) as fifo:
        results["pipe"] = list(parse_sdf(os.fsencode(fifo)))
    for name, blocks in results.items():
        assert ref.observed(blocks) == expected, name
        assert blocks == results["from_sdf"], name  # boundaries agree too


@pytest.mark.parametrize("seed, size", [(3, 3 * CHUNK), (4, 20000)])
def test_every_text_source_gives_the_translated_blocks(tmp_path, seed, size):
    text = random_sdf(seed, size)
    path = tmp_path / "input.sdf"
    path.write_bytes(text.encode())
    expected = ref.expected(text)
    readers = {
        "from_sdf": lambda: SDBlock.from_sdf(text),
        "StringIO": lambda: parse_sdf(io.StringIO(text, newline=None)),
        "text file": lambda: parse_sdf(open(path, encoding="utf-8")),
        "text file lines": lambda: SDBlock.from_lines(open(path, encoding="utf-8")),
        "line iterator": lambda: SDBlock.from_lines(iter(open(path, encoding="utf-8"))),
        "str path": lambda: parse_sdf(str(path)),
        "borrowed": lambda: parse_sdf(path, borrow=True),
    }
    results = {name: list(read()) for name, read in readers.items()}
    with fifo_with(tmp_path, text.encode()) as fifo:
        results["pipe"] = list(parse_sdf(str(fifo)))
    for name, blocks in results.items():
        assert ref.observed(blocks) == expected, name


def test_text_split_between_cr_and_lf_at_a_chunk_boundary(tmp_path):
    text = "t\r\n" + "x" * (CHUNK - 4) + "\r\n$$$$\r\n" + "u\r\n" * CHUNK
    assert text[CHUNK - 1:CHUNK + 1] == "\r\n"
    path = tmp_path / "crlf.sdf"
    path.write_bytes(text.encode())
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


@pytest.mark.parametrize(
    "lines, blocks",
    [
        (["t\n", "$$$$\n"], ["t\n$$$$\n"]),
        (["t", "$$$$"], ["t\n$$$$\n"]),  # every item ends a line
        (["t\r\n", "", "$$$$"], ["t\r\n\r\n$$$$\r\n"]),  # completed like the first item of the read
        (["t\r", "x\r", "$$$$"], ["t\r\nx\r\n$$$$\r\n"]),  # a final CR gets a single LF
        (["a\n$$$$\nb\n", "$$$$\n"], ["a\n$$$$\n", "b\n$$$$\n"]),  # several lines in one item
        (["a\n$$$$ x", "b"], ["a\n$$$$\n", "b\n$$$$\n"]),
        ([], []),
    ],
)
def test_from_lines(lines, blocks):
    assert [str(b) for b in SDBlock.from_lines(lines)] == blocks
    encoded = [line.encode() for line in lines]
    assert [bytes(b) for b in SDBlock.from_lines(encoded)] == [b.encode() for b in blocks]


def test_from_lines_consumes_only_up_to_each_block_end():
    lines = iter(["a\n", "$$$$\n", "b\n", "$$$$\n", "c\n"])
    blocks = SDBlock.from_lines(lines)
    assert str(next(blocks)) == "a\n$$$$\n"
    assert next(lines) == "b\n"


def test_text_file_with_lone_cr_lines(tmp_path):
    path = tmp_path / "cr.sdf"
    path.write_bytes(b"a\r$$$$\rb\r$$$$\r")
    # Untranslated, a lone CR ends no line: one block.
    assert len(list(parse_sdf(open(path, newline="")))) == 1
    # Its lines are split at each CR, and every item ends a line.
    assert len(list(SDBlock.from_lines(open(path, newline="").readlines()))) == 2
    assert [str(b) for b in parse_sdf(open(path))] == ["a\n$$$$\n", "b\n$$$$\n"]


def test_file_object_kind_and_emptiness():
    assert list(parse_sdf(Reader(""))) == []
    assert list(parse_sdf(Reader(b"", "t\n$$$$\n"))) == []  # the first empty read ends the input
    (block,) = parse_sdf(Reader("t\n", "$$$$\n", b""))  # an empty result's type is not checked
    assert str(block) == "t\n$$$$\n"


class NoRead1:
    """A file object with only a read method."""

    def __init__(self, data):
        self.data = io.BytesIO(data)

    def read(self, size):
        return self.data.read(size)


class PathAndFile(NoRead1):
    def __init__(self, path):
        super().__init__(b"never read")
        self.path = path

    def __fspath__(self):
        return self.path


def test_path_like_objects_and_file_objects(tmp_path):
    path = tmp_path / "one.sdf"
    path.write_bytes(b"t\r\n$$$$\r\n")
    assert [bytes(b) for b in parse_sdf(NoRead1(b"t\n$$$$\n"))] == [b"t\n$$$$\n"]
    assert [str(b) for b in parse_sdf(path)] == ["t\n$$$$\n"]  # pathlib.Path is its str
    assert [str(b) for b in parse_sdf(PathAndFile(str(path)))] == ["t\n$$$$\n"]
    assert [bytes(b) for b in parse_sdf(PathAndFile(os.fsencode(path)))] == [b"t\r\n$$$$\r\n"]


def test_file_object_stays_open_and_ignores_borrow(tmp_path):
    with open(tmp_path / "in.sdf", "wb+") as stream:
        stream.write(b"t\n$$$$\nu\n$$$$\n")
        stream.seek(0)
        assert [bytes(b) for b in parse_sdf(stream, borrow=True)] == [b"t\n$$$$\n", b"u\n$$$$\n"]
        assert not stream.closed


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: parse_sdf(42), TypeError, "parse_sdf takes a path or a file object, not int"),
        (lambda: parse_sdf(b"x", borrow=1), TypeError, "parse_sdf() argument 'borrow' must be bool, not int"),
        (lambda: parse_sdf(b"x", True), TypeError, None),
        (lambda: SDBlock.from_lines("t\n$$$$\n"), TypeError,
         "SDBlock.from_lines takes lines or a file object; use SDBlock.from_sdf to parse SDF str or bytes"),
        (lambda: SDBlock.from_lines(b"t"), TypeError, None),
        (lambda: SDBlock.from_lines(42), TypeError, "'int' object is not iterable"),
        (lambda: SDBlock.from_sdf(42), TypeError, "SDBlock.from_sdf argument must be str or bytes"),
        (lambda: SDBlock.from_sdf(bytearray(b"t")), TypeError, "SDBlock.from_sdf argument must be str or bytes"),
        (lambda: SDBlock.from_sdf("\ud800"), UnicodeEncodeError, None),
        (lambda: _SDBlockIterator(), TypeError, None),
    ],
)
def test_entry_point_errors(call, error, message):
    with pytest.raises(error) as raised:
        call()
    if message is not None:
        assert str(raised.value) == message


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: parse_sdf(Reader(None)), "file objects must read str or bytes"),
        (lambda: parse_sdf(Reader(bytearray(b"t"))), "file objects must read str or bytes"),
        (lambda: parse_sdf(Reader(b"t\n", "$$$$\n")), "file objects must not mix str and bytes reads"),
        (lambda: SDBlock.from_lines(["t\n", 42]), "SDBlock.from_lines lines must be str or bytes"),
        (lambda: SDBlock.from_lines(["t\n", b""]), "SDBlock.from_lines does not accept mixed str and bytes lines"),
    ],
)
def test_source_type_errors_finish_the_iterator(make, message):
    blocks = make()
    with pytest.raises(TypeError, match=re.escape(message)):
        next(blocks)
    with pytest.raises(StopIteration):
        next(blocks)


def test_mixing_is_reported_where_it_happens():
    blocks = SDBlock.from_lines(["a\n", "$$$$\n", "b\n", "$$$$\n", b"c\n"])
    assert [str(next(blocks)) for _ in range(2)] == ["a\n$$$$\n", "b\n$$$$\n"]
    with pytest.raises(TypeError, match="mixed"):
        next(blocks)


def test_callback_errors_pass_through_and_finish():
    def lines():
        yield "a\n"
        yield "$$$$\n"
        raise KeyError("from the iterable")

    blocks = SDBlock.from_lines(lines())
    assert str(next(blocks)) == "a\n$$$$\n"
    with pytest.raises(KeyError, match="from the iterable"):
        next(blocks)
    assert list(blocks) == []


@pytest.mark.parametrize("name, error", [("missing.sdf", FileNotFoundError), ("", IsADirectoryError)])
def test_os_errors_name_the_path(tmp_path, name, error):
    path = os.fsencode(tmp_path / name) if name else os.fsencode(tmp_path)
    blocks = parse_sdf(path)  # nothing is opened yet
    with pytest.raises(error) as raised:
        next(blocks)
    assert raised.value.filename == path
    assert raised.value.strerror == os.strerror(raised.value.errno)
    with pytest.raises(StopIteration):
        next(blocks)


def test_empty_inputs_yield_nothing(tmp_path):
    (tmp_path / "empty.sdf").write_bytes(b"")
    assert list(parse_sdf(tmp_path / "empty.sdf")) == []
    assert list(SDBlock.from_sdf("")) == list(SDBlock.from_sdf(b"")) == []


def test_close_and_exhaustion(tmp_path):
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


def open_count(path) -> int:
    """How many descriptors of this process are open on `path`."""
    links = []
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            links.append(os.readlink(f"/proc/self/fd/{fd}"))
    return links.count(str(path))


def test_close_releases_the_descriptor(tmp_path):
    path = tmp_path / "pipe"
    os.mkfifo(path)
    keeper = os.open(path, os.O_RDWR)  # holds the data without waiting for a reader
    try:
        os.write(keeper, b"a\n$$$$\nb\n$$$$\n")
        blocks = parse_sdf(path)
        next(blocks)
        assert open_count(path) == 2
        blocks.close()
        assert open_count(path) == 1
    finally:
        os.close(keeper)


def test_reentrant_next_is_refused():
    def lines():
        yield "a\n"
        next(blocks)

    blocks = SDBlock.from_lines(lines())
    with pytest.raises(RuntimeError, match="Already borrowed"):
        next(blocks)


def test_next_from_another_thread_while_reading_is_refused(tmp_path):
    path = tmp_path / "slow"
    os.mkfifo(path)
    blocks = parse_sdf(path)
    reader = threading.Thread(target=lambda: list(blocks))
    reader.start()  # blocks in open(2) until a writer comes
    time.sleep(0.2)
    with pytest.raises(RuntimeError, match="Already borrowed"):
        blocks.close()
    with open(path, "wb") as pipe:
        pipe.write(b"t\n$$$$\n")
    reader.join()


@pytest.mark.parametrize("waiting_in", ["open", "read"])
def test_interrupted_system_calls_are_retried(tmp_path, waiting_in):
    fired = []
    previous = signal.signal(signal.SIGALRM, lambda *_: fired.append(True))
    try:
        path = tmp_path / "pipe"
        os.mkfifo(path)

        def feed():
            # The reader waits in open(2) until a writer comes, then in read(2)
            # until data comes; the signal arrives meanwhile.
            time.sleep(0.3 if waiting_in == "open" else 0)
            with open(path, "wb") as pipe:
                time.sleep(0.3 if waiting_in == "read" else 0)
                pipe.write(b"t\n$$$$\n")

        thread = threading.Thread(target=feed)
        thread.start()
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        try:
            assert [bytes(b) for b in parse_sdf(os.fsencode(path))] == [b"t\n$$$$\n"]
        finally:
            # After a failed read the writer may still wait for a reader.
            releaser = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
            thread.join()
            os.close(releaser)
        assert fired
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_signal_handler_error_ends_the_read(tmp_path):
    def interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    path = tmp_path / "pipe"
    os.mkfifo(path)
    writer = os.open(path, os.O_RDWR)  # keeps the pipe open and empty
    try:
        blocks = parse_sdf(path)
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        with pytest.raises(KeyboardInterrupt):
            next(blocks)
        assert list(blocks) == []
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        os.close(writer)


def test_text_path_with_invalid_utf8_fails_only_when_read_as_text(tmp_path):
    path = tmp_path / "latin1.sdf"
    path.write_bytes("caf\u00e9\n$$$$\n".encode("latin-1"))
    (block,) = parse_sdf(path)
    assert repr(block) == "<SDBlock title='caf\ufffd'>"
    with pytest.raises(UnicodeDecodeError) as raised:
        str(block)
    assert raised.value.__notes__ == [
        "Writing the SDBlock titled 'caf\ufffd'. parse_sdf(os.fsencode(path)) reads such files as bytes, "
        "and parse_sdf(open(path, encoding=...)) decodes another encoding."
    ]


def test_iterator_in_a_reference_cycle_is_collected():
    freed = []

    class Lines:
        def __iter__(self):
            return self

        def __next__(self):
            raise StopIteration

        def __del__(self):
            freed.append(True)

    lines = Lines()
    lines.blocks = SDBlock.from_lines(lines)
    del lines
    gc.collect()
    assert freed


def test_numpy_bool_is_a_flag(tmp_path):
    numpy = pytest.importorskip("numpy")
    path = tmp_path / "one.sdf"
    path.write_bytes(b"t\n$$$$\n")
    assert len(list(parse_sdf(path, borrow=numpy.bool_(True)))) == 1


def test_docstrings():
    assert parse_sdf.__doc__ == "Lazily parse SDBlocks from an SDF path or file object."
    assert SDBlock.from_sdf.__doc__ == "Lazily parse SDBlocks from SDF str or bytes held in memory."
    assert SDBlock.from_lines.__doc__ == "Parse SDBlocks from homogeneous str or bytes lines or a file object."
    assert _SDBlockIterator.__doc__ == "Lazily parse SDBlocks from an input source."
    assert _SDBlockIterator.close.__doc__ == (
        "Stop iterating and release the input source, closing files that\n`parse_sdf` opened."
    )
    assert str(inspect.signature(parse_sdf)) == "(source, *, borrow=False)"
