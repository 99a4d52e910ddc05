#!/usr/bin/python3
"""Checks the TAV712 Windows driver package before anyone tries it on Windows.

The INF is read the way Windows' setup reads it: case-insensitive section and
key names, sections of the same name merged, ';' comments outside quotes,
'\\' at a line's end continuing it, %key% tokens from [Strings], %% for a
literal percent sign and %<number>% for a directory ID. Then every section
that an entry names must exist, every %key% must be defined, no key may appear
twice where it is meant once, the class must be the smart card reader class,
the service must run the file that the INF copies to the drivers directory,
and the event-log source must point at that same file.

The kernel image named by the service is read as the loader reads it: a PE32+
image for x64 with the native subsystem, importing only from the kernel, the
HAL and the smart card library, and carrying a message table for the event
log.

usage: check_driver_package.py PACKAGE_DIR          (the INF and what it copies)
       check_driver_package.py --inf-only FILE.inf   (the INF's own consistency)
Prints one line per problem and exits 1 when there is any.
"""

from __future__ import annotations

import argparse
import datetime
import re
import struct
import sys
from dataclasses import dataclass, field
from pathlib import Path

SMART_CARD_READER_CLASS = "SmartCardReader"
SMART_CARD_READER_CLASS_GUID = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}"
ARCHITECTURE = "ntamd64"
DRIVERS_DIRID = "12"
ALLOWED_IMPORTS = {"ntoskrnl.exe", "hal.dll", "smclib.sys"}
EXPECTED_SERVICE = {"ServiceType": 1, "StartType": 3, "ErrorControl": 1}
SERENUM_ID = re.compile(r"^SERENUM\\[A-Z]{3}[0-9A-F]{4}$", re.IGNORECASE)

# Directives that may legitimately appear more than once in one section.
REPEATABLE = {"addreg", "delreg", "copyfiles", "delfiles", "renfiles", "addservice", "delservice", "include", "needs",
              "addproperty", "delproperty", "addinterface", "bitreg", "updateinis", "updateinifields", "ini2reg"}
# Directives whose values are names of other sections of this INF.
SECTION_LISTS = {"addreg", "delreg", "copyfiles", "delfiles", "renfiles", "bitreg", "addproperty", "delproperty"}
# AddReg value types (the high word of the flags).
REG_MULTI_SZ, REG_EXPAND_SZ, REG_DWORD = 0x00010000, 0x00020000, 0x00010001


# ---------------------------------------------------------------------------
# Reading the INF
# ---------------------------------------------------------------------------

@dataclass
class Entry:
    line: int
    key: str | None      # None for a line without '='
    values: list[str]    # after %key% substitution, quotes removed


@dataclass
class Section:
    name: str
    line: int
    entries: list[Entry] = field(default_factory=list)

    def get(self, key: str) -> Entry | None:
        return next((e for e in self.entries if e.key is not None and e.key.lower() == key.lower()), None)


