#!/usr/bin/env python3
"""Writing alone: write_sdf(out, parse_sdf(path)) with and without borrow
against shutil.copyfileobj with 1 MiB buffers. The writing jobs of
compare.py; its options apply.

Usage: python bench/write.py [--size 500M] [--repeat 5]
"""

import sys

import compare

if __name__ == "__main__":
    sys.exit(compare.main(["--only", "copy,round_trip,round_trip_borrowed", *sys.argv[1:]]))
