#!/usr/bin/env python3
"""Reading SD data records: molbrook against a plain Python reader.

Usage: python bench/records.py FILE [--name NAME] [--repeat N]

Build FILE first, for example:
    python ../shared/corpus/make_big.py bench/data/records.sdf --size 100M --records-only

Each reader makes one pass over every block of FILE, read as text:
  to_dict    every block's records as a dict
  get(name)  the value of the last record named NAME in every block
The plain reader streams the file line by line, splits blocks at $$$$
lines and parses records with str methods by the same rules. A first,
untimed pass of each reader computes a checksum (blocks, records or hits,
total value length) that must agree; the timed passes only make the
results. Times are the best of --repeat runs.
"""

from __future__ import annotations

import argparse
import time
from collections import Counter, deque
from pathlib import Path

from molbrook.native import parse_sdf

BLANK = " \t\n\r\x0b\x0c"  # the ASCII whitespace that makes a line blank


def plain_blocks(path):
    """Each block's lines, without its $$$$ line."""
    with open(path, encoding="utf-8") as f:
        lines = []
        for line in f:
            if line.startswith("$$$$"):
                yield lines
                lines = []
            else:
                lines.append(line)
        if lines:
            yield lines


def plain_records(lines):
    """(name, value lines) of one block, in order."""
    start = next((i + 1 for i in range(1, len(lines)) if lines[i].startswith("M  END")), len(lines))
    i, n = start, len(lines)
    while i < n:
        text = lines[i].strip(BLANK)
        i += 1
        if not text:
            continue
        if text.startswith("> "):
            rest = text[2:]
            close = rest.rfind(">")
            close = len(rest) if close < 0 else close
            opening = rest.find("<", 0, close)
            if opening < 0:
                raise ValueError("SD data field header is missing a name")
            name = rest[opening + 1 : close]
        else:
            name = None  # junk paragraph
        values = []
        while i < n and lines[i].strip(BLANK):
            values.append(lines[i].removesuffix("\n"))
            i += 1
        i += 1
        if name is not None:
            yield name, values


def plain_to_dict(lines):
    return {field: "\n".join(values) for field, values in plain_records(lines)}


def plain_get(lines, name):
    last = None
    for found, values in plain_records(lines):
        if found == name:
            last = values
    return None if last is None else "\n".join(last)


def dict_checksum(dicts):
    """(blocks, records, total value length) of one dict per block."""
    blocks = records = length = 0
    for found in dicts:
        blocks += 1
        records += len(found)
        length += sum(map(len, found.values()))
    return blocks, records, length


def get_checksum(values):
    """(blocks, hits, total value length) of one value or None per block."""
    blocks = hits = length = 0
    for value in values:
        blocks += 1
        if value is not None:
            hits += 1
            length += len(value)
    return blocks, hits, length


def most_common_name(path, blocks=2000):
    names = Counter()
    for i, block in enumerate(parse_sdf(path)):
        names.update(block.names())
        if i == blocks:
            break
    return names.most_common(1)[0][0]


def best_time(results, repeat):
    """The best time of making and dropping all of results()."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        deque(results(), maxlen=0)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", type=Path)
    parser.add_argument("--name", help="record name for get (default: the most common one)")
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    path = str(args.file)
    name = args.name or most_common_name(path)
    megabytes = args.file.stat().st_size / 1e6
    print(f"{args.file}: {megabytes:,.0f} MB; get({name!r})")

    rows = [
        ("to_dict", lambda: (plain_to_dict(lines) for lines in plain_blocks(path)),
         lambda: (block.to_dict() for block in parse_sdf(path)), dict_checksum, 12),
        ("get(name)", lambda: (plain_get(lines, name) for lines in plain_blocks(path)),
         lambda: (block.get(name) for block in parse_sdf(path)), get_checksum, 20),
    ]
    print(f"{'reader':<12}{'plain s':>9}{'molbrook s':>12}{'plain MB/s':>12}{'molbrook MB/s':>15}{'ratio':>8}"
          f"{'target':>8}  checksum")
    for label, plain, native, checksum, target in rows:
        plain_sum, native_sum = checksum(plain()), checksum(native())
        if plain_sum != native_sum:
            raise SystemExit(f"{label}: checksums differ: plain {plain_sum}, molbrook {native_sum}")
        plain_s, native_s = best_time(plain, args.repeat), best_time(native, args.repeat)
        print(f"{label:<12}{plain_s:>9.2f}{native_s:>12.3f}{megabytes / plain_s:>12.1f}"
              f"{megabytes / native_s:>15.1f}{plain_s / native_s:>7.1f}x{target:>7}x  {native_sum}")
    split_s = best_time(lambda: parse_sdf(path), args.repeat)
    print(f"parse_sdf alone: {split_s:.3f} s ({megabytes / split_s:,.0f} MB/s)")


if __name__ == "__main__":
    main()
