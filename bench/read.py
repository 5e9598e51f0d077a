#!/usr/bin/env python3
"""Reading alone: borrowed, owned and str-path iteration of a generated file
against the mmap + count floor, and the peak RSS growth of streaming a 1 GB
file without borrow. The reading jobs of compare.py; its options apply.

Usage: python bench/read.py [--size 500M] [--repeat 5] [--rss-size 1G]
"""

import sys

import compare

if __name__ == "__main__":
    sys.exit(compare.main(["--only", "floor,borrowed,owned,str,crlf_bytes,crlf_str,rss", *sys.argv[1:]]))
