#!/usr/bin/env python3
"""The two captures of an `ecmemu run`, read back by Wireshark's own dissectors (tshark).

    captures_test.py ECMEMU [ecmemu run options...]

The USB capture must decode without a malformed record or an expert error, show the
descriptor requests, SET_ETHERNET_PACKET_FILTER, the link notifications and every bulk
payload as an Ethernet frame; the Ethernet capture must hold the same frames.
"""
import json
import os
import struct
import subprocess
import sys
import tempfile

LINKTYPE_ETHERNET = 1
LINKTYPE_USBPCAP = 249
ETHERTYPE_OF_THE_SESSION = "0x88b5"


def link_type(path):
    with open(path, "rb") as f:
        header = f.read(24)
    magic = struct.unpack("<I", header[:4])[0]
    order = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    return struct.unpack(order + "I", header[20:24])[0]


def tshark(path, *arguments):
    run = subprocess.run(["tshark", "-r", path] + list(arguments), capture_output=True, text=True, timeout=300)
    if run.returncode != 0:
        raise RuntimeError("tshark -r %s failed: %s" % (path, run.stderr))
    return run.stdout


def fields(path, display_filter, *names):
    arguments = ["-Y", display_filter, "-T", "fields"]
    for name in names:
        arguments += ["-e", name]
    return [line.split("\t") for line in tshark(path, *arguments).splitlines()]


def main():
    ecmemu, options = sys.argv[1], sys.argv[2:]
    problems = []

    def expect(condition, what):
        if not condition:
            problems.append(what)

    with tempfile.TemporaryDirectory() as work:
        usb, ethernet = os.path.join(work, "usb.pcap"), os.path.join(work, "eth.pcap")
        run = subprocess.run([ecmemu, "run", "--json", "--usb-pcap", usb, "--eth-pcap", ethernet] + options,
                             capture_output=True, text=True, timeout=300)
        if run.returncode != 0:
            print("ecmemu exited with %d\n%s%s" % (run.returncode, run.stdout, run.stderr))
            return 1
        frames = json.loads(run.stdout)["frames"]

        expect(link_type(usb) == LINKTYPE_USBPCAP, "USB capture link type %d" % link_type(usb))
        expect(link_type(ethernet) == LINKTYPE_ETHERNET, "Ethernet capture link type %d" % link_type(ethernet))
        for path in (usb, ethernet):
            expert = tshark(path, "-q", "-z", "expert")
            expect("Errors (" not in expert and "Malformed" not in expert, "%s: %s" % (os.path.basename(path), expert))

        # The first descriptor type of each request and of each answer.
        descriptors = {row[0].split(",")[0] for row in fields(usb, "usb.bDescriptorType", "usb.bDescriptorType")}
        expect("0x02" in descriptors, "no configuration descriptor read: %s" % descriptors)
        expect("0x03" in descriptors, "no string descriptor read (the MAC address): %s" % descriptors)
        filters = fields(usb, "usbcom.control.request_code == 0x43", "usbcom.control.value")
        expect(["28"] in filters or ["0x001c"] in filters, "no SET_ETHERNET_PACKET_FILTER 0x001C: %s" % filters)
        notifications = fields(usb, "usbcom.interrupt.notification_code", "usbcom.interrupt.notification_code",
                               "usbcom.interrupt.value")
        expect(["0x00", "0x0001"] in notifications, "no NETWORK_CONNECTION (connected): %s" % notifications)
        expect(["0x00", "0x0000"] in notifications, "no NETWORK_CONNECTION (disconnected): %s" % notifications)
        expect(any(n[0] == "0x2a" for n in notifications), "no CONNECTION_SPEED_CHANGE: %s" % notifications)

        # Each frame shows once on the bus: OUT as submitted, IN as completed.
        on_bus = fields(usb, "eth", "eth.type")
        in_file = fields(ethernet, "eth", "eth.type")
        expected = frames["reached_device"] + frames["received"]
        expect(expected > 0, "no frames went either way")
        expect(all(t == [ETHERTYPE_OF_THE_SESSION] for t in on_bus), "bulk payloads not all the session's frames")
        expect(len(on_bus) == expected, "%d Ethernet frames on the bus, %d expected" % (len(on_bus), expected))
        expect(len(in_file) == expected, "%d frames in the Ethernet capture, %d expected" % (len(in_file), expected))
        print("USB capture: %d bulk payloads decoded as Ethernet, descriptors %s, %d notifications; "
              "Ethernet capture: %d frames" % (len(on_bus), sorted(descriptors), len(notifications), len(in_file)))

    for problem in problems:
        print("FAIL: " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
