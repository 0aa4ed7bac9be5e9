#!/usr/bin/env python3
"""The driver against two real CDC ECM devices, each in a Linux guest under QEMU.

QEMU's USB network device (its ECM function in configuration index 1, full speed) and the
Linux ECM gadget on the dummy host controller (high speed) each get a guest of their own; both
guests run at once. The guest runs ecmemu on the device through usbfs (case-*.sh); this script
boots the guests, plays the parts outside them (the far end behind QEMU's device, its removal
through QEMU's monitor), then checks what the sessions left in the results folder and prints
per device what was measured.

Usage: bench.py --ecmemu BUILD/bin/ecmemu   (BUILD inside the source tree; root, for the TAP)
"""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
GUEST_BOUND_S = 300  # one guest's whole life, from boot to power-off
TAP = "ecmbq0"
CUE = "guest: removal cue"

DEVICES = {
    "usbnet": dict(title="QEMU usb-net", case="case-usbnet.sh", configuration=1, mac="52-54-00-12-34-56",
                   runs=["usbnet-obt0", "usbnet-obt1"], removal="usbnet-removal"),
    "gadget": dict(title="Linux ECM gadget", case="case-gadget.sh", configuration=0, mac="02-EC-00-00-00-01",
                   runs=["gadget-obt0", "gadget-obt1"], removal="gadget-removal"),
}
ECM_FILTER = 0x1C  # directed, multicast, broadcast
MAXIMUM_FRAME = 1514


def qemu_command(guest_dir, name, out_rel, ecmemu_rel, monitor):
    device = DEVICES[name]
    command = ["qemu-system-x86_64", "-M", "q35", "-accel", "tcg", "-smp", "1", "-m", "1024", "-nodefaults",
               "-no-user-config", "-display", "none", "-serial", "stdio", "-no-reboot",
               "-kernel", os.path.join(guest_dir, "vmlinux"), "-initrd", os.path.join(guest_dir, "initramfs"),
               "-append", "console=ttyS0 quiet panic=-1 modprobe.blacklist=cdc_ether,cdc_ncm,rndis_host,usbnet "
               "ecm.case=tests/hardware/%s ecm.out=%s ecm.ecmemu=%s" % (device["case"], out_rel, ecmemu_rel),
               "-virtfs", "local,path=/usr,mount_tag=usr,security_model=none,readonly=on",
               "-virtfs", "local,path=%s,mount_tag=work,security_model=none" % SOURCE,
               "-monitor", "unix:%s,server,nowait" % monitor]
    if name == "usbnet":
        command += ["-device", "qemu-xhci,id=xhci",
                    "-device", "usb-net,bus=xhci.0,netdev=n0,mac=52:54:00:12:34:56,id=ecmusbnet",
                    "-netdev", "tap,id=n0,ifname=%s,script=no,downscript=no" % TAP]
    return command


def monitor_command(path, line):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(10)
        s.connect(path)
        s.sendall(line.encode() + b"\n")
        time.sleep(0.5)


def far_end_behind_qemu(ecmemu, out):
    """The far end of QEMU's device: its TAP on this host, answered by ecmemu reflect."""
    deadline = time.monotonic() + 30
    while not os.path.exists("/sys/class/net/" + TAP):
        if time.monotonic() > deadline:
            return None
        time.sleep(0.05)
    # The host's own stack stays off the wire: no IPv6 chatter from this side.
    subprocess.run(["sysctl", "-q", "-w", "net.ipv6.conf.%s.disable_ipv6=1" % TAP], check=False)
    subprocess.run(["ip", "link", "set", TAP, "up"], check=True)
    log = open(os.path.join(out, "usbnet-reflect.txt"), "w")
    return subprocess.Popen([ecmemu, "reflect", "--interface", TAP], stdout=log, stderr=subprocess.STDOUT)


