"""The tests of `molbrook filter`: each a function of a block, true when the
block passes.

    NAME       the record is present        !NAME       it is absent
    NAME=TEXT  its value is TEXT            NAME!=TEXT  it is not (or absent)
    NAME~RE    RE matches in its value      NAME<NUM, <=, >, >=  numeric

The value compared is the first record's, stripped of ASCII whitespace.
A value that is not a number fails every numeric test.
"""

from __future__ import annotations

import math
import operator
import os
import re
from collections.abc import Callable, Sequence

from molbrook.cli.errors import UsageError
from molbrook.native import SDBlock

Test = Callable[[SDBlock[bytes]], bool]

# Longest operators first, so that "<=" is not read as "<" and "=...".
_FORM = re.compile(r"(?P<name>[^=!~<>]*)(?P<op>!=|<=|>=|=|~|<|>)(?P<operand>.*)", re.DOTALL)
_NUMERIC = {"<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge}


def parse(expression: str) -> Test:
    if expression.startswith("!") and not _FORM.fullmatch(expression[1:]):
        return _absent(_name(expression[1:], expression))
    match = _FORM.fullmatch(expression)
    if not match:
        return _present(_name(expression, expression))
    name, op, operand = _name(match["name"], expression), match["op"], match["operand"]
    if op in _NUMERIC:
        return _numeric(name, _NUMERIC[op], _number(operand, expression))
    if op == "~":
        return _search(name, _regex(operand))
    text = os.fsencode(operand)
    return _equal(name, text) if op == "=" else _differ(name, text)


def title_test(pattern: str) -> Test:
    regex = _regex(pattern)
    return lambda block: regex.search(block.title.decode("utf-8", "surrogateescape")) is not None


def all_of(tests: Sequence[Test]) -> Test:
    if len(tests) == 1:
        return tests[0]
    return lambda block: all(test(block) for test in tests)


def _name(text: str, expression: str) -> bytes:
    if not text.strip():
        raise UsageError(f"no record name in --where {expression!r}")
    return os.fsencode(text)


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
