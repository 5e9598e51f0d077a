"""Copying and pickling SDBlocks: exact state in, the same block out."""

import copy
import pickle

import pytest

from conftest import corpus_params
from molbrook.native import SDBlock, parse_sdf

MOL = b"water\r\n  prog\n\n  1  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n> <a>\n1\n\n$$$$\r\n"


def edited(block: SDBlock) -> SDBlock:
    """A copy whose MDL was assigned without an M  END line, so its mdl_end
    cannot be found again by searching."""
    block = copy.copy(block)
    block.mdl = block.mdl.replace(b"M  END" if isinstance(block.mdl, bytes) else "M  END", block.mdl[:0])
    return block


def same_state(a: SDBlock, b: SDBlock) -> bool:
    return a == b and a.__reduce__()[1] == b.__reduce__()[1] and type(a) is type(b)


@pytest.mark.parametrize("block", [
    SDBlock(MOL),
    SDBlock(MOL.decode()),
    SDBlock(b"$$$$\r\n"),  # terminator only
    SDBlock("$$$$"),
    edited(SDBlock(MOL)),
    edited(SDBlock(MOL.decode())),
    SDBlock._from_state(b"t\xff\n$$$$\n", 3, 3, True),  # invalid UTF-8 survives as it is
], ids=["bytes", "str", "terminator", "str terminator", "no M  END", "str no M  END", "invalid utf-8"])
def test_copies_and_pickles_are_exact(block):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert same_state(pickle.loads(pickle.dumps(block, protocol)), block)
    assert same_state(copy.copy(block), block)
    assert same_state(copy.deepcopy(block), block)


@pytest.mark.parametrize("state", [
    (b"", 0, 0, False),
    (b"t\n", 2, 2, False),  # no terminator
    (b"t\n$$$$ \n", 2, 2, False),  # decorated terminator
    (b"t\n$$$$\r", 2, 2, False),
    (b"t\r\n$$$$\n\r\n", 3, 3, False),  # ends with CRLF but not $$$$\r\n
    (b"t\nx$$$$\n", 2, 2, False),  # terminator not on its own line
    (b"t\nx\n$$$$\n", 1, 4, False),  # title_end not past the first newline
    (b"t\nx\n$$$$\n", 4, 4, False),
    (b"t\nx\n$$$$\n", 2, 1, False),  # mdl_end before title_end
    (b"t\nx\n$$$$\n", 2, 5, False),  # mdl_end past the SD data start
    (b"t\nx\n$$$$\n", 2, 3, False),  # mdl_end not at a line end
    (b"t\nx\n$$$$\n", 0, 0, False),  # no title line, but more than the terminator
    (b"$$$$\n", 0, 5, False),
    (b"$$$$\n", 5, 5, False),
    (b"t\n$$$$\n", 2, 2**64 - 1, False),
])
def test_invalid_states(state):
    with pytest.raises(ValueError, match="^invalid SDBlock state$"):
        SDBlock._from_state(*state)


@pytest.mark.parametrize("args, error, message", [
    ((bytearray(b"$$$$\n"), 0, 0, False), TypeError, "argument 'data' must be bytes, not bytearray"),
    ((b"$$$$\n", 0.0, 0, False), TypeError, "argument 'title_end' must be int, not float"),
    ((b"$$$$\n", 0, "0", False), TypeError, "argument 'mdl_end' must be int, not str"),
    ((b"$$$$\n", 0, 0, 1), TypeError, "argument 'text' must be bool, not int"),
    ((b"$$$$\n", -1, 0, False), OverflowError, "negative"),
    ((b"$$$$\n", 0, 2**64, False), OverflowError, "too large"),
    ((b"$$$$\n", 0, 0), TypeError, "text"),
])
def test_state_argument_errors(args, error, message):
    with pytest.raises(error, match=message):
        SDBlock._from_state(*args)


@pytest.mark.parametrize("path", corpus_params())
@pytest.mark.parametrize("kind, borrow", [(str, False), (bytes, False), (bytes, True)])
def test_corpus_blocks_copy_and_pickle(path, kind, borrow):
    blocks = list(parse_sdf(kind(path) if kind is bytes else str(path), borrow=borrow))
    for block in blocks + [edited(block) for block in blocks]:
        assert pickle.loads(pickle.dumps(block)) == block
        assert copy.copy(block) == block
