"""The Windows driver package checker: the shipped INF passes, each kind of
broken INF fails with a message that names the fault, and the image checks
tell a kernel driver from other PE files (when mingw-w64 is there to build
small ones)."""

import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "packaging" / "windows"))
import check_driver_package as checker  # noqa: E402

SHIPPED_INF = ROOT / "packaging" / "windows" / "tav712.inf"
CHECKER = ROOT / "packaging" / "windows" / "check_driver_package.py"


def drop_section(text: str, name: str) -> str:
    lines, out, dropping = text.splitlines(), [], False
    for line in lines:
        if line.startswith("["):
            dropping = line.strip().lower() == f"[{name.lower()}]"
        if not dropping:
            out.append(line)
    return "\n".join(out) + "\n"


def replace(old: str, new: str):
    def edit(text: str) -> str:
        assert old in text, old
        return text.replace(old, new, 1)
    return edit


# (name, how the shipped INF is broken, what the checker must say)
BROKEN = [
    ("MissingCopyFilesSection", lambda t: drop_section(t, "TAV712.Files"),
     "CopyFiles names section [TAV712.Files], which does not exist"),
    ("MissingServiceSection", lambda t: drop_section(t, "TAV712.Service"),
     "AddService names section [TAV712.Service], which does not exist"),
    ("MissingEventLogAddReg", lambda t: drop_section(t, "TAV712.EventLog.AddReg"),
     "AddReg names section [TAV712.EventLog.AddReg], which does not exist"),
    ("MissingInstallSection", lambda t: drop_section(t, "TAV712.Serenum.NTamd64"),
     "names install section [TAV712.Serenum], which does not exist"),
    ("MissingModelsSection", lambda t: drop_section(t, "Obelmar.NTamd64"),
     "[Manufacturer] names models section [Obelmar.NTamd64], which does not exist"),
    ("ModelsNotForX64", replace("%Vendor% = Obelmar, NTamd64", "%Vendor% = Obelmar"),
     "not decorated for x64"),
    ("UndefinedString", replace("Vendor         = \"Obelmar\"\n", ""),
     "%Vendor% is not defined in [Strings]"),
    ("DuplicateKey", replace("StartType     = 3 ", "StartType = 3\nStartType     = 3 "),
     "StartType appears twice in [TAV712.Service]"),
    ("DuplicateKeyInMergedSection", lambda t: t + "\n[Version]\nProvider = \"Someone else\"\n",
     "Provider appears twice in [Version]"),
    ("WrongClassGuid", replace("{50DD5230-BA8A-11D1-BF5D-0000F805F530}", "{4D36E978-E325-11CE-BFC1-08002BE10318}"),
     "is not the smart card reader class"),
    ("WrongClass", replace("Class       = SmartCardReader", "Class       = Ports"), "Class is Ports"),
    ("ServiceRunsAnotherFile", replace(r"ServiceBinary = %12%\tav712.sys", r"ServiceBinary = %12%\other.sys"),
     "service tav712 runs other.sys, which the INF does not copy to the drivers directory"),
    ("CopiedElsewhere", replace("TAV712.Files = 12", "TAV712.Files = 11"),
     "which the INF does not copy to the drivers directory"),
    ("ServiceBinaryOutsideDrivers", replace(r"%12%\tav712.sys", r"%11%\tav712.sys"),
     "is not in the drivers directory"),
    ("AutoStart", replace("StartType     = 3", "StartType     = 2"), "StartType is 2, expected 3"),
    ("NotAKernelDriver", replace("ServiceType   = 1", "ServiceType   = 16"), "ServiceType is 16, expected 1"),
    ("CriticalErrorControl", replace("ErrorControl  = 1", "ErrorControl  = 3"), "ErrorControl is 3, expected 1"),
    ("NotTheFunctionDriver", replace("tav712, 0x00000002, TAV712.Service, TAV712.EventLog\n\n; The reader on",
                                     "tav712, 0, TAV712.Service, TAV712.EventLog\n\n; The reader on"),
     "lacks flag 0x00000002"),
    ("NoEventLogSource", replace("tav712, 0x00000002, TAV712.Service, TAV712.EventLog\n\n; The reader on",
                                 "tav712, 0x00000002, TAV712.Service\n\n; The reader on"),
     "registers no event-log source"),
    ("EventMessageFileElsewhere", replace(r"System32\drivers\tav712.sys", r"System32\tav712.dll"),
     r"EventMessageFile %SystemRoot%\System32\tav712.dll is not the driver"),
    ("TypesSupportedNotSeven", replace("TypesSupported, 0x00010001, 7", "TypesSupported, 0x00010001, 5"),
     "TypesSupported must be the DWORD 7"),
    ("FileWithoutSource", replace("tav712.sys = 1", "other.sys = 1"),
     "tav712.sys is copied but not listed in [SourceDisksFiles]"),
    ("UnknownDisk", replace("tav712.sys = 1", "tav712.sys = 2"), "which [SourceDisksNames] does not define"),
    ("NoSerenumId", replace(r"TAV712.Serenum, SERENUM\OBM0712", r"TAV712.Serenum, ACPI\PNP0501"),
     "no model has a serial enumerator ID"),
    ("BadDriverVerDate", replace("DriverVer   = 01/01/2000", "DriverVer   = 2000-01-01"),
     "is not a date in mm/dd/yyyy form"),
    ("NoDriverVer", replace("DriverVer   = 01/01/2000,1.0.0.0\n", ""), "[Version] has no DriverVer"),
]


