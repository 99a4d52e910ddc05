"""tav712(1) is written from the README's manual section: the page must say
what the section says, in roff that groff reads without a warning."""

import gzip
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "packaging" / "man"))
import readme_to_man  # noqa: E402

SAMPLE = """\
# Project

## tool(1)

    tool [OPTIONS] COMMAND

`tool` does -things- with C:\\path and *care*.

Commands:

| command | what it does |
|---|---|
| `run [a\\|b]` | runs **it** |
| `.hidden` | 'quoted and dotted |

Exit status: 0 ok, 1 failure.

- one item
  continued
- .two

Examples:

    tool run a   # -> works

## Next section

Not in the page.
"""


def render(markdown: str, heading: str = "tool(1)") -> str:
    return readme_to_man.render(readme_to_man.extract_section(markdown, heading), "tool", "1", "9.9", "does things")


class Rendering(unittest.TestCase):
    def test_each_markdown_block_becomes_its_roff(self):
        page = render(SAMPLE)
        expected_in_order = [
            '.TH TOOL 1 "" "tool 9.9" "User Commands"', ".SH NAME", "tool \\- does things",
            ".SH SYNOPSIS", ".nf", "tool [OPTIONS] COMMAND", ".fi",
            ".SH DESCRIPTION", "\\fBtool\\fR does \\-things\\- with C:\\epath and \\fIcare\\fR.",
            ".SH COMMANDS", ".TP", "\\fBrun [a|b]\\fR", "runs \\fBit\\fR",
            ".TP", "\\fB.hidden\\fR", "\\&'quoted and dotted",
            ".SH EXIT STATUS", "0 ok, 1 failure.",
            ".IP \\(bu 2", "one item continued", ".IP \\(bu 2", "\\&.two",
            ".SH EXAMPLES", ".RS 4", ".nf", "tool run a   # \\-> works", ".fi", ".RE",
        ]
        lines = page.splitlines()
        at = 0
        for wanted in expected_in_order:
            self.assertIn(wanted, lines[at:], f"missing or out of order: {wanted!r}\n{page}")
            at = lines.index(wanted, at) + 1
        self.assertNotIn("Not in the page", page)

    def test_a_missing_section_stops_the_build(self):
        with self.assertRaisesRegex(SystemExit, r"no '## other\(1\)' section"):
            render(SAMPLE, "other(1)")

    def test_readme_manual_section_makes_a_clean_page(self):
        with tempfile.TemporaryDirectory() as folder:
            output = Path(folder) / "tav712.1.gz"
            subprocess.run([sys.executable, str(ROOT / "packaging" / "man" / "readme_to_man.py"),
                            "--readme", str(ROOT / "README.md"), "--section", "tav712(1)", "--version", "1.2",
                            "--summary", "drive a reader", "--output", str(output)], check=True, timeout=30)
            data = output.read_bytes()
        page = gzip.decompress(data).decode()
        # The same README gives the same bytes: no time stamp in the archive.
        self.assertEqual(data[4:8], b"\0\0\0\0")
        readme = (ROOT / "README.md").read_text()
        section = "\n".join(readme_to_man.extract_section(readme, "tav712(1)"))
        for command in re.findall(r"^\| `([a-z]+)", section, re.MULTILINE):
            self.assertRegex(page, rf"(?m)^\\fB{command}\b", f"command {command} is not in the page")
        for heading in ("SYNOPSIS", "DESCRIPTION", "COMMANDS", "OPTIONS", "EXIT STATUS", "EXAMPLES"):
            self.assertIn(f".SH {heading}\n", page)
        if shutil.which("groff"):
            run = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z"], input=page, capture_output=True,
                                 text=True, timeout=30)
            self.assertEqual((run.returncode, run.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main()
