"""Instructions of a callgrind profile by where the code comes from: each function's own
instructions (not those of what it calls) go to the part of the tree its source file is in,
code of its own inlined into it included. Paths in the debug information may name another
checkout of the tree (the compiler cache is shared), so a file is placed by the folders it
sits in below the tree's top, checked against this tree.
"""
import os
import re

DRIVER = ("support", "usb", "transfer", "ecm", "adapter", "driver")
PARTS = {**{folder: "driver" for folder in DRIVER}, "emu": "emulator", "tools": "harness", "bench": "harness",
         "platform": "driver"}
# Compressed names are numbered per kind: files (fl, fi, fe and their cf- forms share one
# table), functions and objects.
TABLES = {"fl": "file", "fi": "file", "fe": "file", "cfl": "file", "cfi": "file", "fn": "function",
          "cfn": "function", "ob": "object", "cob": "object"}
NAMED = re.compile(r"^(fl|fi|fe|fn|cfl|cfi|cfn|ob|cob)=(?:\((\d+)\))?\s*(.*)$")


def part_of(path, source):
    """driver, emulator, harness, or libraries for a file outside this tree (or none known)."""
    parts = os.path.normpath(path).split(os.sep)
    for i, folder in enumerate(parts):
        if folder in PARTS and os.path.exists(os.path.join(source, *parts[i:])):
            return PARTS[folder]
    return "libraries"


def instructions_by_part(profile, source):
    """{part: Ir} of a callgrind output file of the Ir event alone; ValueError when the parts
    do not add up to the profile's own total."""
    names = {}
    totals = {}
    total = None
    function_file = ""
    skip_next = False  # the line after calls= is the call's inclusive cost
    part = "libraries"
    with open(profile) as lines:
        for line in lines:
            line = line.rstrip("\n")
            named = NAMED.match(line)
            if named:
                kind, number, name = named.groups()
                if number and name:
                    names[(TABLES[kind], number)] = name
                elif number:
                    name = names.get((TABLES[kind], number), "")
                if kind == "fl":
                    function_file = name
                elif kind == "fn":
                    part = part_of(function_file, source)
                continue
            if line.startswith("totals:"):
                total = int(line.split()[1])
                continue
            if line.startswith("calls="):
                skip_next = True
                continue
            if not line or not (line[0].isdigit() or line[0] in "+-*"):
                continue
            if skip_next:
                skip_next = False
                continue
            fields = line.split()
            if len(fields) >= 2:
                totals[part] = totals.get(part, 0) + int(fields[1])
    if total is None or sum(totals.values()) != total:
        raise ValueError("%s: the functions' instructions add up to %d, the profile says %s" % (
            profile, sum(totals.values()), total))
    return totals
