"""The tests of `molbrook filter`: each a function of a block, true when the
block passes.

    NAME       the record is present        !NAME       it is absent
    NAME=TEXT  its value is TEXT            NAME!=TEXT  it is not (or absent)
    NAME~RE    RE matches in its value      NAME<NUM, <=, >, >=  numeric

The value compared is the first record's, stripped of ASCII whitespace.
A value that is not a number fails every numeric test. Spaces around the
operator are not part of NAME or of what it is compared with.
"""

from __future__ import annotations

import math
import operator
import os
import re
from collections.abc import Callable, Sequence
from typing import NamedTuple

from molbrook.cli.errors import UsageError
from molbrook.native import SDBlock

Test = Callable[[SDBlock[bytes]], bool]


class Where(NamedTuple):
    """A --where test and the record name it is about."""

    name: str
    test: Test


# Longest operators first, so that "<=" is not read as "<" and "=...".
_FORM = re.compile(r"(?P<name>[^=!~<>]*)(?P<op>!=|<=|>=|=|~|<|>)(?P<operand>.*)", re.DOTALL)
_NUMERIC = {"<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge}


def parse(expression: str) -> Where:
    if expression.startswith("!") and not _FORM.fullmatch(expression[1:]):
        name = _name(expression[1:], expression)
        return Where(name, _absent(os.fsencode(name)))
    match = _FORM.fullmatch(expression)
    if not match:
        name = _name(expression, expression)
        return Where(name, _present(os.fsencode(name)))
    name, op, operand = _name(match["name"], expression), match["op"], match["operand"].lstrip()
    key = os.fsencode(name)
    if op in _NUMERIC:
        return Where(name, _numeric(key, _NUMERIC[op], _number(operand, expression)))
    if op == "~":
        return Where(name, _search(key, _regex(operand)))
    text = os.fsencode(operand.rstrip())  # the values compared are stripped too
    return Where(name, _equal(key, text) if op == "=" else _differ(key, text))


def title_test(pattern: str) -> Test:
    regex = _regex(pattern)
    return lambda block: regex.search(block.title.decode("utf-8", "surrogateescape")) is not None


def all_of(tests: Sequence[Test]) -> Test:
    if len(tests) == 1:
        return tests[0]
    return lambda block: all(test(block) for test in tests)


def _name(text: str, expression: str) -> str:
    if not text.strip():
        raise UsageError(f"no record name in --where {expression!r}")
    return text.strip()


def _number(text: str, expression: str) -> float:
    try:
        number = float(text)
    except ValueError:
        number = math.nan
    if math.isnan(number):
        raise UsageError(f"not a number in --where {expression!r}: {text!r}")
    return number


def _regex(pattern: str) -> re.Pattern[str]:
    try:
        return re.compile(pattern)
    except re.error as error:
        raise UsageError(f"bad regular expression {pattern!r}: {error}") from None


def _present(name: bytes) -> Test:
    return lambda block: name in block


def _absent(name: bytes) -> Test:
    return lambda block: name not in block


def _equal(name: bytes, text: bytes) -> Test:
    def test(block: SDBlock[bytes]) -> bool:
        value = block.get(name)
        return value is not None and value.strip() == text

    return test


def _differ(name: bytes, text: bytes) -> Test:
    equal = _equal(name, text)
    return lambda block: not equal(block)


def _search(name: bytes, regex: re.Pattern[str]) -> Test:
    def test(block: SDBlock[bytes]) -> bool:
        value = block.get(name)
        return value is not None and regex.search(value.strip().decode("utf-8", "surrogateescape")) is not None

    return test


def _numeric(name: bytes, compare: Callable[[float, float], bool], number: float) -> Test:
    def test(block: SDBlock[bytes]) -> bool:
        value = block.get(name)
        if value is None:
            return False
        try:
            return compare(float(value), number)
        except ValueError:
            return False

    return test
