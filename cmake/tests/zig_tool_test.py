#!/usr/bin/env python3
"""Tests of cmake/zig/zig-tool's compiler driver with a stand-in zig that records its arguments
and the LINK environment variable LLD reads: the delay-load options reach zig's LLD that way and
nothing else does."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
CXX = REPO / "cmake/zig/c++"


class ZigToolTest(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="tamsel-zig-tool-test."))
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.record = self.folder / "record.json"
        self.zig = self.folder / "zig"
        self.zig.write_text("#!/usr/bin/env python3\nimport json, os, sys\n"
                            f"json.dump({{'args': sys.argv[1:], 'LINK': os.environ.get('LINK'), "
                            f"'_LINK_': os.environ.get('_LINK_')}}, open({str(self.record)!r}, 'w'))\n")
        self.zig.chmod(0o755)

    def run_driver(self, args, **environment):
        env = dict(os.environ, TAMSEL_ZIG=str(self.zig), TAMSEL_CACHE=str(self.folder), **environment)
        result = subprocess.run([str(CXX), *args], capture_output=True, text=True, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(self.record.read_text())

    def test_delay_load_options_become_the_link_variable(self):
        cases = [
            # (title, arguments, environment, arguments zig gets after the target, LINK)
            ("a link with delay-loaded DLLs",
             ["main.o", "-Wl,--delayload=newdev.dll", "-o", "x.exe", "-Wl,--delayload=avrt.dll", "-Wl,--subsystem,windows"],
             {}, ["main.o", "-o", "x.exe", "-Wl,--subsystem,windows"], "/delayload:newdev.dll /delayload:avrt.dll"),
            ("a compile", ["-c", "a.cpp", "-o", "a.o"], {}, ["-c", "a.cpp", "-o", "a.o"], None),
            ("the caller's LINK never reaches a link", ["main.o", "-o", "x.exe"],
             {"LINK": "/delayload:evil.dll", "_LINK_": "/force"}, ["main.o", "-o", "x.exe"], None),
            ("nor mixes with the delay-load options", ["main.o", "-Wl,--delayload=bcrypt.dll"],
             {"LINK": "/delayload:evil.dll"}, ["main.o"], "/delayload:bcrypt.dll"),
        ]
        for title, args, environment, passed, link in cases:
            with self.subTest(title):
                record = self.run_driver(args, **environment)
                self.assertEqual(record["args"], ["c++", "-target", "aarch64-windows-gnu", *passed])
                self.assertEqual(record["LINK"], link)
                self.assertIsNone(record["_LINK_"])


if __name__ == "__main__":
    unittest.main()
