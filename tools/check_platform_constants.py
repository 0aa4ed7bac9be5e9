#!/usr/bin/env python3
"""Checks that the numeric constants of platform/host mean the same in the i386 build.

Every object-like macro with a numeric value and every enumerator declared in platform/host is
evaluated by the host compiler, then asserted equal to the same name under platform/target with
the i386 compiler. A value the emulator tests run with but the image would not (or a name the
image lacks) fails here instead of on a real machine.
"""
import argparse
import re
import subprocess
import sys
import tempfile
from pathlib import Path

MACRO = re.compile(r"^#define\s+(\w+)[ \t]+([^\n]*\d[^\n]*)$", re.M)
ENUM_BODY = re.compile(r"\benum\s+\w*\s*\{([^}]*)\}")


def host_constants(host_dir):
    names = []
    for header in sorted(Path(host_dir).glob("*.h")):
        text = re.sub(r"//[^\n]*", "", header.read_text())
        names += [name for name, value in MACRO.findall(text) if '"' not in value]
        for body in ENUM_BODY.findall(text):
            names += [item.split("=")[0].strip() for item in body.split(",") if item.strip()]
    return names


def compile_and_run(compiler, flags, source, workdir):
    program = workdir / "host_constants"
    (workdir / "host_constants.cpp").write_text(source)
    subprocess.run([compiler, *flags, str(workdir / "host_constants.cpp"), "-o", str(program)],
                   check=True)
    return subprocess.run([str(program)], check=True, capture_output=True, text=True).stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repo", type=Path, required=True)
    parser.add_argument("--host-compiler", default="c++")
    parser.add_argument("--i386-compiler", default="i686-w64-mingw32-g++")
    parser.add_argument("--kit-include", type=Path, required=True)
    args = parser.parse_args()

    names = host_constants(args.repo / "platform/host")
    if not names:
        sys.exit(f"FAIL: no constants found in {args.repo / 'platform/host'}")

    with tempfile.TemporaryDirectory() as temp:
        workdir = Path(temp)
        printer = ["#include <platform.h>", "#include <stdio.h>", "int main() {"]
        printer += [f'  printf("%lld\\n", (long long)({name}));' for name in names]
        printer.append("}")
        values = compile_and_run(args.host_compiler,
                                 ["-std=c++17", f"-I{args.repo}", f"-I{args.repo}/platform/host"],
                                 "\n".join(printer) + "\n", workdir).split()

        # One assertion per line, so a failing line names its constant.
        checks = ["#include <platform.h>"]
        checks += [f"static_assert((long long)({name}) == {value}LL, \"\");"
                   for name, value in zip(names, values)]
        (workdir / "i386_constants.cpp").write_text("\n".join(checks) + "\n")
        result = subprocess.run(
            [args.i386_compiler, "-std=c++17", "-fsyntax-only", "-fmax-errors=0",
             f"-I{args.repo}", f"-I{args.repo}/platform/target", "-isystem",
             str(args.kit_include), str(workdir / "i386_constants.cpp")],
            capture_output=True, text=True)

    failing = sorted({int(line) for line in
                      re.findall(r"i386_constants\.cpp:(\d+):\d+: error", result.stderr)})
    for line in failing:
        name, value = names[line - 2], values[line - 2]
        print(f"FAIL: {name} is {value} on the host; missing or different on i386")
    if result.returncode and not failing:
        print(result.stderr)
        return 1
    if failing:
        return 1
    print(f"ok: {len(names)} constants agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
