#!/usr/bin/env python3
"""Reads the driver package as Windows XP's setup would and reports what would go wrong.

From [Manufacturer] to the models, their install sections (as x86 setup picks them: .NTx86,
.NT, or plain) and .Services sections, to every AddReg, CopyFiles, service and event-log section
they name: every section referenced exists, every %string% is defined, the service and its
event-log registration are complete, and every file copied is listed for a source disk and is in
the package. The adapter's Ndi\\params entries must match the registry keywords the driver reads
(names, types, ranges, defaults), as its sources define them.
"""
import argparse
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from driver_keywords import driver_keywords  # noqa: E402

SERVICE_KEYS = ("ServiceType", "StartType", "ErrorControl", "ServiceBinary")
REG_EXPAND_SZ, REG_DWORD = 0x00020000, 0x00010001
DRIVERS_DIRID = "12"


def split_values(text):
    """The comma-separated values of a line, quotes removed."""
    values, current, quoted = [], "", False
    for c in text:
        if c == '"':
            quoted = not quoted
            continue
        if c == "," and not quoted:
            values.append(current.strip())
            current = ""
        else:
            current += c
    return values + [current.strip()]


def strip_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


class Inf:
    def __init__(self, text):
        self.sections, self.lines = {}, []
        current = None
        for number, raw in enumerate(text.splitlines(), 1):
            line = strip_comment(raw).strip()
            if not line:
                continue
            header = re.fullmatch(r"\[([^\]]+)\]", line)
            if header:
                current = self.sections.setdefault(header[1].strip().lower(), [])
                continue
            keyed = re.fullmatch(r'([^=",]+)=(.*)', line)
            key, value = (keyed[1].strip(), keyed[2]) if keyed else (None, line)
            entry = (number, key, split_values(value))
            if current is not None:
                current.append(entry)
            self.lines.append((number, line))

    def has(self, name):
        return name.lower() in self.sections

    def section(self, name):
        return self.sections.get(name.lower(), [])

    def values(self, section, key):
        """Every value of every line of the section with that key."""
        return [v for _, k, vs in self.section(section) if k and k.lower() == key.lower() for v in vs if v]

    def strings(self):
        return {k.lower(): vs[0] for _, k, vs in self.section("Strings") if k}

    def expand(self, text):
        strings = self.strings()
        return re.sub(r"%(\w[\w.]*)%", lambda m: strings.get(m[1].lower(), m[0]), text).replace("%%", "%")