class Inf:
    def __init__(self, name: str, text: str):
        self.name = name
        self.problems: list[str] = []
        self.sections: dict[str, Section] = {}
        raw = self._read_sections(text)
        strings = self.sections.get("strings")
        self.strings = {e.key.lower(): (e.values[0] if e.values else "") for e in strings.entries
                        if e.key is not None} if strings else {}
        for section in self.sections.values():
            for entry, raw_values in zip(section.entries, raw[section.name.lower()]):
                if section.name.lower() != "strings":
                    entry.key = self._substitute(entry.key, entry.line) if entry.key is not None else None
                    entry.values = [self._substitute(v, entry.line) for v in raw_values]

    def problem(self, line: int | None, message: str) -> None:
        self.problems.append(f"{self.name}:{line}: {message}" if line else f"{self.name}: {message}")

    def section(self, name: str) -> Section | None:
        return self.sections.get(name.lower())

    def _read_sections(self, text: str) -> dict[str, list[list[str]]]:
        raw: dict[str, list[list[str]]] = {}
        current: Section | None = None
        for number, line in _logical_lines(text):
            stripped = line.strip()
            if not stripped:
                continue
            if stripped.startswith("["):
                end = stripped.find("]")
                if end < 0:
                    self.problem(number, f"section header without ']': {stripped}")
                    current = None
                    continue
                name = stripped[1:end].strip()
                # Sections of the same name are one section.
                current = self.sections.setdefault(name.lower(), Section(name, number))
                raw.setdefault(name.lower(), [])
                continue
            if current is None:
                self.problem(number, "entry outside any section")
                continue
            key, values = _split_entry(line)
            current.entries.append(Entry(number, key, values))
            raw[current.name.lower()].append(values)
        return raw

    def _substitute(self, value: str, line: int) -> str:
        def replace(match: re.Match[str]) -> str:
            token = match.group(1)
            if token == "":
                return "%"
            if token.isdigit():
                return match.group(0)  # a directory ID, resolved by setup
            if token.lower() not in self.strings:
                self.problem(line, f"%{token}% is not defined in [Strings]")
                return match.group(0)
            return self.strings[token.lower()]
        return re.sub(r"%([^%]*)%", replace, value)


def _strip_comment(line: str) -> str:
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def _logical_lines(text: str):
    """Yields (first physical line number, text) with comments removed and continuations joined."""
    pending, start = "", 0
    for number, physical in enumerate(text.splitlines(), start=1):
        content = _strip_comment(physical).rstrip()
        if not pending:
            start = number
        if content.endswith("\\"):
            pending += content[:-1]
            continue
        yield start, pending + content
        pending = ""
    if pending:
        yield start, pending


def _split_fields(text: str, separator: str) -> list[str]:
    fields, current, quoted, i = [], [], False, 0
    while i < len(text):
        c = text[i]
        if c == '"':
            if quoted and i + 1 < len(text) and text[i + 1] == '"':
                current.append('"')  # "" inside quotes is one quote
                i += 2
                continue
            quoted = not quoted
        elif c == separator and not quoted:
            fields.append("".join(current).strip())
            current = []
        else:
            current.append(c)
        i += 1
    fields.append("".join(current).strip())
    return fields


def _split_entry(line: str) -> tuple[str | None, list[str]]:
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == "=" and not quoted:
            return line[:i].strip().strip('"'), _split_fields(line[i + 1:], ",")
    return None, _split_fields(line, ",")


def read_inf(path: Path) -> Inf:
    data = path.read_bytes()
    if data.startswith(b"\xff\xfe"):
        text = data.decode("utf-16")
    else:
        text = data.decode("utf-8-sig", errors="replace")
    return Inf(path.name, text)


# ---------------------------------------------------------------------------
# What setup would do with it
# ---------------------------------------------------------------------------

@dataclass
class Service:
    name: str
    line: int
    binary: str | None = None       # file name, when it lies in the drivers directory
    event_message_files: list[str] = field(default_factory=list)


def _number(text: str) -> int | None:
    try:
        return int(text, 0)
    except ValueError:
        return None


def _section_for(inf: Inf, base: str, suffix: str = "") -> Section | None:
    """The install section setup picks for x64: .NTamd64, then .NT, then undecorated."""
    for decoration in (".ntamd64", ".nt", ""):
        section = inf.section(base + decoration + suffix)
        if section is not None:
            return section
    return None


def _referenced(inf: Inf, entry: Entry, kind: str) -> list[Section]:
    found = []
    for name in filter(None, entry.values):
        if name.startswith("@"):
            continue  # a single file, not a section
        section = inf.section(name)
        if section is None:
            inf.problem(entry.line, f"{kind} names section [{name}], which does not exist")
        else:
            found.append(section)
    return found


def check_duplicate_keys(inf: Inf, models: set[str]) -> None:
    for section in inf.sections.values():
        if section.name.lower() in models:
            continue  # a model may list one description for several IDs
        seen: dict[str, int] = {}
        for entry in section.entries:
            if entry.key is None or entry.key.lower() in REPEATABLE:
                continue
            key = entry.key.lower()
            if key in seen:
                inf.problem(entry.line, f"{entry.key} appears twice in [{section.name}] (first on line {seen[key]})")
            else:
                seen[key] = entry.line


