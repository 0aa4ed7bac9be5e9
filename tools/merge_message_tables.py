#!/usr/bin/env python3
"""Merges compiled message tables into one. The message compiler sets the customer bit on
every message of a file or on none, so codes with and without it come from separate files."""
import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from pe_image import read_message_table, write_message_table  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("output", type=Path)
    parser.add_argument("tables", type=Path, nargs="+")
    args = parser.parse_args()
    merged = {}
    for path in args.tables:
        for ident, message in read_message_table(path.read_bytes()).items():
            if ident in merged:
                sys.exit(f"message 0x{ident:08X} is in more than one table")
            merged[ident] = message
    args.output.write_bytes(write_message_table(merged))


if __name__ == "__main__":
    main()
