#!/usr/bin/env python3
"""The import check refuses what Windows XP SP2 cannot give: a throw-away object that calls a
routine first in Windows 7 and one that is on no list is added to a copy of the driver archive,
and linked into an image of its own; the check fails on both, saying what to check. The driver
archive and image as built pass.

    import_check_test.py CHECK ARCHIVE IMAGE SOURCE...
"""
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

TRIPLE = "i686-w64-mingw32"
THROW_AWAY = """
__declspec(dllimport) unsigned long __stdcall KeQueryActiveProcessorCountEx(unsigned short group);
__declspec(dllimport) long __stdcall IoGetDeviceProperty(void *device, int property, unsigned long length,
                                                         void *buffer, unsigned long *returned);
unsigned long __stdcall Probe(void *device) {
  unsigned long returned;
  return KeQueryActiveProcessorCountEx(0xFFFF) + IoGetDeviceProperty(device, 0, 0, 0, &returned);
}
"""
# (what the output must hold, why)
EXPECTED = [
    ("FAIL: __imp__KeQueryActiveProcessorCountEx@4: first in Windows 7", "the archive's call to a post-SP2 routine"),
    ("FAIL: __imp__IoGetDeviceProperty@20: not on the allow-list", "the archive's call to an unlisted routine"),
    ("FAIL: KeQueryActiveProcessorCountEx: first in Windows 7", "the image's import of a post-SP2 routine"),
    ("FAIL: IoGetDeviceProperty: not on the allow-list", "the image's import of an unlisted routine"),
    ("check in the platform's documentation that Windows XP SP2 (i386) exports it", "what to check"),
    ("must load on Windows XP SP2", "why the new routine is refused"),
]


def run(*command):
    return subprocess.run([str(c) for c in command], capture_output=True, text=True)


def main():
    check, archive, image, sources = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3]), sys.argv[4:]
    failures = []
    built = run(sys.executable, check, "--image", image, archive, *sources)
    if built.returncode != 0:
        failures.append(f"the package as built fails the check:\n{built.stdout}{built.stderr}")

    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        (work / "probe.c").write_text(THROW_AWAY)
        steps = [
            (f"{TRIPLE}-gcc", "-O2", "-c", work / "probe.c", "-o", work / "probe.o"),
            (f"{TRIPLE}-gcc", "-nostdlib", "-Wl,--subsystem,native", "-Wl,--entry,_Probe@4", work / "probe.o",
             "-lntoskrnl", "-o", work / "probe.sys"),
            (f"{TRIPLE}-ar", "r", work / "driver.a", work / "probe.o"),
        ]
        shutil.copy(archive, work / "driver.a")
        for step in steps:
            made = run(*step)
            if made.returncode != 0:
                sys.exit(f"FAIL: {' '.join(map(str, step))}: {made.stderr}")
        probed = run(sys.executable, check, "--image", work / "probe.sys", work / "driver.a", *sources)

    if probed.returncode != 1:
        failures.append(f"the throw-away object passed (exit {probed.returncode})")
    for text, why in EXPECTED:
        if text not in probed.stdout:
            failures.append(f"no '{text}' ({why})")
    for failure in failures:
        print(f"FAIL: {failure}")
    if failures:
        print(probed.stdout + probed.stderr)
        return 1
    print("ok: the check refuses a post-SP2 and an unlisted import, in archive and image, and passes the package")
    return 0


if __name__ == "__main__":
    sys.exit(main())
