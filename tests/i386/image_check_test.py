#!/usr/bin/env python3
"""The image check holds the package to what XP needs: the image as built passes; a copy that
loses DriverEntry's discardable INIT section, or gains a compiler identification string, fails;
so do a message table without the text of a code the driver logs, and driver sources that log a
code the table lacks or one whose value cannot be told.

    image_check_test.py CHECK IMAGE MAP DRIVER_DIR...
"""
import importlib.util
import shutil
import struct
import sys
import tempfile
from pathlib import Path



def load(check):
    found = importlib.util.spec_from_file_location("check_i386_image", check)
    module = importlib.util.module_from_spec(found)
    sys.path.insert(0, str(Path(check).parent))
    found.loader.exec_module(module)
    return module


def without_discardable_init(data):
    from pe_image import SCN_DISCARDABLE, SECTION_FLAGS, section_headers
    data = bytearray(data)
    at = section_headers(data)["INIT"] + SECTION_FLAGS
    struct.pack_into("<I", data, at, struct.unpack_from("<I", data, at)[0] & ~SCN_DISCARDABLE)
    return bytes(data)


IMAGE_FAULTS = [
    ("INIT not discardable", without_discardable_init, "section INIT has flags"),
    ("compiler identification", lambda data: data + b"GCC: (GNU) 12-win32\0", "compile with -fno-ident"),
]

NEW_CODE = """
constexpr NDIS_ERROR_CODE kErrorNewStep = 0xE0070304;
void Log(NDIS_HANDLE handle) { NdisWriteErrorLogEntry(handle, kErrorNewStep, 0); }
void LogUnknown(NDIS_HANDLE handle) { NdisWriteErrorLogEntry(handle, kErrorFromNowhere, 0); }
"""


def main():
    check, image, map_path, driver_dirs = load(sys.argv[1]), Path(sys.argv[2]), Path(sys.argv[3]), sys.argv[4:]
    failures = []
    built = check.check_image(image, map_path, driver_dirs)
    if built:
        failures.append(f"the image as built fails: {built}")

    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        for fault, change, expected in IMAGE_FAULTS:
            (work / image.name).write_bytes(change(image.read_bytes()))
            found = check.check_image(work / image.name, map_path, driver_dirs)
            if not any(expected in text for text in found):
                failures.append(f"{fault}: no '{expected}' in {found}")

        table = next(check.Image(image.read_bytes()).resources(check.RT_MESSAGETABLE))
        messages = check.message_texts(table)
        if check.check_messages(messages, driver_dirs):
            failures.append("the built message table fails")
        for code in (0xE0070303, 0xC0010019):
            name_only = {**messages, code: "%2\r\n"}
            missing = {ident: text for ident, text in messages.items() if ident != code}
            for fault, table_of in (("no text", missing), ("the name alone", name_only)):
                found = check.check_messages(table_of, driver_dirs)
                if not any(f"0x{code:08X}, logged at" in text for text in found):
                    failures.append(f"0x{code:08X} with {fault}: not refused ({found})")

        extended = work / "adapter"
        shutil.copytree(next(d for d in driver_dirs if Path(d).name == "adapter"), extended)
        (extended / "NewStep.cpp").write_text(NEW_CODE)
        dirs = [d for d in driver_dirs if Path(d).name != "adapter"] + [extended]
        found = check.check_messages(messages, dirs)
        for expected in ("0xE0070304, logged at adapter/NewStep.cpp:3", "cannot tell the value of the logged code kErrorFromNowhere"):
            if not any(expected in text for text in found):
                failures.append(f"a new logged code: no '{expected}' in {found}")

    for failure in failures:
        print(f"FAIL: {failure}")
    if failures:
        return 1
    print("ok: the built image passes; INIT, compiler strings and missing message texts are caught")
    return 0


if __name__ == "__main__":
    sys.exit(main())
