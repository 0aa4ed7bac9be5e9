#!/usr/bin/env python3
"""Inspects the linked kernel image and the INF beside it.

The image must be a PE32 for i386 with the native subsystem (version 5.1 or lower, so XP
loads it), not marked as a DLL, its entry point DriverEntry in a discardable INIT section, no
exports, relocations kept, no section both writable and executable, no compiler identification
strings, the version resource, a valid checksum, and a message table with its three generic
entries and a text for every code the driver logs (found in the driver's sources, so a new code
cannot go without). Its imports are check_i386_imports.py's business. The INF must install a
Net-class NDIS 5 Ethernet miniport and bind by hardware ID only.
"""
import argparse
import re
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from pe_checksum import pe_checksum  # noqa: E402
from pe_image import RT_MESSAGETABLE, RT_VERSION, SCN_DISCARDABLE, Image, message_texts  # noqa: E402

# Entries that carry their own text as the first string.
GENERIC_MESSAGES = {0x60070001: "%2\r\n", 0xA0070002: "%2\r\n", 0xE0070003: "%2\r\n"}
IMAGE_FILE_EXECUTABLE_IMAGE, IMAGE_FILE_DLL = 0x0002, 0x2000
SCN_EXECUTE, SCN_WRITE = 0x20000000, 0x80000000
VFT_DRV, VFT2_DRV_NETWORK = 3, 6
COMPILER_IDENT = b"GCC: ("
LOG_CALL = re.compile(r"\bNdisWriteErrorLogEntry\s*\(\s*[^,]+,\s*(\w+)")
CODE_DEFINITION = r"\b{}\s*=\s*(0x[0-9A-Fa-f]+)"


def logged_codes(source_dirs):
    """{code: where it is logged} of every NdisWriteErrorLogEntry call in the driver's sources,
    or a failure for a code that cannot be told."""
    texts = {path: path.read_text() for d in source_dirs for path in sorted(Path(d).glob("*.[ch]*"))}
    codes, failures = {}, []
    for path, text in texts.items():
        for call in LOG_CALL.finditer(text):
            where = f"{path.parent.name}/{path.name}:{text.count(chr(10), 0, call.start()) + 1}"
            code = call[1]
            if not code.startswith("0x"):
                definitions = {m[1] for t in texts.values() for m in re.finditer(CODE_DEFINITION.format(code), t)}
                if len(definitions) != 1:
                    failures.append(f"{where}: cannot tell the value of the logged code {code}")
                    continue
                code = definitions.pop()
            codes.setdefault(int(code, 16), where)
    if not codes and not failures:
        failures.append("no NdisWriteErrorLogEntry call found in the driver's sources")
    return codes, failures


def check_messages(messages, source_dirs):
    failures = [f"message 0x{ident:08X} is {messages.get(ident)!r}, expected {text!r}"
                for ident, text in GENERIC_MESSAGES.items() if messages.get(ident) != text]
    codes, failures_of_sources = logged_codes(source_dirs)
    failures += failures_of_sources
    for code, where in sorted(codes.items()):
        # The adapter's name alone says nothing about what happened.
        if not re.sub(r"%\d+|[\s:.]", "", messages.get(code, "")):
            failures.append(f"0x{code:08X}, logged at {where}, has no text in the message table; "
                            "add one to resources/messages.mc (or status_messages.mc for NDIS's facility)")
    return failures


def check_image(path, map_path, source_dirs):
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
    init = next((s for s in image.sections if s["name"] == "INIT"), None)
    if not init or not init["rva"] <= image.entry < init["rva"] + init["vsize"]:
        failures.append("DriverEntry is not in an INIT section")
    elif init["flags"] & (SCN_DISCARDABLE | SCN_EXECUTE) != SCN_DISCARDABLE | SCN_EXECUTE:
        failures.append(f"section INIT has flags 0x{init['flags']:08x}: not discardable code")
    if COMPILER_IDENT in data:
        failures.append(f"compiler identification {data[data.index(COMPILER_IDENT):][:40]!r} in the image; "
                        "compile with -fno-ident")
    if image.directories[0][1]:
        failures.append("the image has an export directory")
    if not image.directories[5][1]:
        failures.append("the image has no relocations")
    for section in image.sections:
        if section["flags"] & SCN_WRITE and section["flags"] & SCN_EXECUTE:
            failures.append(f"section {section['name']} is both writable and executable")
    tables = list(image.resources(RT_MESSAGETABLE))
    failures += check_messages(message_texts(tables[0]) if tables else {}, source_dirs)
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
    return failures


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
    parser.add_argument("--driver-dirs", type=Path, nargs="+", required=True,
                        help="the folders of the driver's sources, searched for the codes it logs")
    args = parser.parse_args()
    for path in (args.image, args.map, args.inf):
        if not path.is_file():
            sys.exit(f"FAIL: {path} does not exist; build it with 'make package'")
    failures = check_image(args.image, args.map, args.driver_dirs)
    failures += check_inf(args.inf)
    for failure in failures:
        print(f"FAIL: {failure}")
    if failures:
        return 1
    print(f"ok: {args.image.name} has a text for every code it logs; {args.inf.name} binds by hardware ID")
    return 0


if __name__ == "__main__":
    sys.exit(main())
