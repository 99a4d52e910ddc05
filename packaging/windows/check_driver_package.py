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

from inf_file import Entry, Inf, Section, read_inf
from pe_image import PeImage

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
REG_EXPAND_SZ, REG_DWORD = 0x00020000, 0x00010001


# ---------------------------------------------------------------------------
# What setup would do with it: the checks
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


def _section_for(inf: Inf, base: str) -> Section | None:
    """The install section setup picks for x64: .NTamd64, then .NT, then undecorated."""
    for decoration in (".ntamd64", ".nt", ""):
        section = inf.section(base + decoration)
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
