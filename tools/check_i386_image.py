#!/usr/bin/env python3
"""Inspects the linked kernel image and the INF beside it.

The image must be a PE32 for i386 with the native subsystem (version 5.1 or lower, so XP
loads it), not marked as a DLL, its entry point DriverEntry, imports only from NDIS.SYS,
ntoskrnl.exe, HAL.dll and USBD.SYS, no exports, relocations kept, no section both writable and
executable, the message table with its three entries and the version resource, and a valid
checksum. The INF must install a Net-class NDIS 5 Ethernet miniport and bind by hardware ID
only.
"""
import argparse
import re
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from pe_checksum import pe_checksum  # noqa: E402

ALLOWED_IMPORTS = {"ndis.sys", "ntoskrnl.exe", "hal.dll", "usbd.sys"}
MESSAGES = {0x60070001: "%2\r\n", 0xA0070002: "%2\r\n", 0xE0070003: "%2\r\n"}
IMAGE_FILE_EXECUTABLE_IMAGE, IMAGE_FILE_DLL = 0x0002, 0x2000
SCN_EXECUTE, SCN_WRITE = 0x20000000, 0x80000000
RT_MESSAGETABLE, RT_VERSION = 11, 16
VFT_DRV, VFT2_DRV_NETWORK = 3, 6


class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        (self.machine, count, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.entry = struct.unpack_from("<I", data, optional + 16)[0]
        self.image_base = struct.unpack_from("<I", data, optional + 28)[0]
        self.subsystem_version = struct.unpack_from("<HH", data, optional + 48)
        self.checksum = struct.unpack_from("<I", data, optional + 64)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = struct.unpack_from("<I", data, optional + 92)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i)
                            for i in range(directories)]
        self.sections = []
        for i in range(count):
            raw = struct.unpack_from("<8sIIIIIIHHI", data, optional + optional_size + 40 * i)
            self.sections.append({"name": raw[0].rstrip(b"\0").decode(), "vsize": raw[1], "rva": raw[2],
                                  "rawsize": raw[3], "raw": raw[4], "flags": raw[9]})

    def offset(self, rva):
        for s in self.sections:
            if s["rva"] <= rva < s["rva"] + max(s["vsize"], s["rawsize"]):
                return s["raw"] + rva - s["rva"]
        raise ValueError(f"RVA 0x{rva:x} in no section")

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode()

    def imports(self):
        rva, size = self.directories[1]
        names, at = [], self.offset(rva)
        while True:
            descriptor = struct.unpack_from("<IIIII", self.data, at)
            if not any(descriptor):
                return names
            names.append(self.string(descriptor[3]))
            at += 20

    def resources(self, kind):
        """Yields the data of every resource of the type, as bytes."""
        base = self.offset(self.directories[2][0])

        def entries(at):
            named, numbered = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.data, at + 16 + 8 * i)

        def leaves(at):
            for _, child in entries(at):
                if child & 0x80000000:
                    yield from leaves(base + (child & 0x7FFFFFFF))
                else:
                    rva, size = struct.unpack_from("<II", self.data, base + child)
                    yield self.data[self.offset(rva):self.offset(rva) + size]

        for ident, child in entries(base):
            if ident == kind and child & 0x80000000:
                yield from leaves(base + (child & 0x7FFFFFFF))


def message_table(blob):
    messages = {}
    (blocks,) = struct.unpack_from("<I", blob, 0)
    for b in range(blocks):
        low, high, at = struct.unpack_from("<III", blob, 4 + 12 * b)
        for ident in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", blob, at)
            text = blob[at + 4:at + length]
            messages[ident] = (text.decode("utf-16-le") if flags & 1 else text.decode("latin-1")).rstrip("\0")
            at += length
    return messages


