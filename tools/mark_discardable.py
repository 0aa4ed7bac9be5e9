#!/usr/bin/env python3
"""Marks a section of a PE image discardable, as the platform's linker marks INIT: the
kernel frees it once DriverEntry has returned. GNU ld carries no such flag from the objects."""
import argparse
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from pe_image import SCN_DISCARDABLE, SECTION_FLAGS, section_headers  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("image", type=Path)
    parser.add_argument("section")
    args = parser.parse_args()
    data = bytearray(args.image.read_bytes())
    at = section_headers(data).get(args.section)
    if at is None:
        sys.exit(f"{args.image}: no section {args.section}")
    (flags,) = struct.unpack_from("<I", data, at + SECTION_FLAGS)
    struct.pack_into("<I", data, at + SECTION_FLAGS, flags | SCN_DISCARDABLE)
    args.image.write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
