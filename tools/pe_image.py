"""Reads what the checks need from a PE32 image: headers, sections, imports and resources,
and reads and writes message tables (the RT_MESSAGETABLE resource format)."""
import struct

RT_MESSAGETABLE, RT_VERSION = 11, 16
MESSAGE_UNICODE = 1
SCN_DISCARDABLE = 0x02000000
SECTION_FLAGS = 36  # offset of the flags in a section header


def section_headers(data):
    """{section name: offset of its header} of a PE image."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, _, _, _, optional_size = struct.unpack_from("<HIIIH", data, pe + 6)
    first = pe + 24 + optional_size
    return {data[at:at + 8].rstrip(b"\0").decode(): at for at in range(first, first + 40 * count, 40)}


class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        (self.machine, count, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.entry = struct.unpack_from("<I", data, optional + 16)[0]
        self.image_base = struct.unpack_from("<I", data, optional + 28)[0]
        self.subsystem_version = struct.unpack_from("<HH", data, optional + 48)
        self.checksum = struct.unpack_from("<I", data, optional + 64)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = struct.unpack_from("<I", data, optional + 92)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i)
                            for i in range(directories)]
        self.sections = []
        for i in range(count):
            raw = struct.unpack_from("<8sIIIIIIHHI", data, optional + optional_size + 40 * i)
            self.sections.append({"name": raw[0].rstrip(b"\0").decode(), "vsize": raw[1], "rva": raw[2],
                                  "rawsize": raw[3], "raw": raw[4], "flags": raw[9]})

    def offset(self, rva):
        for s in self.sections:
            if s["rva"] <= rva < s["rva"] + max(s["vsize"], s["rawsize"]):
                return s["raw"] + rva - s["rva"]
        raise ValueError(f"RVA 0x{rva:x} in no section")

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode()

    def imports(self):
        """Returns {module: [imported name, or '#ordinal']} in the order of the import table."""
        rva, size = self.directories[1]
        modules, at = {}, self.offset(rva)
        while True:
            lookup, _, _, name, address = struct.unpack_from("<IIIII", self.data, at)
            if not any((lookup, name, address)):
                return modules
            names, entry = [], self.offset(lookup or address)
            while True:
                (thunk,) = struct.unpack_from("<I", self.data, entry)
                if not thunk:
                    break
                names.append(f"#{thunk & 0xFFFF}" if thunk & 0x80000000 else self.string(thunk + 2))
                entry += 4
            modules[self.string(name)] = names
            at += 20

    def resources(self, kind):
        """Yields the data of every resource of the type, as bytes."""
        base = self.offset(self.directories[2][0])

        def entries(at):
            named, numbered = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.data, at + 16 + 8 * i)

        def leaves(at):
            for _, child in entries(at):
                if child & 0x80000000:
                    yield from leaves(base + (child & 0x7FFFFFFF))
                else:
                    rva, size = struct.unpack_from("<II", self.data, base + child)
                    yield self.data[self.offset(rva):self.offset(rva) + size]

        for ident, child in entries(base):
            if ident == kind and child & 0x80000000:
                yield from leaves(base + (child & 0x7FFFFFFF))


def read_message_table(blob):
    """Returns {message id: (flags, text bytes with their terminating padding)}."""
    messages = {}
    (blocks,) = struct.unpack_from("<I", blob, 0)
    for b in range(blocks):
        low, high, at = struct.unpack_from("<III", blob, 4 + 12 * b)
        for ident in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", blob, at)
            messages[ident] = (flags, blob[at + 4:at + length])
            at += length
    return messages


def message_texts(blob):
    """Returns {message id: text} of a message table."""
    return {ident: (text.decode("utf-16-le") if flags & MESSAGE_UNICODE else text.decode("latin-1")).rstrip("\0")
            for ident, (flags, text) in read_message_table(blob).items()}


def write_message_table(messages):
    """The message table of {message id: (flags, text bytes)}: one block per run of ids."""
    blocks = []
    for ident in sorted(messages):
        if blocks and blocks[-1][1] == ident - 1:
            blocks[-1][1] = ident
        else:
            blocks.append([ident, ident])
    entries, offsets = b"", []
    start = 4 + 12 * len(blocks)
    for low, high in blocks:
        offsets.append(start + len(entries))
        for ident in range(low, high + 1):
            flags, text = messages[ident]
            entries += struct.pack("<HH", 4 + len(text), flags) + text
    header = struct.pack("<I", len(blocks))
    for (low, high), at in zip(blocks, offsets):
        header += struct.pack("<III", low, high, at)
    return header + entries