def run_guest(name, guest_dir, out, ecmemu, results):
    out_rel = os.path.relpath(out, SOURCE)
    ecmemu_rel = os.path.relpath(ecmemu, SOURCE)
    monitor = os.path.join(out, name + ".monitor")
    log_path = os.path.join(out, name + "-console.txt")
    start = time.monotonic()
    with open(log_path, "w") as log:
        qemu = subprocess.Popen(qemu_command(guest_dir, name, out_rel, ecmemu_rel, monitor), stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, text=True, errors="replace")
        timer = threading.Timer(GUEST_BOUND_S, qemu.kill)
        timer.start()
        reflector = far_end_behind_qemu(ecmemu, out) if name == "usbnet" else None
        for line in qemu.stdout:
            log.write(line)
            log.flush()
            if CUE in line and name == "usbnet":
                monitor_command(monitor, "device_del ecmusbnet")
        qemu.wait()
        timer.cancel()
        if reflector:
            reflector.terminate()
            reflector.wait(timeout=10)
    results[name] = dict(seconds=time.monotonic() - start, timed_out=time.monotonic() - start >= GUEST_BOUND_S,
                         reflector_started=reflector is not None or name != "usbnet")


def load_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def tshark_malformed(path):
    """Malformed records in a capture, or a reason it could not be read."""
    done = subprocess.run(["tshark", "-r", path, "-Y", "_ws.malformed"], capture_output=True, text=True)
    if done.returncode != 0:
        return "tshark cannot read it: " + done.stderr.strip()[:200]
    count = len([line for line in done.stdout.splitlines() if line.strip()])
    return "%d malformed record(s)" % count if count else None


def tshark_count(path, display_filter):
    done = subprocess.run(["tshark", "-r", path, "-Y", display_filter], capture_output=True, text=True)
    return len([line for line in done.stdout.splitlines() if line.strip()])


def pcap_bytes(path):
    """Frame bytes in a classic pcap file."""
    total = 0
    with open(path, "rb") as f:
        f.read(24)
        while True:
            header = f.read(16)
            if len(header) < 16:
                return total
            captured = int.from_bytes(header[8:12], "little")
            total += int.from_bytes(header[12:16], "little")
            f.seek(captured, 1)


def check_session(name, device, out, removal, failures, lines):
    report = load_json(os.path.join(out, name + ".json"))
    if report is None:
        failures.append("%s: no report (%s)" % (name, open(os.path.join(out, name + ".err")).read()[-300:]
                                                 if os.path.exists(os.path.join(out, name + ".err")) else "not run"))
        return

    def expect(condition, why):
        if not condition:
            failures.append("%s: %s" % (name, why))

    expect(report.get("ok"), "not ok: %s" % report.get("failed_checks"))
    expect(report.get("initialized"), "not initialized")
    expect(report.get("configuration_index") == device["configuration"],
           "configuration index %s" % report.get("configuration_index"))
    expect(report.get("permanent_address") == device["mac"], "permanent address %s" % report.get("permanent_address"))
    expect(report.get("maximum_total_size") == MAXIMUM_FRAME, "maximum frame %s" % report.get("maximum_total_size"))
    expect(ECM_FILTER in report.get("packet_filter_requests", []), "no acknowledged SET_ETHERNET_PACKET_FILTER 0x1C")
    expect(not report.get("verifier_violations"), "verifier: %s" % report.get("verifier_violations"))
    expect(not report.get("leaks"), "leaks: %s" % report.get("leaks"))
    steps = " | ".join(report.get("steps", []))
    frames = report.get("frames", {})
    expect(frames.get("verified", 0) > 0, "no frame came back")
    for key in ("lost", "duplicated", "reordered", "corrupted"):
        expect(frames.get(key, 1) == 0, "%s frame(s) %s" % (frames.get(key), key))
    if removal:
        expect("surprise removal" in steps, "no surprise removal step")
    else:
        expect(report.get("media_connected"), "the link is not up at the end (the device's notifications)")
        expect("power: D3" in steps and "reset with" in steps, "the D3/D0 or reset step is missing")
    usb_pcap = os.path.join(out, name + ".usb.pcap")
    malformed = tshark_malformed(usb_pcap)
    expect(malformed is None, "USB capture: %s" % malformed)
    expect(tshark_count(usb_pcap, "usbcom.control.request_code == 0x43") > 0,
           "the capture has no SET_ETHERNET_PACKET_FILTER")
    expect(tshark_count(usb_pcap, "usb.setup.bRequest == 11 && usb.bAlternateSetting == 1") > 0,
           "the capture has no SET_INTERFACE to alternate setting 1")
    line = "  %-14s %4d frames back of %4d, %5.1f round trips/s" % (
        name, frames.get("verified", 0), frames.get("sent", 0), report.get("round_trips_per_second", 0))
    eth_pcap = os.path.join(out, name + ".eth.pcap")
    if not removal and os.path.exists(eth_pcap):
        malformed = tshark_malformed(eth_pcap)
        expect(malformed is None, "Ethernet capture: %s" % malformed)
        seconds = report.get("traffic_seconds") or 0
        if seconds:
            line += ", %.2f Mbit/s both ways" % (pcap_bytes(eth_pcap) * 8 / seconds / 1e6)
    if frames.get("other"):
        line += ", %d other frames (the far end's own)" % frames["other"]
    lines.append(line)