def check_version(inf: Inf) -> None:
    version = inf.section("Version")
    if version is None:
        inf.problem(None, "no [Version] section: setup does not accept the file")
        return

    def value(key: str) -> str | None:
        entry = version.get(key)
        if entry is None or not entry.values or not entry.values[0]:
            inf.problem(version.line, f"[Version] has no {key}")
            return None
        return entry.values[0]

    signature = value("Signature")
    if signature and signature.lower() not in ("$windows nt$", "$chicago$"):
        inf.problem(version.get("Signature").line, f"Signature {signature} is neither $Windows NT$ nor $Chicago$")
    cls = value("Class")
    if cls and cls.lower() != SMART_CARD_READER_CLASS.lower():
        inf.problem(version.get("Class").line, f"Class is {cls}, not {SMART_CARD_READER_CLASS}")
    guid = value("ClassGuid")
    if guid and guid.upper() != SMART_CARD_READER_CLASS_GUID:
        inf.problem(version.get("ClassGuid").line,
                    f"ClassGuid {guid} is not the smart card reader class {SMART_CARD_READER_CLASS_GUID}")
    value("Provider")
    driver_ver = version.get("DriverVer")
    if driver_ver is None:
        inf.problem(version.line, "[Version] has no DriverVer")
    else:
        check_driver_ver(inf, driver_ver)


def check_driver_ver(inf: Inf, entry: Entry) -> None:
    date = entry.values[0] if entry.values else ""
    try:
        datetime.datetime.strptime(date, "%m/%d/%Y")
    except ValueError:
        inf.problem(entry.line, f"DriverVer date {date!r} is not a date in mm/dd/yyyy form")
    if len(entry.values) < 2 or not re.fullmatch(r"\d+(\.\d+){0,3}", entry.values[1]):
        inf.problem(entry.line, "DriverVer has no version w.x.y.z after the date")
    elif any(int(part) > 65535 for part in entry.values[1].split(".")):
        inf.problem(entry.line, f"DriverVer version {entry.values[1]} has a part above 65535")


def check_models(inf: Inf) -> tuple[list[Section], set[str]]:
    """Returns the install sections the x64 models lead to, and the names of the models sections."""
    manufacturer = inf.section("Manufacturer")
    if manufacturer is None or not manufacturer.entries:
        inf.problem(None, "no [Manufacturer] section: setup finds no models")
        return [], set()
    installs: list[Section] = []
    models: set[str] = set()
    hardware_ids: list[str] = []
    for entry in manufacturer.entries:
        base, decorations = entry.values[0], [d for d in entry.values[1:] if d]
        if not any(d.split(".")[0].lower() == ARCHITECTURE for d in decorations):
            inf.problem(entry.line, f"models {base} are not decorated for x64 (NTamd64): x64 setup ignores them")
            continue
        for decoration in decorations:
            name = f"{base}.{decoration}"
            models.add(name.lower())
            section = inf.section(name)
            if section is None:
                inf.problem(entry.line, f"[Manufacturer] names models section [{name}], which does not exist")
                continue
            for model in section.entries:
                if len(model.values) < 2 or not model.values[0] or not model.values[1]:
                    inf.problem(model.line, "a model needs an install section and a hardware ID")
                    continue
                hardware_ids.extend(model.values[1:])
                install = _section_for(inf, model.values[0])
                if install is None:
                    inf.problem(model.line, f"model {model.key!r} names install section [{model.values[0]}], which "
                                            f"does not exist (nor with .NTamd64 or .NT)")
                else:
                    installs.append(install)
    if manufacturer.entries and not any(SERENUM_ID.match(i) for i in hardware_ids):
        inf.problem(manufacturer.line, "no model has a serial enumerator ID (SERENUM\\ and an EISA ID, e.g. "
                                       "SERENUM\\ABC1234)")
    return installs, models


