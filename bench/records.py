#!/usr/bin/env python3
"""Records alone: to_dict() and get(name) on every block against the plain
Python reader (and RDKit when installed). The record jobs of compare.py;
its options apply (--records-only builds files of blocks with records).

Usage: python bench/records.py [--size 500M] [--records-only] [--name NAME]
"""

import sys

import compare

if __name__ == "__main__":
    sys.exit(compare.main(["--only", "plain_dict,plain_get,rdkit_raw,to_dict,get", *sys.argv[1:]]))
