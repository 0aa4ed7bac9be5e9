#!/usr/bin/env python3
"""Computes the checksum of a PE image as the system's loader checks it for drivers: the
16-bit one's-complement-style sum of the file's words (the checksum field counted as zero)
plus the file's length. With --write the field is patched; otherwise it is printed and checked.
"""
import argparse
import struct
import sys
from pathlib import Path


def checksum_offset(image):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        sys.exit("not a PE image")
    return pe + 4 + 20 + 64  # signature, file header, then the field in the optional header


def pe_checksum(image):
    offset = checksum_offset(image)
    data = image[:offset] + b"\0\0\0\0" + image[offset + 4:]
    if len(data) % 2:
        data += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)  # folded after every word, so total fits 16 bits


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--write", action="store_true", help="patch the checksum field")
    parser.add_argument("image", type=Path)
    args = parser.parse_args()
    image = bytearray(args.image.read_bytes())
    offset = checksum_offset(image)
    computed = pe_checksum(image)
    stored = struct.unpack_from("<I", image, offset)[0]
    if args.write:
        struct.pack_into("<I", image, offset, computed)
        args.image.write_bytes(image)
        return 0
    print(f"stored 0x{stored:08x} computed 0x{computed:08x}")
    return 0 if stored == computed else 1


if __name__ == "__main__":
    sys.exit(main())