def check_install(inf: Inf, install: Section) -> tuple[dict[str, str], list[Service]]:
    """Checks one install section with its .HW and .Services sections.

    Returns the files it copies (name -> directory ID) and the services it adds."""
    copied: dict[str, str] = {}
    for entry in install.entries:
        key = (entry.key or "").lower()
        if key == "copyfiles":
            for section in _referenced(inf, entry, "CopyFiles"):
                copied.update(check_copy_files(inf, section))
            copied.update({v[1:]: destination_of(inf, None, entry.line) for v in entry.values if v.startswith("@")})
        elif key in SECTION_LISTS:
            _referenced(inf, entry, entry.key)
    hardware = inf.section(install.name + ".HW")
    if hardware is not None:
        for entry in hardware.entries:
            if (entry.key or "").lower() in SECTION_LISTS:
                for section in _referenced(inf, entry, entry.key):
                    check_add_reg(inf, section)
    services = inf.section(install.name + ".Services")
    added: list[Service] = []
    if services is None:
        inf.problem(install.line, f"[{install.name}] has no [{install.name}.Services]: the device gets no driver")
        return copied, added
    for entry in services.entries:
        if (entry.key or "").lower() == "addservice":
            added.append(check_add_service(inf, entry))
    if not any(s.name for s in added):
        inf.problem(services.line, f"[{services.name}] adds no service")
    return copied, added


def destination_of(inf: Inf, section: Section | None, line: int) -> str:
    destinations = inf.section("DestinationDirs")
    entry = None
    if destinations is not None:
        entry = (destinations.get(section.name) if section else None) or destinations.get("DefaultDestDir")
    if entry is None or not entry.values or not entry.values[0]:
        inf.problem(line, f"[DestinationDirs] has no entry for [{section.name if section else '@file'}] "
                          f"and no DefaultDestDir")
        return ""
    return entry.values[0]


def check_copy_files(inf: Inf, section: Section) -> dict[str, str]:
    destination = destination_of(inf, section, section.line)
    sources = _section_for_arch(inf, "SourceDisksFiles")
    disks = _section_for_arch(inf, "SourceDisksNames")
    copied = {}
    for entry in section.entries:
        name = entry.values[0] if entry.key is None else entry.key
        if not name:
            continue
        copied[name] = destination
        source = sources.get(name) if sources else None
        if source is None:
            inf.problem(entry.line, f"{name} is copied but not listed in [SourceDisksFiles]")
            continue
        disk = source.values[0] if source.values else ""
        if disks is None or disks.get(disk) is None:
            inf.problem(source.line, f"{name} is on disk {disk!r}, which [SourceDisksNames] does not define")
    return copied


def _section_for_arch(inf: Inf, name: str) -> Section | None:
    return inf.section(f"{name}.amd64") or inf.section(name)


def check_add_service(inf: Inf, entry: Entry) -> Service:
    values = entry.values + [""] * (4 - len(entry.values))
    service = Service(values[0], entry.line)
    flags = _number(values[1] or "0")
    if flags is None or not flags & 0x2:
        inf.problem(entry.line, f"AddService {values[0]} lacks flag 0x00000002: the service is not the device's "
                                f"function driver")
    install = _referenced(inf, Entry(entry.line, "AddService", [values[2]]), "AddService") if values[2] else []
    if not values[2]:
        inf.problem(entry.line, f"AddService {values[0]} names no service install section")
    if install:
        service.binary = check_service_section(inf, install[0])
    if values[3]:
        for section in _referenced(inf, Entry(entry.line, "AddService", [values[3]]), "AddService (event log)"):
            service.event_message_files = check_event_log(inf, section)
    else:
        inf.problem(entry.line, f"AddService {values[0]} registers no event-log source")
    return service


