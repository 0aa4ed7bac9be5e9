#!/usr/bin/env python3
"""The INF check catches each kind of fault XP's setup would trip over: a copy of the INF is
broken in one way at a time, and the check must fail naming it; the INF as shipped passes.

    inf_check_test.py CHECK INF REPO
"""
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path


def drop_line(pattern):
    return lambda text: re.sub(rf"^{pattern}.*\n", "", text, count=1, flags=re.M)


def replace(old, new):
    return lambda text: text.replace(old, new, 1)


# (fault, change to the INF, what the check must say)
CASES = [
    ("models section missing", replace("\n[CdcEcm.NTx86]", "\n[CdcEcm.NTamd64]"), "[CdcEcm.NTx86], named by"),
    ("install section missing", replace("[CdcEcm.Config1.NT]", "[CdcEcm.Config9.NT]"),
     "no install section CdcEcm.Config1"),
    ("services section missing", replace("[CdcEcm.Config0.NT.Services]", "[CdcEcm.Config0.Services]"),
     "[CdcEcm.Config0.NT.Services], named by"),
    ("AddReg section missing", replace("[CdcEcm.Params]", "[CdcEcm.Parameters]"), "[CdcEcm.Params], named by"),
    ("string undefined", drop_line("NetworkAddress +="), "%NetworkAddress% is not defined"),
    ("string misspelt", replace("%TxBuffers%", "%TxBufers%"), "%TxBufers% is not defined"),
    ("service incomplete", drop_line("ErrorControl"), "[CdcEcm.Service] lacks ErrorControl"),
    ("service binary not copied", replace(r"%12%\cdcecm.sys", r"%12%\ecm.sys"), "ServiceBinary %12%\\ecm.sys"),
    ("no event-log section", replace("CdcEcm.Service, CdcEcm.EventLog", "CdcEcm.Service"),
     "AddService wants a name, flags, a service section and an event-log section"),
    ("no message file", drop_line("HKR, , EventMessageFile"), "sets no EventMessageFile"),
    ("message file without the driver", replace(r"%%SystemRoot%%\System32\drivers\cdcecm.sys", ""),
     "does not name the driver's own message table"),
    ("no types supported", drop_line("HKR, , TypesSupported"), "sets no TypesSupported"),
    ("file not on a source disk", drop_line(r"cdcecm\.sys = 1"), "is not in [SourceDisksFiles]"),
    ("source disk missing", replace("1 = %DiskName%", "2 = %DiskName%"), "which [SourceDisksNames] lacks"),
    ("no destination", drop_line("CdcEcm.CopyFiles = 12"), "has no destination in [DestinationDirs]"),
    ("file not in the package", replace("[CdcEcm.CopyFiles]\ncdcecm.sys", "[CdcEcm.CopyFiles]\ncdcecm.pdb"),
     "cdcecm.pdb, copied by [CdcEcm.CopyFiles], is not in the package"),
    ("keyword misspelt", lambda t: t.replace(r"Ndi\params\RxBuffers,", r"Ndi\params\RxBufers,"),
     "RxBuffers: the driver reads it, but Ndi\\params has no entry"),
    ("keyword the driver does not read",
     replace("[CdcEcm.Params]\n", '[CdcEcm.Params]\nHKR, Ndi\\params\\LinkSpeed, ParamDesc, 0, "Link speed"\n'),
     "Ndi\\params\\linkspeed: the driver reads no such keyword"),
    ("range wider than the driver's",
     replace('HKR, Ndi\\params\\TxBuffers,              max,       0, "128"',
             'HKR, Ndi\\params\\TxBuffers,              max,       0, "256"'),
     "Ndi\\params\\TxBuffers: range 2 to 256, the driver keeps 2 to 128"),
    ("default not the driver's",
     replace('HKR, Ndi\\params\\DefaultMediaState,      default,   0, "0"',
             'HKR, Ndi\\params\\DefaultMediaState,      default,   0, "1"'),
     "Ndi\\params\\DefaultMediaState: default '1', the driver's is 0"),
    ("default not the package's",
     replace('HKR, Ndi\\params\\RxBuffers,              default,   0, "16"',
             'HKR, Ndi\\params\\RxBuffers,              default,   0, "4"'),
     "Ndi\\params\\RxBuffers: default '4', the package's is 16"),
    ("type wrong", replace('HKR, Ndi\\params\\ConfigurationIndex,     type,      0, "int"',
                           'HKR, Ndi\\params\\ConfigurationIndex,     type,      0, "dword"'),
     "Ndi\\params\\ConfigurationIndex: type 'dword', wants int"),
    ("switch offers a third value", replace('HKR, Ndi\\params\\DefaultMediaState\\enum, "1"',
                                            'HKR, Ndi\\params\\DefaultMediaState\\enum, "2"'),
     "Ndi\\params\\DefaultMediaState: enum values ['0', '2']"),
    ("address unbounded", drop_line(r"HKR, Ndi\\params\\NetworkAddress, +LimitText"),
     "Ndi\\params\\NetworkAddress: wants type edit, LimitText 12"),
    ("installed value out of range", replace('HKR, ,                                  TxBuffers, 0, "16"',
                                             'HKR, ,                                  TxBuffers, 0, "1"'),
     "TxBuffers = '1' is outside 2 to 128"),
]


def run_check(check, inf, repo):
    return subprocess.run([sys.executable, check, str(inf), "--repo", repo], capture_output=True, text=True)


def main():
    check, inf, repo = sys.argv[1], Path(sys.argv[2]), sys.argv[3]
    original = inf.read_text()
    failures = []
    with tempfile.TemporaryDirectory() as package:
        package = Path(package)
        shutil.copy(inf, package / "cdcecm.inf")
        (package / "cdcecm.sys").write_bytes(b"MZ")
        shipped = run_check(check, package / "cdcecm.inf", repo)
        if shipped.returncode != 0:
            failures.append(f"the INF as shipped fails:\n{shipped.stdout}{shipped.stderr}")
        for fault, change, expected in CASES:
            broken = change(original)
            if broken == original:
                failures.append(f"{fault}: the change found nothing to change in the INF")
                continue
            (package / "cdcecm.inf").write_text(broken)
            result = run_check(check, package / "cdcecm.inf", repo)
            if result.returncode != 1 or expected not in result.stdout:
                failures.append(f"{fault}: exit {result.returncode}, wanted '{expected}' in:\n{result.stdout}{result.stderr}")
    for failure in failures:
        print(f"FAIL: {failure}")
    if failures:
        return 1
    print(f"ok: the shipped INF passes and each of {len(CASES)} faults is caught")
    return 0


if __name__ == "__main__":
    sys.exit(main())