class Reader:
    def __init__(self, inf, package):
        self.inf, self.package, self.failures = inf, package, []
        self.registry, self.copied = [], set()
        self.binary = ""  # the service's file, once its section is read

    def fail(self, text):
        self.failures.append(text)

    def need(self, name, referrer):
        if not self.inf.has(name):
            self.fail(f"[{name}], named by {referrer}, does not exist")
            return False
        return True

    def check_strings(self):
        strings = self.inf.strings()
        for number, line in self.inf.lines:
            for token in re.findall(r"%([^%\s]*)%", line):
                if token and not token.isdigit() and token.lower() not in strings:
                    self.fail(f"line {number}: %{token}% is not defined in [Strings]")

    def read(self):
        inf = self.inf
        for section in ("Version", "Manufacturer", "SourceDisksNames", "SourceDisksFiles", "DestinationDirs", "Strings"):
            self.need(section, "setup")
        for _, manufacturer, values in inf.section("Manufacturer"):
            models, decorations = values[0], values[1:] or [""]
            for decoration in decorations:
                name = f"{models}.{decoration}" if decoration else models
                if self.need(name, f"[Manufacturer] {manufacturer}"):
                    self.read_models(name)

    def read_models(self, models):
        for number, description, values in self.inf.section(models):
            if len(values) < 2 or not re.fullmatch(r"USB\\VID_[0-9A-F]{4}&PID_[0-9A-F]{4}", values[1]):
                self.fail(f"[{models}] line {number}: wants an install section and a USB hardware ID")
            install = next((f"{values[0]}{suffix}" for suffix in (".NTx86", ".NT", "") if self.inf.has(values[0] + suffix)),
                           None)
            if not install:
                self.fail(f"[{models}] line {number}: no install section {values[0]}(.NTx86|.NT)")
                continue
            self.read_install(install)
            if self.need(f"{install}.Services", f"[{models}] line {number}"):
                self.read_services(f"{install}.Services")

    def read_install(self, install):
        for name in self.inf.values(install, "AddReg"):
            if self.need(name, f"[{install}] AddReg"):
                self.read_addreg(name)
        for name in self.inf.values(install, "CopyFiles"):
            if self.need(name, f"[{install}] CopyFiles"):
                self.read_copyfiles(name)

    def read_addreg(self, section):
        for number, _, values in self.inf.section(section):
            if len(values) < 3:
                self.fail(f"[{section}] line {number}: a registry line wants root, subkey, value name")
                continue
            values += [""] * (5 - len(values))
            flags = int(values[3], 0) if values[3] else 0
            self.registry.append((values[1].lower(), values[2], flags, self.inf.expand(values[4]), f"[{section}] line {number}"))

    def read_copyfiles(self, section):
        disks = {k for _, k, _ in self.inf.section("SourceDisksNames") if k}
        listed = {k.lower(): vs for _, k, vs in self.inf.section("SourceDisksFiles") if k}
        destinations = {k.lower() for _, k, _ in self.inf.section("DestinationDirs") if k}
        if section.lower() not in destinations and "defaultdestdir" not in destinations:
            self.fail(f"[{section}] has no destination in [DestinationDirs]")
        for number, _, values in self.inf.section(section):
            name = values[0]
            self.copied.add(name.lower())
            if name.lower() not in listed:
                self.fail(f"{name}, copied by [{section}], is not in [SourceDisksFiles]")
            elif listed[name.lower()][0] not in disks:
                self.fail(f"{name} is on disk {listed[name.lower()][0]}, which [SourceDisksNames] lacks")
            if not (self.package / name).is_file():
                self.fail(f"{name}, copied by [{section}], is not in the package")

    def read_services(self, section):
        services = self.inf.values(section, "AddService")
        if not services:
            self.fail(f"[{section}] installs no service")
        for _, key, values in self.inf.section(section):
            if not key or key.lower() != "addservice":
                continue
            if len(values) < 4:
                self.fail(f"[{section}] AddService wants a name, flags, a service section and an event-log section")
                continue
            if self.need(values[2], f"[{section}] AddService"):
                self.read_service(values[2])
            if self.need(values[3], f"[{section}] AddService"):
                self.read_event_log(values[3])

    def read_service(self, section):
        for key in SERVICE_KEYS:
            if not self.inf.values(section, key):
                self.fail(f"[{section}] lacks {key}")
        for binary in self.inf.values(section, "ServiceBinary"):
            match = re.fullmatch(rf"%{DRIVERS_DIRID}%\\(\S+)", binary)
            if not match or match[1].lower() not in self.copied:
                self.fail(f"[{section}] ServiceBinary {binary} is not a file the install copies to %{DRIVERS_DIRID}%")
            else:
                self.binary = match[1]

    def read_event_log(self, section):
        before = len(self.registry)
        for name in self.inf.values(section, "AddReg"):
            if self.need(name, f"[{section}] AddReg"):
                self.read_addreg(name)
        values = {name.lower(): (flags, value) for _, name, flags, value, _ in self.registry[before:]}
        message_file = values.get("eventmessagefile")
        binary = self.binary
        if not message_file or message_file[0] != REG_EXPAND_SZ:
            self.fail(f"[{section}] sets no EventMessageFile (REG_EXPAND_SZ)")
        elif not binary or f"\\system32\\drivers\\{binary.lower()}" not in message_file[1].lower():
            self.fail(f"[{section}] EventMessageFile {message_file[1]} does not name the driver's own message table")
        types = values.get("typessupported")
        if not types or types[0] != REG_DWORD:
            self.fail(f"[{section}] sets no TypesSupported (REG_DWORD)")

    def params(self):
        """{keyword: {entry name: value}} of the Ndi\\params keys, with 'enum' the enum values."""
        params = {}
        for key, name, _, value, _ in self.registry:
            match = re.fullmatch(r"ndi\\params\\(\w+)(\\enum)?", key)
            if match:
                entry = params.setdefault(match[1].lower(), {"enum": set()})
                if match[2]:
                    entry["enum"].add(name)
                else:
                    entry[name.lower()] = value
        return params

    def check_params(self, keywords):
        params = self.params()
        installed = {name.lower(): (value, where) for key, name, _, value, where in self.registry if key == ""}
        for keyword in keywords:
            entry = params.pop(keyword.name.lower(), None)
            if entry is None:
                self.fail(f"{keyword.name}: the driver reads it, but Ndi\\params has no entry")
                continue
            for problem in param_problems(keyword, entry):
                self.fail(f"Ndi\\params\\{keyword.name}: {problem}")
            value, where = installed.get(keyword.name.lower(), (None, None))
            if value is not None and keyword.kind != "address" and not in_range(keyword, value):
                self.fail(f"{where}: {keyword.name} = {value!r} is outside {keyword.minimum} to {keyword.maximum}")
        for name in params:
            self.fail(f"Ndi\\params\\{name}: the driver reads no such keyword")