def check_service_section(inf: Inf, section: Section) -> str | None:
    for key, expected in EXPECTED_SERVICE.items():
        entry = section.get(key)
        if entry is None:
            inf.problem(section.line, f"[{section.name}] has no {key}")
        elif _number(entry.values[0]) != expected:
            inf.problem(entry.line, f"{key} is {entry.values[0]}, expected {expected}")
    binary = section.get("ServiceBinary")
    if binary is None:
        inf.problem(section.line, f"[{section.name}] has no ServiceBinary")
        return None
    match = re.fullmatch(r"%(\d+)%\\([^\\]+)", binary.values[0])
    if match is None or match.group(1) != DRIVERS_DIRID:
        inf.problem(binary.line, f"ServiceBinary {binary.values[0]} is not in the drivers directory (%12%\\...)")
        return None
    return match.group(2)


def check_add_reg(inf: Inf, section: Section) -> list[Entry]:
    for entry in section.entries:
        if entry.key is not None or len(entry.values) < 3 or entry.values[0].upper() not in (
                "HKR", "HKLM", "HKCU", "HKCR", "HKU", "HKEY_LOCAL_MACHINE"):
            inf.problem(entry.line, f"[{section.name}]: not a registry line (root, subkey, value, flags, data)")
    return section.entries


def check_event_log(inf: Inf, section: Section) -> list[str]:
    values: dict[str, Entry] = {}
    for entry in section.entries:
        if (entry.key or "").lower() == "addreg":
            for reg in _referenced(inf, entry, "AddReg"):
                for line in check_add_reg(inf, reg):
                    if len(line.values) >= 3:
                        values[line.values[2].lower()] = line
    message_files = []
    message = values.get("eventmessagefile")
    if message is None:
        inf.problem(section.line, f"[{section.name}] sets no EventMessageFile")
    else:
        flags = _number(message.values[3] or "0") if len(message.values) > 3 else 0
        if flags not in (0, REG_EXPAND_SZ):
            inf.problem(message.line, "EventMessageFile is not a string value")
        message_files = [v for v in message.values[4:] if v]
    types = values.get("typessupported")
    if types is None:
        inf.problem(section.line, f"[{section.name}] sets no TypesSupported")
    elif len(types.values) < 5 or _number(types.values[3]) != REG_DWORD or _number(types.values[4]) != 7:
        inf.problem(types.line, "TypesSupported must be the DWORD 7 (error, warning, information)")
    return message_files


def check_inf(inf: Inf) -> tuple[dict[str, str], list[Service]]:
    """Records every problem in inf.problems; returns the files copied (name -> directory ID) and the services."""
    check_version(inf)
    installs, models = check_models(inf)
    check_duplicate_keys(inf, models)
    copied: dict[str, str] = {}
    services: list[Service] = []
    for install in {s.name.lower(): s for s in installs}.values():
        files, added = check_install(inf, install)
        copied.update(files)
        services.extend(added)
    for service in services:
        if service.binary is None:
            continue
        if service.binary.lower() not in {name.lower() for name, dirid in copied.items() if dirid == DRIVERS_DIRID}:
            inf.problem(service.line, f"service {service.name} runs {service.binary}, which the INF does not copy "
                                      f"to the drivers directory (DestinationDirs 12)")
        for path in service.event_message_files:
            if not re.fullmatch(r"%SystemRoot%\\System32\\drivers\\" + re.escape(service.binary), path,
                                re.IGNORECASE):
                inf.problem(service.line, f"EventMessageFile {path} is not the driver %SystemRoot%\\System32\\"
                                          f"drivers\\{service.binary}")
    return copied, services


# ---------------------------------------------------------------------------
# The kernel image
# ---------------------------------------------------------------------------

