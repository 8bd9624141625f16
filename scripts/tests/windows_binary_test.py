#!/usr/bin/env python3
"""Tests of scripts/check-windows-binary's rules for a program that runs elevated
(--system32-only), on stand-in programs of both architectures made by pe_builder, and of its
second reading of the same facts by llvm-readobj (--readobj)."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pe_builder  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
CHECK = REPO / "scripts/check-windows-binary"
VERSION = "1.2.3-test"
NEWDEV = {"newdev.dll": ["UpdateDriverForPlugAndPlayDevicesW"]}
READOBJ = shutil.which("llvm-readobj") or shutil.which("llvm-readobj-14")


class SetupProgram:
    """A stand-in tamsel_driver_setup.exe in a temporary folder, checked as the build checks it."""

    def __init__(self, test, machine, **changes):
        folder = Path(tempfile.mkdtemp(prefix="tamsel-binary-test."))
        test.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        self.machine = machine
        self.path = folder / "tamsel_driver_setup.exe"
        self.path.write_bytes(pe_builder.setup_program(machine, VERSION, **changes))

    def check(self, *options):
        result = subprocess.run([sys.executable, str(CHECK), "--machine", self.machine, "--subsystem", "gui",
                                 "--system32-only", *options, str(self.path)], capture_output=True, text=True)
        return result.returncode, result.stdout + result.stderr


class System32OnlyTest(unittest.TestCase):
    def test_only_knowndlls_at_start_on_both_architectures_and_dependent_load_flags_on_arm64(self):
        without_newdev = {k: v for k, v in pe_builder.SETUP_DELAY_IMPORTS.items() if k != "newdev.dll"}
        newdev_at_start = dict(imports=dict(pe_builder.SETUP_IMPORTS, **NEWDEV), delay_imports=without_newdev)
        cases = [
            # (title, machine, changes, None when accepted, else the reason)
            ("x64 as GNU ld links it (no load configuration, delay imports by shape)", "x64",
             dict(delay_directory=False), None),
            ("x64 with a delay-import directory", "x64", {}, None),
            ("arm64 as LLD links it", "arm64", {}, None),
            ("x64: newdev at start", "x64", newdev_at_start, "imports newdev.dll at start (not KnownDLLs)"),
            ("arm64: newdev at start, whatever DependentLoadFlags says", "arm64", newdev_at_start,
             "imports newdev.dll at start (not KnownDLLs)"),
            ("arm64: no load configuration", "arm64", dict(dependent_load_flags=None), "no DependentLoadFlags"),
            ("arm64: DependentLoadFlags 0", "arm64", dict(dependent_load_flags=0), "0x0 as DependentLoadFlags"),
            ("arm64: DependentLoadFlags of the application folder", "arm64", dict(dependent_load_flags=0x200),
             "0x200 as DependentLoadFlags"),
            ("no SetDefaultDllDirectories", "arm64",
             dict(imports=dict(pe_builder.SETUP_IMPORTS, **{"KERNEL32.dll": ["GetLastError", "WriteFile"]})),
             "does not import SetDefaultDllDirectories"),
        ]
        for title, machine, changes, reason in cases:
            with self.subTest(title):
                code, output = SetupProgram(self, machine, **changes).check()
                if reason is None:
                    self.assertEqual(code, 0, output)
                    self.assertIn(f"PE32+ {machine} gui", output)
                else:
                    self.assertEqual(code, 1, output)
                    self.assertIn(reason, output)

    def test_the_self_test_refuses_every_altered_copy(self):
        for machine in pe_builder.MACHINES:
            with self.subTest(machine):
                program = SetupProgram(self, machine)
                result = subprocess.run([sys.executable, str(CHECK), "--self-test", "--system32-only", str(program.path)],
                                        capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertIn("altered copy (non-KnownDLL import at start) refused: imports newdev.dll at start",
                              result.stdout)
                if machine == "arm64":
                    self.assertIn("altered copy (DependentLoadFlags cleared) refused", result.stdout)
                    self.assertIn("altered copy (no load configuration) refused", result.stdout)


@unittest.skipUnless(READOBJ, "llvm-readobj is not installed")
class ReadobjTest(unittest.TestCase):
    def test_llvm_readobj_reads_what_the_checker_reads(self):
        for machine, changes in (("arm64", {}), ("x64", dict(delay_directory=False))):
            with self.subTest(machine):
                code, output = SetupProgram(self, machine, **changes).check("--readobj", READOBJ)
                self.assertEqual(code, 0, output)

    def test_a_disagreement_with_llvm_readobj_is_refused(self):
        # A stand-in reader that reports another import table than the program has.
        folder = Path(tempfile.mkdtemp(prefix="tamsel-readobj-test."))
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        cases = [
            ("another normal import", "Import {\n  Name: newdev.dll\n}\n",
             "llvm-readobj reads imports ['advapi32.dll', 'kernel32.dll', 'msvcrt.dll', 'newdev.dll']"),
            ("no delay imports", "", "llvm-readobj reads delay imports []"),
            ("other DependentLoadFlags",
             None, "llvm-readobj reads DependentLoadFlags 256"),
        ]
        for title, replacement, message in cases:
            with self.subTest(title):
                real = subprocess.run([READOBJ, "--coff-imports", "--coff-load-config",
                                       str(SetupProgram(self, "arm64").path)], capture_output=True, text=True).stdout
                if replacement is None:
                    text = real.replace("DependentLoadFlags: 0x800", "DependentLoadFlags: 0x100")
                elif replacement:
                    text = real.replace("Import {\n  Name: KERNEL32.dll", replacement + "Import {\n  Name: KERNEL32.dll")
                else:
                    text = "\n".join(line for line in real.splitlines() if not line.startswith("DelayImport {"))
                self.assertNotEqual(text, real, title)
                stand_in = folder / f"readobj-{len(title)}"
                (folder / f"out-{len(title)}").write_text(text)
                stand_in.write_text(f"#!/bin/sh\ncat '{folder}/out-{len(title)}'\n")
                stand_in.chmod(0o755)
                code, output = SetupProgram(self, "arm64").check("--readobj", str(stand_in))
                self.assertEqual(code, 1, output)
                self.assertIn(message, output)


if __name__ == "__main__":
    unittest.main()
