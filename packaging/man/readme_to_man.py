#!/usr/bin/python3
"""Writes a man page from one section of a Markdown README.

The README's manual section is the one text of the manual: this turns it into
roff (man macros) when the program is built, so the two cannot drift. It knows
the Markdown the section uses: paragraphs, indented or fenced code blocks,
pipe tables, '-' lists and `code`, **strong** and *emphasis* spans. The first
code block is the synopsis; a paragraph that opens with a short label and a
colon ("Commands:", "Exit status: ...") starts a section of that name.

usage: readme_to_man.py --readme README.md --section 'tav712(1)' --version V
                        --summary TEXT --output tav712.1[.gz]
"""

from __future__ import annotations

import argparse
import gzip
import re
import sys
from pathlib import Path

LABEL = re.compile(r"^([A-Z][A-Za-z]*(?: [a-z]+)?):(?:\s+|$)")


def extract_section(readme: str, heading: str) -> list[str]:
    lines = readme.splitlines()
    for i, line in enumerate(lines):
        if line.startswith("## ") and line[3:].strip() == heading:
            body = []
            for following in lines[i + 1:]:
                if re.match(r"^#{1,2} ", following):
                    break
                body.append(following)
            return body
    raise SystemExit(f"readme_to_man: the README has no '## {heading}' section")


def escape(text: str) -> str:
    """Plain text for roff: backslashes, dashes and leading control characters."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def inline(text: str) -> str:
    """Markdown spans to roff fonts."""
    out, pos = [], 0
    for match in re.finditer(r"`([^`]+)`|\*\*([^*]+)\*\*|\*([^*]+)\*", text):
        out.append(escape_inner(text[pos:match.start()]))
        code, strong, emphasis = match.groups()
        if code is not None:
            out.append(f"\\fB{escape_inner(code)}\\fR")
        elif strong is not None:
            out.append(f"\\fB{escape_inner(strong)}\\fR")
        else:
            out.append(f"\\fI{escape_inner(emphasis)}\\fR")
        pos = match.end()
    out.append(escape_inner(text[pos:]))
    line = "".join(out)
    return "\\&" + line if line[:1] in (".", "'") else line


def escape_inner(text: str) -> str:
    return text.replace("\\", "\\e").replace("-", "\\-")


def table_cells(line: str) -> list[str]:
    cells, current, i = [], [], 0
    body = line.strip().strip("|")
    while i < len(body):
        if body[i] == "\\" and i + 1 < len(body) and body[i + 1] == "|":
            current.append("|")
            i += 2
            continue
        if body[i] == "|":
            cells.append("".join(current).strip())
            current = []
        else:
            current.append(body[i])
        i += 1
    cells.append("".join(current).strip())
    return cells


def blocks(lines: list[str]):
    """Yields (kind, lines): 'code', 'table', 'list' or 'paragraph'."""
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            i += 1
        elif line.startswith("```"):
            end = next((j for j in range(i + 1, len(lines)) if lines[j].startswith("```")), len(lines))
            yield "code", lines[i + 1:end]
            i = end + 1
        elif line.startswith("    "):
            block = []
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                block.append(lines[i][4:])
                i += 1
            while block and not block[-1].strip():
                block.pop()
            yield "code", block
        elif line.lstrip().startswith("|"):
            block = []
            while i < len(lines) and lines[i].lstrip().startswith("|"):
                block.append(lines[i])
                i += 1
            yield "table", block
        elif line.startswith("- "):
            block = []
            while i < len(lines) and lines[i].strip() and (lines[i].startswith("- ") or lines[i].startswith("  ")):
                if lines[i].startswith("- "):
                    block.append(lines[i][2:].strip())
                else:
                    block[-1] += " " + lines[i].strip()
                i += 1
            yield "list", block
        else:
            block = []
            while i < len(lines) and lines[i].strip() and not lines[i].startswith(("```", "    ", "- ")) \
                    and not lines[i].lstrip().startswith("|"):
                block.append(lines[i].strip())
                i += 1
            yield "paragraph", block


def render(section: list[str], name: str, number: str, version: str, summary: str) -> str:
    synopsis: list[str] = []
    body = [".SH DESCRIPTION"]
    for kind, lines in blocks(section):
        if kind == "code" and not synopsis:
            synopsis = [".SH SYNOPSIS", ".nf"] + [escape(line) for line in lines] + [".fi"]
        elif kind == "code":
            body += [".PP", ".RS 4", ".nf"] + [escape(line) if line else "" for line in lines] + [".fi", ".RE"]
        elif kind == "table":
            rows = [table_cells(line) for line in lines if not re.fullmatch(r"\s*\|?[\s:|-]+\|?\s*", line)]
            for row in rows[1:]:  # the first row is the header
                body += [".TP", inline(row[0]), inline(" ".join(row[1:]))]
        elif kind == "list":
            for item in lines:
                body += [".IP \\(bu 2", inline(item)]
        else:
            text = " ".join(lines)
            label = LABEL.match(text)
            if label:
                body.append(f".SH {label.group(1).upper()}")
                text = text[label.end():]
            if text:
                body += [".PP", inline(text)]
    header = [f'.TH {name.upper()} {number} "" "{name} {version}" "User Commands"',
              ".SH NAME", f"{name} \\- {escape(summary)}"]
    return "\n".join(header + synopsis + body) + "\n"


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--readme", type=Path, required=True)
    parser.add_argument("--section", required=True, help="the heading, e.g. 'tav712(1)'")
    parser.add_argument("--version", required=True)
    parser.add_argument("--summary", required=True, help="the NAME line's description")
    parser.add_argument("--output", type=Path, required=True, help="ends in .gz for a compressed page")
    args = parser.parse_args(argv)
    heading = re.fullmatch(r"(\S+)\((\d)\)", args.section)
    if heading is None:
        parser.error("--section must look like name(1)")
    page = render(extract_section(args.readme.read_text(encoding="utf-8"), args.section), heading.group(1),
                  heading.group(2), args.version, args.summary)
    data = page.encode("utf-8")
    if args.output.suffix == ".gz":
        # No name and no time in the header: the same page gives the same bytes.
        data = gzip.compress(data, compresslevel=9, mtime=0)
    args.output.write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