class PeImage:
    def __init__(self, data: bytes):
        self.data = data
        if data[:2] != b"MZ" or len(data) < 0x40:
            raise ValueError("not a PE image (no MZ header)")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image (no PE signature)")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        if self.magic != 0x20B:
            self.subsystem, self.directories = None, []
        else:
            self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
            count = struct.unpack_from("<I", data, optional + 108)[0]
            self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(count)]
        self.sections = []
        for i in range(sections):
            _, virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, optional + optional_size
                                                                             + 40 * i)
            self.sections.append((rva, max(virtual_size, raw_size), raw_offset))

    def offset(self, rva: int) -> int:
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"address {rva:#x} lies in no section")

    def string(self, rva: int) -> str:
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii", errors="replace")

    def imports(self) -> list[str]:
        if len(self.directories) < 2 or self.directories[1][0] == 0:
            return []
        names, entry = [], self.offset(self.directories[1][0])
        while True:
            descriptor = struct.unpack_from("<IIIII", self.data, entry)
            if not any(descriptor):
                return names
            names.append(self.string(descriptor[3]))
            entry += 20

    def message_blocks(self) -> int | None:
        """The number of message blocks of the first RT_MESSAGETABLE resource, or None without one."""
        if len(self.directories) < 3 or self.directories[2][0] == 0:
            return None
        base = self.offset(self.directories[2][0])

        def entries(directory: int):
            named, ids = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + ids):
                yield struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)

        message_table = next((target for name, target in entries(0) if name == 11), None)
        if message_table is None:
            return None
        node = message_table
        while node & 0x80000000:  # down the name and language levels to the data
            node = next(entries(node & 0x7FFFFFFF))[1]
        data_rva, size = struct.unpack_from("<II", self.data, base + node)
        return struct.unpack_from("<I", self.data, self.offset(data_rva))[0] if size >= 4 else 0


def check_image(path: Path) -> list[str]:
    try:
        image = PeImage(path.read_bytes())
    except (ValueError, struct.error) as error:
        return [f"{path.name}: {error}"]
    problems = []
    if image.machine != 0x8664:
        problems.append(f"{path.name}: built for machine {image.machine:#06x}, not x64 (0x8664)")
    if image.magic != 0x20B:
        problems.append(f"{path.name}: not a PE32+ image (optional header magic {image.magic:#x})")
        return problems
    if image.subsystem != 1:
        problems.append(f"{path.name}: subsystem {image.subsystem}, not native (1): not a kernel image")
    try:
        imports = image.imports()
        extra = sorted({name for name in imports if name.lower() not in ALLOWED_IMPORTS})
        if extra:
            problems.append(f"{path.name}: imports from {', '.join(extra)}; a kernel driver may import only "
                            f"from ntoskrnl.exe, HAL.dll and smclib.sys")
        if "ntoskrnl.exe" not in {name.lower() for name in imports}:
            problems.append(f"{path.name}: imports nothing from ntoskrnl.exe")
        blocks = image.message_blocks()
        if not blocks:
            problems.append(f"{path.name}: carries no message table: the event log cannot show its messages")
    except (ValueError, struct.error) as error:
        problems.append(f"{path.name}: damaged image: {error}")
    return problems


# ---------------------------------------------------------------------------

def check_package(folder: Path) -> list[str]:
    infs = sorted(folder.glob("*.inf"))
    if len(infs) != 1:
        return [f"{folder}: expected one INF, found {len(infs)}"]
    inf = read_inf(infs[0])
    copied, services = check_inf(inf)
    problems = list(inf.problems)
    present = {p.name.lower(): p for p in folder.iterdir()}
    for name in copied:
        if name.lower() not in present:
            problems.append(f"{folder.name}: {name} is copied by {inf.name} but is not in the package")
    for binary in {s.binary for s in services if s.binary}:
        if binary.lower() in present:
            problems.extend(check_image(present[binary.lower()]))
    return problems


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--inf-only", action="store_true", help="check only the INF file named")
    parser.add_argument("path", type=Path, help="the package folder, or the INF with --inf-only")
    args = parser.parse_args(argv)
    if args.inf_only:
        inf = read_inf(args.path)
        check_inf(inf)
        problems = inf.problems
    else:
        problems = check_package(args.path)
    for problem in problems:
        print(problem)
    if problems:
        print(f"check-driver-package: {len(problems)} problem(s) in {args.path}")
        return 1
    print(f"check-driver-package: {args.path} is sound")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
