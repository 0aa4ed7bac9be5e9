#!/usr/bin/env python3
"""Checks the i386 driver archive against what a kernel image may depend on.

Every symbol the driver objects leave undefined must be exported by ntoskrnl.exe, HAL.dll,
NDIS.SYS or USBD.SYS (their import libraries), or be one of libgcc's integer helpers. No object
may carry static constructors or destructors: nothing runs them in a kernel image. Every driver
source must have its object in the archive, so a stale or empty archive cannot pass.
"""
import argparse
import re
import subprocess
import sys
from pathlib import Path

KERNEL_MODULES = ("ntoskrnl", "hal", "ndis", "usbd")

# libgcc's integer routines (__divdi3, __udivmoddi4, __popcountsi2 ...). Its other members are
# floating point or user-mode runtime (threads, global constructors, stack probes for frames
# over 4 KB), none of which belongs in the driver.
LIBGCC_INTEGER_HELPER = re.compile(r"^___[a-z]+[sd]i[234]$")

# What usually makes the compiler emit a reference the kernel cannot satisfy.
HINTS = (
    (re.compile(r"^__Z(dl|da|nw|na)"), "global new/delete; a C++ virtual destructor calls "
     "operator delete from its deleting variant"),
    (re.compile(r"^___chkstk"), "a stack frame over 4 KB"),
    (re.compile(r"(atexit|_cxa_guard)"), "a global or local static object with a constructor "
     "or destructor"),
    (re.compile(r"^___[a-z]+[sdxth]f\d?$|^___(float|fix)"), "floating point"),
)

STATIC_INIT_SECTION = re.compile(r"^\.(ctors|dtors|init_array|fini_array)")

NM_LINE = re.compile(r"^(?:.*\[(?P<member>[^\]]+)\]|[^:\[]+): (?P<name>\S+) (?P<type>\S)")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def symbols(nm, path):
    """Yields (archive member, symbol name, nm type letter) for every symbol of path."""
    for line in run(nm, "-A", "-P", str(path)).splitlines():
        match = NM_LINE.match(line)
        if match:
            yield match["member"] or Path(path).name, match["name"], match["type"]


def allowed_imports(triple, nm):
    gcc = f"{triple}-gcc"
    allowed = set()
    for module in KERNEL_MODULES:
        library = run(gcc, f"-print-file-name=lib{module}.a").strip()
        if not Path(library).is_file():
            sys.exit(f"import library lib{module}.a not found for {triple}")
        allowed.update(name for _, name, kind in symbols(nm, library) if kind in "TI")
    libgcc = run(gcc, "-print-libgcc-file-name").strip()
    allowed.update(name for _, name, kind in symbols(nm, libgcc)
                   if kind == "T" and LIBGCC_INTEGER_HELPER.match(name))
    return allowed


def static_init_sections(objdump, archive):
    """Yields (member, section) for every non-empty constructor or destructor section."""
    member = None
    for line in run(objdump, "-h", str(archive)).splitlines():
        header = re.match(r"^(\S+):\s+file format", line)
        if header:
            member = header[1]
            continue
        section = re.match(r"^\s*\d+\s+(\S+)\s+([0-9a-fA-F]+)\s", line)
        if section and STATIC_INIT_SECTION.match(section[1]) and int(section[2], 16):
            yield member, section[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--triple", default="i686-w64-mingw32")
    parser.add_argument("archive", type=Path, help="the i386 driver archive")
    parser.add_argument("sources", nargs="+", help="driver sources that must be in it")
    args = parser.parse_args()
    nm, objdump = f"{args.triple}-nm", f"{args.triple}-objdump"

    if not args.archive.is_file():
        sys.exit(f"FAIL: {args.archive} does not exist; build it with 'make package'")

    defined, undefined = set(), {}
    members = set()
    for member, name, kind in symbols(nm, args.archive):
        members.add(member)
        if kind == "U":
            undefined.setdefault(name, set()).add(member)
        else:
            defined.add(name)

    failures = []
    for source in args.sources:
        stem = Path(source).name + "."
        if not any(member.startswith(stem) for member in members):
            failures.append(f"{source}: no object in {args.archive.name}")

    allowed = allowed_imports(args.triple, nm)
    for name in sorted(set(undefined) - defined - allowed):
        users = ", ".join(sorted(undefined[name]))
        hint = next((f"; likely {text}" for pattern, text in HINTS if pattern.search(name)), "")
        failures.append(f"{name}: not exported by {', '.join(KERNEL_MODULES)} "
                        f"nor a libgcc integer helper (used by {users}{hint})")

    for member, section in static_init_sections(objdump, args.archive):
        failures.append(f"{member}: static constructor or destructor section {section}")

    for failure in failures:
        print(f"FAIL: {failure}")
    if failures:
        return 1
    print(f"ok: {len(members)} objects, {len(set(undefined) - defined)} external symbols, "
          "all allowed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