def check_bridge(out, failures, lines):
    text = open(os.path.join(out, "gadget-bridge.txt")).read() if os.path.exists(
        os.path.join(out, "gadget-bridge.txt")) else ""
    if "Result: OK" not in text:
        failures.append("gadget bridge: %s" % (text[-400:] or "no report"))
    ping = open(os.path.join(out, "gadget-ping.txt")).read() if os.path.exists(
        os.path.join(out, "gadget-ping.txt")) else ""
    if " 0% packet loss" not in ping or "20 received" not in ping:
        failures.append("gadget bridge: ping: %s" % (ping.strip().splitlines()[-2:] if ping else "not run"))
    rates = []
    for name in ("gadget-iperf3", "gadget-iperf3-reverse"):
        result = load_json(os.path.join(out, name + ".json")) or {}
        rate = result.get("end", {}).get("sum_received", {}).get("bits_per_second")
        if not rate:
            failures.append("gadget bridge: %s measured nothing: %s" % (name, result.get("error", "no result")))
        rates.append((rate or 0) / 1e6)
    lines.append("  %-14s ping 20 of 20; iperf3 TCP %.2f Mbit/s to the gadget, %.2f Mbit/s back" % (
        "gadget-bridge", rates[0], rates[1]))


def check_backend(out, failures, lines):
    result = load_json(os.path.join(out, "gadget-backend.json"))
    if not result:
        failures.append("backend tests: no result")
        return
    if result.get("failures", 1) or result.get("errors", 0) or not result.get("tests"):
        failures.append("backend tests: %s of %s failed" % (result.get("failures"), result.get("tests")))
    lines.append("  %-14s %d tests, %d failed" % ("gadget-backend", result.get("tests", 0), result.get("failures", 0)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ecmemu", required=True)
    parser.add_argument("--only", choices=sorted(DEVICES), help="one device")
    args = parser.parse_args()
    ecmemu = os.path.abspath(args.ecmemu)
    if os.path.commonpath([ecmemu, SOURCE]) != SOURCE:
        print("bench: ecmemu must be built inside the source tree (the guest sees only the tree)")
        return 1
    build = os.path.dirname(os.path.dirname(ecmemu))
    guest_dir = os.path.join(build, "hardware")
    out = os.path.join(guest_dir, "out")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    subprocess.run([os.path.join(HERE, "build-guest.sh"), guest_dir], check=True)
    started = time.monotonic()
    results = {}
    names = [args.only] if args.only else sorted(DEVICES)
    threads = [threading.Thread(target=run_guest, args=(n, guest_dir, out, ecmemu, results)) for n in names]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    failures = []
    for name in names:
        device = DEVICES[name]
        lines = []
        r = results.get(name, {})
        if r.get("timed_out"):
            failures.append("%s: the guest did not finish within %d s" % (name, GUEST_BOUND_S))
        if not r.get("reflector_started"):
            failures.append("%s: QEMU's TAP never appeared" % name)
        if not os.path.exists(os.path.join(out, name + ".profile")):
            failures.append("%s: no profile read from the device" % name)
        for run in device["runs"]:
            check_session(run, device, out, False, failures, lines)
        check_session(device["removal"], device, out, True, failures, lines)
        if name == "gadget":
            check_bridge(out, failures, lines)
            check_backend(out, failures, lines)
        print("%s (guest %.0f s):" % (device["title"], r.get("seconds", 0)))
        print("\n".join(lines))
    print("bench: %.0f s in all; results in %s" % (time.monotonic() - started, out))
    for f in failures:
        print("FAILED: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
