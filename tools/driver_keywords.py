"""The registry keywords the driver reads, as its sources define them: name, kind (a count or
index kept in a range, a switch where any value but 0 means on, or the network address), range
and default. Read from the keyword table and the code that stores each value, so the INF check
compares the INF with the driver and not with a copy; what the reader cannot tell it reports."""
import re
from pathlib import Path

NUMERIC_TYPES = {"UCHAR": 0xFF, "USHORT": 0xFFFF}


class Keyword:
    def __init__(self, name, kind, minimum=None, maximum=None, default=None):
        self.name, self.kind, self.minimum, self.maximum, self.default = name, kind, minimum, maximum, default

    def __repr__(self):
        return f"{self.name}: {self.kind} {self.minimum}..{self.maximum}, default {self.default}"


def driver_keywords(repo):
    """Returns ([Keyword], [what could not be told])."""
    repo = Path(repo)
    reader = (repo / "adapter/ReadSettings.cpp").read_text()
    settings = (repo / "adapter/AdapterSettings.h").read_text()
    adapter = (repo / "adapter/Adapter.cpp").read_text()
    driver = "\n".join(p.read_text() for d in ("adapter", "ecm", "usb", "transfer", "driver", "support")
                       for p in sorted((repo / d).glob("*.[ch]*")))
    constants = {m[1]: int(m[2], 0) for m in re.finditer(r"\b(k\w+)\s*=\s*(\w+);", settings)}
    defaults = {m[1]: int(m[2], 0) for m in re.finditer(r"\b(\w+)\((\d+)\)", settings)}
    media = re.search(r"\bMediaState\((NdisMediaState\w+)\)", adapter)
    if media:
        defaults["MediaState"] = 1 if media[1] == "NdisMediaStateConnected" else 0
    stores = {m[1]: m[2] for m in re.finditer(r"case Setting::(\w+):(.*?)break;", reader, re.S)}

    keywords, unknown = [], []
    for name, setting in re.findall(r'WIDE_TEXT\("(\w+)"\),\s*Setting::(\w+)', reader):
        body = stores.get(setting, "")
        field = re.search(r"(?:settings\.|adapter\.)(\w+)\s*=", body)
        field = field[1] if field else None
        default = defaults.get(field)
        if "BufferCount(value)" in body:
            keyword = Keyword(name, "int", constants.get("kMinimumBuffers"), constants.get("kMaximumBuffers"), default)
        elif re.search(r"\bvalue\s*\?", body):
            keyword = Keyword(name, "switch", 0, 1, default)
        elif field and re.search(rf"\b{field}\s*=\s*value;", body):
            cast = re.search(rf"static_cast<(\w+)>\(\s*\w+(?:\.|->){field}\s*\)", driver)
            if cast and cast[1] in NUMERIC_TYPES:
                keyword = Keyword(name, "int", 0, NUMERIC_TYPES[cast[1]], default)
            elif re.search(rf"(?:\.|->){field}\s*!=\s*0", driver):
                keyword = Keyword(name, "switch", 0, 1, default)
            else:
                keyword = None
        else:
            keyword = None
        if keyword is None or None in (keyword.minimum, keyword.maximum, keyword.default):
            unknown.append(f"{name}: cannot tell from the driver's sources how it is read ({keyword or 'no rule'})")
            continue
        keywords.append(keyword)
    if not keywords and not unknown:
        unknown.append("no keyword table found in adapter/ReadSettings.cpp")
    if "NdisReadNetworkAddress" in driver:
        keywords.append(Keyword("NetworkAddress", "address"))
    return keywords, unknown