# Keywords whose default the package raises above the driver's own fallback: four buffers
# each way fall well short of a high-speed bus (the goodput table in the README).
PACKAGE_DEFAULTS = {"RxBuffers": 16, "TxBuffers": 16}


def in_range(keyword, text):
    return text.isdigit() and keyword.minimum <= int(text) <= keyword.maximum


def param_problems(keyword, entry):
    if "paramdesc" not in entry:
        yield "no ParamDesc"
    kind = entry.get("type", "").lower()
    if keyword.kind == "address":
        if kind != "edit" or entry.get("limittext") != "12" or entry.get("optional") != "1":
            yield "wants type edit, LimitText 12 and optional 1 (12 hexadecimal digits, none by default)"
        return
    if keyword.name in PACKAGE_DEFAULTS:
        default = str(PACKAGE_DEFAULTS[keyword.name])
        if entry.get("default") != default or not in_range(keyword, default):
            yield f"default {entry.get('default')!r}, the package's is {default}"
    elif entry.get("default") != str(keyword.default):
        yield f"default {entry.get('default')!r}, the driver's is {keyword.default}"
    if keyword.kind == "switch" and kind == "enum":
        if entry["enum"] != {"0", "1"}:
            yield f"enum values {sorted(entry['enum'])}, the driver reads 0 (off) and anything else (on)"
        return
    if kind != "int":
        yield f"type {kind!r}, wants int" + (" or enum 0/1" if keyword.kind == "switch" else "")
        return
    bounds = (entry.get("min"), entry.get("max"))
    if bounds != (str(keyword.minimum), str(keyword.maximum)):
        yield f"range {bounds[0]} to {bounds[1]}, the driver keeps {keyword.minimum} to {keyword.maximum}"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("inf", type=Path, help="the INF, in the package folder beside the files it names")
    parser.add_argument("--repo", type=Path, required=True, help="the source tree, for the keywords the driver reads")
    args = parser.parse_args()
    if not args.inf.is_file():
        sys.exit(f"FAIL: {args.inf} does not exist; build it with 'make package'")
    reader = Reader(Inf(args.inf.read_text()), args.inf.parent)
    reader.check_strings()
    reader.read()
    keywords, unknown = driver_keywords(args.repo)
    reader.failures += unknown
    reader.check_params(keywords)
    # Install sections share their AddReg and CopyFiles sections: one report of each fault.
    reader.failures = list(dict.fromkeys(reader.failures))
    for failure in reader.failures:
        print(f"FAIL: {args.inf.name}: {failure}")
    if reader.failures:
        return 1
    print(f"ok: {args.inf.name} installs completely, and its Ndi\\params match the driver's "
          f"{len(keywords)} keywords")
    return 0


if __name__ == "__main__":
    sys.exit(main())
