"""An INF file read the way Windows' setup reads it.

Section and key names ignore case; sections of the same name are one section;
';' starts a comment outside quotes; '\\' at a line's end continues it; values
are separated by commas outside quotes, where "" stands for one quote; %key%
tokens come from [Strings], %% is a literal percent sign and %<number>% a
directory ID, left for setup to resolve. What the file cannot mean (a %key%
without a string, an entry outside any section) is recorded as a problem.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from pathlib import Path



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
