#!/usr/bin/env python3
"""The profile written from a device's sysfs entry is the device the profile came from:
run against a sysfs entry made from a shipped profile, it gives that profile's descriptors back
and ecmemu brings the device up with its MAC address."""
import json
import subprocess
import sys
import tempfile
from pathlib import Path

script, ecmemu, profile = Path(sys.argv[1]), sys.argv[2], Path(sys.argv[3])


def parse(text):
    lines = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            key, value = line.split(":", 1)
            lines[key.strip()] = bytes.fromhex(value)
    return lines


original = parse(profile.read_text())
with tempfile.TemporaryDirectory() as tmp:
    device = Path(tmp) / "1-2"
    device.mkdir()
    configs = [original[k] for k in sorted(k for k in original if k.startswith("config"))]
    (device / "descriptors").write_bytes(original["device"] + b"".join(configs))
    (device / "manufacturer").write_text("Example Devices\n")
    (device / "product").write_text("HS Ethernet Gadget\n")
    net = device / "1-2:1.0" / "net" / "usb0"
    net.mkdir(parents=True)
    (net / "address").write_text("02:00:5e:10:20:30\n")
    written = subprocess.run([sys.executable, script, str(device)], capture_output=True, text=True, check=True)
    out = Path(tmp) / "written.profile"
    out.write_text(written.stdout)
    rebuilt = parse(written.stdout)
    for key in ("device", "config 0", "string 0", "string 1", "string 2", "string 3"):
        assert rebuilt.get(key) == original.get(key), f"{key}: {rebuilt.get(key)} != {original.get(key)}"
    run = subprocess.run([ecmemu, "run", "--json", "--frames", "50", "--profile", str(out)],
                         capture_output=True, text=True)
    report = json.loads(run.stdout)
    assert report["initialized"], report
    if report.get("permanent_address") is not None:
        assert report["permanent_address"] == "02-00-5E-10-20-30", report["permanent_address"]

    (device / "descriptors").write_bytes(b"\x12\x01")
    broken = subprocess.run([sys.executable, script, str(device)], capture_output=True, text=True)
    assert broken.returncode != 0 and "device descriptor" in broken.stderr, broken.stderr
print("profile_from_sysfs: descriptors and strings rebuilt, device brought up")