class InfChecks(unittest.TestCase):
    def check_text(self, text: str) -> list[str]:
        inf = checker.Inf("tav712.inf", text)
        checker.check_inf(inf)
        return inf.problems

    def test_shipped_inf_passes(self):
        self.assertEqual(self.check_text(SHIPPED_INF.read_text()), [])

    def test_each_broken_inf_fails_naming_its_fault(self):
        shipped = SHIPPED_INF.read_text()
        for name, breaks, message in BROKEN:
            with self.subTest(name):
                problems = self.check_text(breaks(shipped))
                self.assertTrue(any(message in p for p in problems), f"{message!r} not in {problems}")

    def test_command_line_fails_on_a_missing_section_with_a_clear_message(self):
        with tempfile.TemporaryDirectory() as folder:
            broken = Path(folder) / "tav712.inf"
            broken.write_text(drop_section(SHIPPED_INF.read_text(), "TAV712.Files"))
            run = subprocess.run([sys.executable, str(CHECKER), "--inf-only", str(broken)],
                                 capture_output=True, text=True, timeout=30)
        self.assertEqual(run.returncode, 1, run.stdout)
        self.assertRegex(run.stdout,
                         r"tav712\.inf:\d+: CopyFiles names section \[TAV712\.Files\], which does not exist")

    def test_reads_inf_syntax_as_setup_does(self):
        inf = checker.Inf("t.inf", "\n".join([
            "[version] ; section names ignore case",
            'Signature = "$Windows NT$"',
            "[Strings]",
            'Name = "a ; b ""quoted"""',
            "[Other]",
            'Key = %name%, "x;y", 100%%, %12%\\f.sys ; comment',
            "Long = one, \\",
            "       two",
        ]))
        other = inf.section("OTHER")
        self.assertEqual(inf.problems, [])
        self.assertEqual(other.get("key").values, ['a ; b "quoted"', "x;y", "100%", "%12%\\f.sys"])
        self.assertEqual(other.get("Long").values, ["one", "two"])


def mingw(tool: str) -> str | None:
    return shutil.which(f"x86_64-w64-mingw32-{tool}")


@unittest.skipUnless(mingw("gcc") and mingw("windmc") and mingw("windres"), "mingw-w64 is not installed")
class ImageChecks(unittest.TestCase):
    """Small images built here: a native driver with and without a message table, and a console program."""

    def setUp(self):
        self.folder = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.folder)

    def build(self, name: str, source: str, flags: list[str], objects: list[str] = ()) -> Path:
        (self.folder / f"{name}.c").write_text(source)
        image = self.folder / name
        subprocess.run([mingw("gcc"), "-O1", "-o", str(image), str(self.folder / f"{name}.c"), *objects, *flags],
                       check=True, capture_output=True, timeout=60)
        return image

    def native(self, name: str, objects: list[str] = ()) -> Path:
        source = "unsigned long DbgPrint(const char*, ...);\n" \
                 "long DriverEntry(void* d, void* r) { (void)d; (void)r; DbgPrint(\"up\"); return 0; }\n"
        return self.build(name, source, ["-nostdlib", "-nostartfiles", "-Wl,--subsystem,native",
                                         "-Wl,--entry,DriverEntry", "-lntoskrnl"], objects)

    def message_table(self) -> str:
        (self.folder / "log.mc").write_text("MessageId=1\nSymbolicName=MSG_UP\nLanguage=English\nup\n.\n")
        subprocess.run([mingw("windmc"), "-A", "-h", str(self.folder), "-r", str(self.folder),
                        str(self.folder / "log.mc")], check=True, capture_output=True, timeout=60)
        subprocess.run([mingw("windres"), "-i", "log.rc", "-o", "log.res.o"], cwd=self.folder, check=True,
                       capture_output=True, timeout=60)
        return str(self.folder / "log.res.o")

    def test_native_driver_with_message_table_passes(self):
        self.assertEqual(checker.check_image(self.native("good.sys", [self.message_table()])), [])

    def test_native_driver_without_message_table_fails(self):
        problems = checker.check_image(self.native("bare.sys"))
        self.assertEqual(problems, ["bare.sys: carries no message table: the event log cannot show its messages"])

    def test_console_program_is_not_a_kernel_driver(self):
        program = self.build("app.exe", "#include <stdio.h>\nint main(void) { puts(\"hi\"); return 0; }\n", [])
        text = "\n".join(checker.check_image(program))
        self.assertIn("subsystem 3, not native (1)", text)
        self.assertRegex(text, r"imports from .*(KERNEL32|msvcrt)")

    def test_not_a_pe_file(self):
        path = self.folder / "tav712.sys"
        path.write_bytes(b"\x7fELF not a PE image")
        self.assertEqual(checker.check_image(path), ["tav712.sys: not a PE image (no MZ header)"])


if __name__ == "__main__":
    unittest.main()
