#!/usr/bin/env python3
"""Every mistake on ecmemu's command line or in a profile: exit status 2, one clear line on
standard error that names what is wrong, and nothing on standard output. A device the driver
refuses is not a usage error: exit status 1 with the report.

    usage_errors_test.py ECMEMU
"""
import json
import os
import subprocess
import sys
import tempfile

GOOD_DEVICE = "device: 12 01 00 02 02 00 00 40 09 12 01 4e 00 01 01 02 04 01\n"

# (name, command line after the program, profile text or None, words the message must hold)
CASES = [
    ("no command", [], None, ["subcommand"]),
    ("unknown command", ["fly"], None, ["fly"]),
    ("unknown option", ["run", "--bogus"], None, ["--bogus"]),
    ("stray argument", ["run", "extra"], None, ["extra"]),
    ("no frames", ["run", "--frames", "0"], None, ["--frames", "0"]),
    ("frames not a number", ["run", "--frames", "many"], None, ["--frames", "many"]),
    ("frame shorter than its header and numbering", ["run", "--frame-size", "26"], None, ["--frame-size", "26"]),
    ("seed on the threaded emulator", ["run", "--seed", "3", "--threaded"], None, ["--seed", "--threaded"]),
    ("seed not a number", ["run", "--seed", "soon"], None, ["--seed", "soon"]),
    ("param without a value", ["run", "--param", "RxBuffers"], None, ["NAME=VALUE", "RxBuffers"]),
    ("unknown keyword", ["run", "--param", "Speed=10"], None, ["Speed", "not a keyword"]),
    ("keyword given twice", ["run", "--param", "RxBuffers=4", "--param", "rxbuffers=8"], None,
     ["RxBuffers", "twice"]),
    ("number too large", ["run", "--param", "RxBuffers=4294967296"], None, ["RxBuffers", "4294967295"]),
    ("negative number", ["run", "--param", "TxBuffers=-1"], None, ["TxBuffers"]),
    ("address not hexadecimal", ["run", "--param", "NetworkAddress=02-11-22-33-44-ZZ"], None, ["NetworkAddress"]),
    ("address too short", ["run", "--param", "NetworkAddress=0211223344"], None, ["NetworkAddress"]),
    ("missing profile", ["run", "--profile", "{dir}/absent.profile"], None, ["absent.profile"]),
    ("profile line without a keyword", ["run", "--profile", "{profile}"], "# a comment\nnonsense\n",
     ["line 2"]),
    ("profile with a short device descriptor", ["run", "--profile", "{profile}"], "device: 12 01 00\n",
     ["line 1", "device descriptor"]),
    ("profile with a bad byte", ["run", "--profile", "{profile}"], GOOD_DEVICE + "config 0: 09 02 zz\n",
     ["line 2"]),
    ("profile without a configuration", ["run", "--profile", "{profile}"], GOOD_DEVICE, ["line 1", "config"]),
    ("capture in a missing directory", ["run", "--usb-pcap", "{dir}/no/such/usb.pcap"], None, ["usb.pcap"]),
    ("both captures in one file", ["run", "--usb-pcap", "{dir}/x.pcap", "--eth-pcap", "{dir}/x.pcap"], None,
     ["same file"]),
    ("bridge without a TAP", ["bridge", "--wire-tap", "w0"], None, ["--tap"]),
    ("bridge on one TAP twice", ["bridge", "--tap", "t0", "--wire-tap", "t0"], None, ["different"]),
    ("bridge with a TAP name too long", ["bridge", "--tap", "a-name-far-too-long", "--wire-tap", "w0"], None,
     ["a-name-far-too-long"]),
]


def main():
    ecmemu = sys.argv[1]
    failures = []
    with tempfile.TemporaryDirectory() as work:
        profile = os.path.join(work, "case.profile")
        for name, arguments, text, words in CASES:
            if text is not None:
                with open(profile, "w") as f:
                    f.write(text)
            arguments = [a.format(dir=work, profile=profile) for a in arguments]
            run = subprocess.run([ecmemu] + arguments, capture_output=True, text=True, timeout=60)
            message = run.stderr.strip()
            missing = [w for w in words if w not in message]
            if run.returncode != 2 or run.stdout or missing or len(message.splitlines()) != 1:
                failures.append("%s: exit %d, stdout %r, stderr %r (wanted %s)" %
                                (name, run.returncode, run.stdout[:200], message, words))
            else:
                print("%-40s %s" % (name, message))

        # A well-formed device the driver refuses: a report, not a usage error.
        with open(profile, "w") as f:
            f.write(open(sys.argv[2]).read())
        run = subprocess.run([ecmemu, "run", "--json", "--profile", profile, "--param", "ConfigurationIndex=5"],
                             capture_output=True, text=True, timeout=60)
        report = json.loads(run.stdout) if run.stdout else {}
        if run.returncode != 1 or report.get("initialized") is not False or report.get("ok") is not False or \
                report.get("initialize_status") == "0x00000000" or not report.get("error_log") or \
                report.get("current_address", "") is not None:
            failures.append("refused device: exit %d, %s" % (run.returncode, run.stdout[:600]))
        else:
            print("refused device: exit 1, initialize_status %s, error log %s" %
                  (report["initialize_status"], report["error_log"]))

    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
