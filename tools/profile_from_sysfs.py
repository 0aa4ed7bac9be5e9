#!/usr/bin/env python3
"""Writes an ecmemu device profile for a USB device plugged into this Linux machine.

    tools/profile_from_sysfs.py /sys/bus/usb/devices/1-2 > my-device.profile
    tools/profile_from_sysfs.py 1-2 --mac 0211223344AA > my-device.profile

The device and configuration descriptors come raw from sysfs (the `descriptors` file). The
strings the device descriptor names (manufacturer, product, serial) are rebuilt from the text
sysfs shows, in language 0x0409. The MAC address string (iMACAddress of the Ethernet Networking
descriptor) is taken from --mac, else from the network interface Linux made for the device,
else left out with a comment saying so.
"""
import argparse
import sys
from pathlib import Path

LANGUAGE = 0x0409
CS_INTERFACE, ETHERNET_NETWORKING = 0x24, 0x0F


def hex_line(data):
    return " ".join(f"{b:02x}" for b in data)


def string_descriptor(text):
    encoded = text.encode("utf-16-le")
    if len(encoded) + 2 > 255:
        raise ValueError(f"string too long for a descriptor: {text!r}")
    return bytes([len(encoded) + 2, 3]) + encoded


def split_descriptors(raw):
    """The device descriptor, then each configuration descriptor by its wTotalLength."""
    if len(raw) < 18 or raw[0] != 18 or raw[1] != 1:
        raise ValueError("the descriptors file does not start with a device descriptor")
    device, rest, configurations = raw[:18], raw[18:], []
    while len(rest) >= 9:
        total = rest[2] | rest[3] << 8
        if rest[1] != 2 or total < 9 or total > len(rest):
            raise ValueError(f"configuration {len(configurations)}: broken wTotalLength {total}")
        configurations.append(rest[:total])
        rest = rest[total:]
    return device, configurations


def mac_string_indexes(configurations):
    indexes = set()
    for config in configurations:
        at = 0
        while at + 2 <= len(config) and config[at] >= 2:
            length, kind = config[at], config[at + 1]
            if kind == CS_INTERFACE and length >= 4 and config[at + 2] == ETHERNET_NETWORKING:
                if config[at + 3]:
                    indexes.add(config[at + 3])
            at += length
    return indexes


def mac_from_network_interface(device_dir):
    for address in sorted(device_dir.glob("*:*/net/*/address")):
        text = address.read_text().strip().replace(":", "").upper()
        if len(text) == 12:
            return text
    return None


def read_text(path):
    return path.read_text().rstrip("\n") if path.exists() else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("device", help="sysfs device directory, or its name such as 1-2")
    parser.add_argument("--mac", help="the MAC address string (12 hex digits) when sysfs cannot tell it")
    args = parser.parse_args()
    device_dir = Path(args.device)
    if not device_dir.is_dir():
        device_dir = Path("/sys/bus/usb/devices") / args.device
    try:
        raw = (device_dir / "descriptors").read_bytes()
        device, configurations = split_descriptors(raw)
    except (OSError, ValueError) as error:
        sys.exit(f"profile_from_sysfs: {device_dir}: {error}")
    if args.mac is not None and (len(args.mac) != 12 or any(c not in "0123456789abcdefABCDEF" for c in args.mac)):
        sys.exit("profile_from_sysfs: --mac needs 12 hexadecimal digits")

    strings = {0: bytes([4, 3, LANGUAGE & 0xFF, LANGUAGE >> 8])}
    for index, name in ((device[14], "manufacturer"), (device[15], "product"), (device[16], "serial")):
        text = read_text(device_dir / name)
        if index and text is not None:
            strings[index] = string_descriptor(text)
    missing = []
    mac = args.mac or mac_from_network_interface(device_dir)
    for index in sorted(mac_string_indexes(configurations)):
        if mac:
            strings[index] = string_descriptor(mac)
        else:
            missing.append(index)

    print(f"# Written by tools/profile_from_sysfs.py from {device_dir}")
    for index in missing:
        print(f"# string {index} (the MAC address) is unknown here: run again with --mac, or add it")
    print(f"device: {hex_line(device)}")
    for index, config in enumerate(configurations):
        print(f"config {index}: {hex_line(config)}")
    for index in sorted(strings):
        print(f"string {index}: {hex_line(strings[index])}")


if __name__ == "__main__":
    main()
