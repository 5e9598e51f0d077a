"""Typed table columns read numbers as Python's int() and float() do, in
any locale."""

import os
import shutil
import subprocess
import sys

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from molbrook import SDBlock, read_table

# Numerals and near-numerals: ASCII, Unicode white space (and ASCII
# separators that are not white space), decimal digits of several scripts
# (one of Unicode 15, which only newer interpreters count), and digits that
# are not decimal.
ALPHABET = st.sampled_from(
    list("0123456789+-_.eE ") + ["inf", "nan", "Infinity", "\t", "\x0b", "\x0c", "\x1c", "\x7f", "\x85", "\xa0",
                                 "\u2003", "\u3000", "\u0661", "\u0669", "\uff11", "\uff10", "\u07c0", "\U0001d7d8",
                                 "\U00011f50", "\xb2", "\u2460", "\xe9"]
)


def python_reads(parse, value):
    try:
        result = parse(value)
    except ValueError:
        return None
    return None if parse is int and not -(2**63) <= result < 2**63 else result


@given(st.lists(st.lists(ALPHABET, max_size=6).map("".join), min_size=1, max_size=12), st.sampled_from([str, bytes]))
@example(["4e" + "1" * 40, "1e-" + "9" * 40], str)  # exponents beyond int64
@settings(max_examples=300, deadline=None)
def test_numbers_read_as_python_reads_them(values, kind):
    texts = [f"t\nM  END\n> <I>\n{value}\n\n> <F>\n{value}\n\n" for value in values]
    blocks = [SDBlock(text if kind is str else text.encode()) for text in texts]
    table = read_table(blocks, types={"I": int, "F": float}).to_pydict()
    values = [block.get("I" if kind is str else b"I") for block in blocks]
    assert table["I"] == [python_reads(int, value) for value in values]
    assert [repr(x) for x in table["F"]] == [repr(python_reads(float, value)) for value in values]


@pytest.fixture(scope="module")
def comma_locale(tmp_path_factory):
    """A locale whose decimal separator is a comma, compiled for the test."""
    if shutil.which("localedef") is None:
        pytest.skip("localedef is not installed")
    folder = tmp_path_factory.mktemp("locales")
    made = subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(folder / "de_DE.UTF-8")],
                          capture_output=True)
    if not (folder / "de_DE.UTF-8").is_dir():
        pytest.skip(f"localedef could not make de_DE.UTF-8: {made.stderr.decode(errors='replace').strip()}")
    return folder


def test_numbers_ignore_the_locale(tmp_path, comma_locale):
    values = ["1.5", "1.5e999", "-2.5e-999", "1_0.25", "1,5"]
    path = tmp_path / "numbers.sdf"
    path.write_text("".join(f"t\nM  END\n> <F>\n{value}\n\n$$$$\n" for value in values))
    script = ("import locale, sys, molbrook\n"
              "locale.setlocale(locale.LC_ALL, 'de_DE.UTF-8')\n"
              "assert locale.localeconv()['decimal_point'] == ','\n"
              "print(molbrook.read_table(sys.argv[1], types={'F': float}).to_pydict()['F'])")
    env = dict(os.environ, LOCPATH=str(comma_locale))
    done = subprocess.run([sys.executable, "-c", script, str(path)], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str([float(value) if "," not in value else None for value in values])
