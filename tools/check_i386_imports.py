#!/usr/bin/env python3
"""Checks the i386 driver archive, and the image linked from it, against what Windows XP SP2
gives a kernel image.

Every symbol the driver objects leave undefined must be on the allow-list (tools/i386_imports.txt:
the routines checked against XP itself, with module, calling convention and the first Windows
version that has them), be called with the listed convention, and exist on XP SP2; or be one of
libgcc's integer helpers. With --image, every routine the linked image imports must be on the list
under the module it is imported from. No object may carry static constructors or destructors:
nothing runs them in a kernel image. Every driver source must have its object in the archive, so a
stale or empty archive cannot pass.
"""
import argparse
import re
import subprocess
import sys
from pathlib import Path
from typing import NamedTuple

sys.path.insert(0, str(Path(__file__).parent))
from pe_image import Image  # noqa: E402

ALLOW_LIST = Path(__file__).parent / "i386_imports.txt"
VERSIONS = ("2000", "XP", "XP-SP1", "XP-SP2", "2003", "Vista", "7", "8", "10")
MINIMUM = "XP-SP2"
CONVENTIONS = ("stdcall", "fastcall", "cdecl")

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


class Allowed(NamedTuple):
    module: str
    name: str
    convention: str
    first: str
    checked: str


def load_allow_list(path):
    allowed = {}
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split(None, 4)
        if len(fields) < 5 or fields[2] not in CONVENTIONS or fields[3] not in VERSIONS:
            sys.exit(f"{path}:{number}: want module, name, {'/'.join(CONVENTIONS)}, one of "
                     f"{' '.join(VERSIONS)}, and where it was checked")
        allowed[fields[1]] = Allowed(*fields)
    return allowed


def called_as(symbol):
    """(the calling conventions the call fits, and the names it may be listed under), or None.
    A call decorated @0 pops nothing, so it fits stdcall and cdecl alike; the import library
    files cdecl exports under such names too. Some exports keep their decoration as their name."""
    bare = symbol[len("__imp_"):] if symbol.startswith("__imp_") else symbol
    if match := re.fullmatch(r"@(\w+)@\d+", bare):
        return {"fastcall"}, (match[1], bare)
    if match := re.fullmatch(r"_(\w+)@(\d+)", bare):
        return ({"stdcall"} if match[2] != "0" else {"stdcall", "cdecl"}), (match[1], bare[1:], bare)
    if match := re.fullmatch(r"_(\w+)", bare):
        return {"cdecl"}, (match[1],)
    return None


def verdict(entry, name):
    """What is wrong with importing a listed routine, or None."""
    if VERSIONS.index(entry.first) > VERSIONS.index(MINIMUM):
        return (f"{name}: first in Windows {entry.first} ({entry.checked}), but the image must load on "
                f"Windows XP SP2; use a routine XP SP2 has")
    return None


def unlisted(name, where):
    return (f"{name}: not on the allow-list {ALLOW_LIST.name} ({where}); check in the platform's "
            f"documentation that Windows XP SP2 (i386) exports it, from which module and with which "
            f"calling convention, then list it with where that was checked")


def check_calls(undefined, allowed, helpers):
    failures = []
    for symbol, users in sorted(undefined.items()):
        if symbol in helpers:
            continue
        used_by = f"used by {', '.join(sorted(users))}"
        call = called_as(symbol)
        entry = call and next((allowed[name] for name in call[1] if name in allowed), None)
        if not entry:
            hint = next((f"; likely {text}" for pattern, text in HINTS if pattern.search(symbol)), "")
            failures.append(unlisted(symbol, used_by + hint))
            continue
        if entry.convention not in call[0]:
            failures.append(f"{symbol}: called as {' or '.join(sorted(call[0]))}, but {entry.module} exports "
                            f"{entry.name} as {entry.convention} ({entry.checked}); check the "
                            f"declaration the driver uses ({used_by})")
        elif problem := verdict(entry, symbol):
            failures.append(f"{problem} ({used_by})")
    return failures


def check_image_imports(image_path, allowed):
    failures = []
    for module, names in Image(image_path.read_bytes()).imports().items():
        for name in names:
            entry = allowed.get(name)
            if not entry:
                failures.append(unlisted(name, f"imported by {image_path.name} from {module}"))
            elif entry.module.lower() != module.lower():
                failures.append(f"{name}: imported from {module}, but {entry.module} exports it "
                                f"({entry.checked}); check which module has it on XP")
            elif problem := verdict(entry, name):
                failures.append(problem)
    return failures


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def symbols(nm, path):
    """Yields (archive member, symbol name, nm type letter) for every symbol of path."""
    for line in run(nm, "-A", "-P", str(path)).splitlines():
        match = NM_LINE.match(line)
        if match:
            yield match["member"] or Path(path).name, match["name"], match["type"]


def libgcc_helpers(triple, nm):
    libgcc = run(f"{triple}-gcc", "-print-libgcc-file-name").strip()
    return {name for _, name, kind in symbols(nm, libgcc) if kind == "T" and LIBGCC_INTEGER_HELPER.match(name)}


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
    parser.add_argument("--allow-list", type=Path, default=ALLOW_LIST)
    parser.add_argument("--image", type=Path, help="the image linked from the archive")
    parser.add_argument("archive", type=Path, help="the i386 driver archive")
    parser.add_argument("sources", nargs="+", help="driver sources that must be in it")
    args = parser.parse_args()
    nm, objdump = f"{args.triple}-nm", f"{args.triple}-objdump"

    for path in filter(None, (args.archive, args.image)):
        if not path.is_file():
            sys.exit(f"FAIL: {path} does not exist; build it with 'make package'")

    defined, undefined = set(), {}
    members = set()
    for member, name, kind in symbols(nm, args.archive):
        members.add(member)
        if kind == "U":
            undefined.setdefault(name, set()).add(member)
        else:
            defined.add(name)
    external = {name: users for name, users in undefined.items() if name not in defined}

    failures = []
    for source in args.sources:
        stem = Path(source).name + "."
        if not any(member.startswith(stem) for member in members):
            failures.append(f"{source}: no object in {args.archive.name}")

    allowed = load_allow_list(args.allow_list)
    failures += check_calls(external, allowed, libgcc_helpers(args.triple, nm))
    if args.image:
        failures += check_image_imports(args.image, allowed)

    for member, section in static_init_sections(objdump, args.archive):
        failures.append(f"{member}: static constructor or destructor section {section}")

    for failure in failures:
        print(f"FAIL: {failure}")
    if failures:
        return 1
    print(f"ok: {len(members)} objects, {len(external)} external symbols, all on the allow-list "
          f"for Windows XP SP2{' and imported so by ' + args.image.name if args.image else ''}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
