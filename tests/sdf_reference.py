"""A small, slow reference for cutting SD text into blocks, line by line.

A block runs through the first line that starts with "$$$$". Lines end at
LF (bytes mode) or at LF, CRLF and lone CR (universal mode). A block is
then completed: a missing final line ending is added, and its $$$$ line
is made bare with the title line's ending.
"""

import ast
import re

_LINES = {
    False: re.compile(rb"[^\n]*\n|[^\n]+"),
    True: re.compile(rb"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+"),
}


def lines(data: bytes) -> list[bytes]:
    """Lines ending at LF only, each with its ending."""
    return _LINES[False].findall(data)


def translate(data: bytes) -> bytes:
    """Universal newlines, as a file opened in text mode reads them."""
    return data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")


def first_line_ending(data: bytes) -> bytes:
    lf = data.find(b"\n")
    if lf < 0:
        return b"\r\n" if data.endswith(b"\r") else b"\n"
    return b"\r\n" if lf > 0 and data[lf - 1:lf] == b"\r" else b"\n"


def find_block_end(data: bytes, universal: bool = False):
    """(found, term_start, end, first_cr) of the first block in `data`."""
    found, term_start, end = False, 0, len(data)
    for line in _LINES[universal].finditer(data):
        if line.group().startswith(b"$$$$"):
            found, term_start, end = True, line.start(), line.end()
            break
    first_cr = data.find(b"\r", 0, end) if universal else -1
    return found, term_start, end, end if first_cr < 0 else first_cr


def build(block: bytes, term_start):
    """The completed bytes of one cut block and its title_end."""
    if not block.endswith(b"\n"):
        block += b"\n" if block.endswith(b"\r") or not block else first_line_ending(block)
    title_end = 0 if term_start == 0 else block.index(b"\n") + 1
    body_end = len(block) if term_start is None else max(term_start, title_end)
    if block[body_end:] not in (b"$$$$\n", b"$$$$\r\n"):
        block = block[:body_end] + b"$$$$" + first_line_ending(block)
    return block, title_end


def split(data: bytes):
    """Completed blocks of LF-only data: (bytes, title_end) pairs."""
    blocks, start = [], 0
    for line in _LINES[False].finditer(data):
        if line.group().startswith(b"$$$$"):
            blocks.append(build(data[start:line.end()], line.start() - start))
            start = line.end()
    if start < len(data):
        blocks.append(build(data[start:], None))
    return blocks


def joined(data: bytes) -> bytes:
    """`data` as reading it block by block and writing the blocks gives it back."""
    return b"".join(block for block, _ in split(data))


def expected(data, kind=None):
    """What every reader yields for `data`: (kind, text, title) per block.

    str data is read in text mode (its newlines translated first); bytes
    data is split at LF only. `kind` overrides the type of the result.
    """
    is_str = isinstance(data, str)
    raw = translate(data.encode()) if is_str else data
    kind = kind or type(data)
    result = []
    for block, title_end in split(raw):
        title = block[:title_end].rstrip(b" \t\n\x0b\x0c\r")
        if kind is str:
            result.append((str, block.decode(), title.decode()))
        else:
            result.append((bytes, block, title))
    return result


def observed(blocks):
    """The same triples for blocks a reader produced."""
    result = []
    for block in blocks:
        kind = bytes if _is_bytes(block) else str
        text = bytes(block) if kind is bytes else str(block)
        title = ast.literal_eval(repr(block)[len("<SDBlock title="):-1])
        result.append((kind, text, title))
    return result


def _is_bytes(block) -> bool:
    """Only bytes blocks export their bytes."""
    try:
        memoryview(block).release()
    except TypeError:
        return False
    return True