def check_image(path, map_path):
    failures = []
    data = path.read_bytes()
    image = Image(data)
    if image.machine != 0x14C or image.magic != 0x10B:
        failures.append("not a PE32 image for i386")
    if image.subsystem != 1:
        failures.append(f"subsystem {image.subsystem}, not native (1)")
    if image.subsystem_version > (5, 1):
        failures.append(f"subsystem version {image.subsystem_version} is newer than XP's 5.1")
    if not image.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE or image.characteristics & IMAGE_FILE_DLL:
        failures.append(f"file characteristics 0x{image.characteristics:x}: an executable, not a DLL, is wanted")
    entry = re.search(r"^\s+0x([0-9a-f]+)\s+_?DriverEntry@8$", map_path.read_text(), re.M)
    if not entry:
        failures.append("DriverEntry not in the link map")
    elif int(entry[1], 16) - image.image_base != image.entry:
        failures.append(f"entry point 0x{image.entry:x} is not DriverEntry")
    imports = image.imports()
    unexpected = [name for name in imports if name.lower() not in ALLOWED_IMPORTS]
    if unexpected:
        failures.append(f"imports from {', '.join(unexpected)}")
    if image.directories[0][1]:
        failures.append("the image has an export directory")
    if not image.directories[5][1]:
        failures.append("the image has no relocations")
    for section in image.sections:
        if section["flags"] & SCN_WRITE and section["flags"] & SCN_EXECUTE:
            failures.append(f"section {section['name']} is both writable and executable")
    tables = list(image.resources(RT_MESSAGETABLE))
    messages = message_table(tables[0]) if tables else {}
    if messages != MESSAGES:
        failures.append(f"message table {messages!r}, expected {MESSAGES!r}")
    versions = list(image.resources(RT_VERSION))
    fixed = versions[0].find(struct.pack("<I", 0xFEEF04BD)) if versions else -1
    if fixed < 0:
        failures.append("no version resource")
    else:
        file_type, subtype = struct.unpack_from("<II", versions[0], fixed + 36)
        if (file_type, subtype) != (VFT_DRV, VFT2_DRV_NETWORK):
            failures.append(f"version resource says file type {file_type}/{subtype}, not a network driver")
    if image.checksum != pe_checksum(data):
        failures.append(f"checksum 0x{image.checksum:08x}, computed 0x{pe_checksum(data):08x}")
    return failures, imports


def check_inf(path):
    failures = []
    text = path.read_text()
    required = [(r"^Class\s*=\s*Net\s*$", "Class = Net"),
                (r"^Characteristics\s*=\s*0x84\b", "Characteristics = 0x84"),
                (r"Ndi\\Interfaces,\s*UpperRange,\s*0,\s*\"ndis5\"", "UpperRange ndis5"),
                (r"Ndi\\Interfaces,\s*LowerRange,\s*0,\s*\"ethernet\"", "LowerRange ethernet"),
                (r"^AddService\s*=\s*cdcecm,\s*2,", "the service install")]
    for pattern, what in required:
        if not re.search(pattern, text, re.M | re.I):
            failures.append(f"INF lacks {what}")
    for line in text.splitlines():
        line = line.split(";")[0]
        if re.search(r"USB\\Class_", line, re.I):
            failures.append(f"INF binds a class ID: {line.strip()}")
    if not re.search(r"USB\\VID_[0-9A-F]{4}&PID_[0-9A-F]{4}", text):
        failures.append("INF binds no hardware ID")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("image", type=Path)
    parser.add_argument("map", type=Path)
    parser.add_argument("inf", type=Path)
    args = parser.parse_args()
    for path in (args.image, args.map, args.inf):
        if not path.is_file():
            sys.exit(f"FAIL: {path} does not exist; build it with 'make package'")
    failures, imports = check_image(args.image, args.map)
    failures += check_inf(args.inf)
    for failure in failures:
        print(f"FAIL: {failure}")
    if failures:
        return 1
    print(f"ok: {args.image.name} imports from {', '.join(imports)}; {args.inf.name} binds by hardware ID")
    return 0


if __name__ == "__main__":
    sys.exit(main())
