#!/usr/bin/env python3
"""scripts/windows-test-list and scripts/run-windows-tests.js: which CTest tests go to the
Windows runners and which are left out with their reasons, and the run of the exported list
(with stand-in programs: scripts that carry the .exe name)."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
EXPORT = REPO / "scripts" / "windows-test-list"
RUN = REPO / "scripts" / "run-windows-tests.js"


def ctest_entry(name, command, env=None, labels=None, timeout=None):
    props = []
    if env:
        props.append({"name": "ENVIRONMENT", "value": env})
    if labels:
        props.append({"name": "LABELS", "value": labels})
    if timeout:
        props.append({"name": "TIMEOUT", "value": timeout})
    return {"name": name, "command": command, "properties": props}


class Export(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.tmp)
        self.build = self.tmp / "build"
        (self.build / "bin").mkdir(parents=True)
        self.wine = str(REPO / "cmake" / "wine-run")

    def program(self, name, body):
        path = self.build / "bin" / name
        path.write_text("#!/bin/sh\n" + body + "\n")
        path.chmod(0o755)
        return str(path)

    def export(self, tests):
        listed = self.tmp / "ctest.json"
        listed.write_text(json.dumps({"kind": "ctestInfo", "tests": tests}))
        out = self.tmp / "out"
        run = subprocess.run([sys.executable, str(EXPORT), "--preset", "windows-x64", "--ctest-json", str(listed),
                              "--build-dir", str(self.build), "--out", str(out)], capture_output=True, text=True)
        return run, out

    def test_classification(self):
        exe = self.program("a_tests.exe", "exit 0")
        host = self.program("tamsel_audio_host.exe", "exit 0")
        cases = [
            # name, command, env, labels: the reason it is left out, or None when it runs natively
            ("plain", [self.wine, exe], None, None, None),
            ("with_build_file", [self.wine, exe, host, "--gtest_filter=-X.*"], None, None, None),
            ("python_check", ["/usr/bin/python3", "check", exe], None, None, "runs python3 on the build machine"),
            ("fresh_prefix", [str(REPO / "x/fresh-wine-prefix"), self.wine, exe], None, None, "needs a fresh Wine prefix of its own"),
            ("pulse", [str(REPO / "y/private-pulseaudio"), "run", self.wine, exe], None, None, "needs a private PulseAudio daemon"),
            ("overrides", [self.wine, exe], ["WINEDLLOVERRIDES=mmdevapi=n,b"], None, "needs Wine's DLL overrides"),
            ("labelled", [self.wine, exe], None, ["wine-behaviour"], "asserts what Wine does where Windows differs"),
            ("x_wine_tests", [self.wine, exe], None, None, "a Wine test"),
        ]
        run, out = self.export([ctest_entry(n, c, e, l) for n, c, e, l, _ in cases])
        self.assertEqual(run.returncode, 0, run.stderr)
        result = json.loads((out / "tests.json").read_text())
        native = {t["name"]: t for t in result["native"]}
        left = {t["name"]: t["reason"] for t in result["left_out"]}
        for name, _, _, _, reason in cases:
            if reason is None:
                self.assertIn(name, native, f"{name} must run natively")
            else:
                self.assertIn(reason, left.get(name, ""), name)
        self.assertEqual(native["with_build_file"]["args"], ["bin/tamsel_audio_host.exe", "--gtest_filter=-X.*"])
        self.assertEqual(native["plain"]["program"], "bin/a_tests.exe")
        self.assertTrue((out / "bin" / "a_tests.exe").is_file())

    def test_refusals(self):
        exe = self.program("a_tests.exe", "exit 0")
        cases = [
            ("an argument outside the build folder", [self.wine, exe, "/etc/passwd"], "lies outside the build folder"),
            ("not a Windows program", [self.wine, str(self.build / "bin" / "script.sh")], "is not a Windows program"),
            ("a program that was not built", [self.wine, str(self.build / "bin" / "gone.exe")], "is not in"),
        ]
        for what, command, message in cases:
            run, _ = self.export([ctest_entry("t", command)])
            self.assertEqual(run.returncode, 1, what)
            self.assertIn(message, run.stderr, what)

    def test_run_of_the_list(self):
        # Passes when its argument is the exported host and the environment arrived.
        self.program("pass_tests.exe", '[ "$1" = "$PWD/bin/tamsel_audio_host.exe" ] && [ "$TAMSEL_X" = "1=2" ] && echo fine')
        self.program("tamsel_audio_host.exe", "exit 0")
        self.program("fail_tests.exe", "echo broken; exit 3")
        self.program("hang_tests.exe", "exec sleep 60")
        bin_ = self.build / "bin"
        run, out = self.export([
            ctest_entry("pass_tests", [self.wine, str(bin_ / "pass_tests.exe"), str(bin_ / "tamsel_audio_host.exe")], ["TAMSEL_X=1=2"]),
            ctest_entry("fail_tests", [self.wine, str(bin_ / "fail_tests.exe")]),
            ctest_entry("hang_tests", [self.wine, str(bin_ / "hang_tests.exe")], timeout="1"),
            ctest_entry("left_tests", ["/usr/bin/python3", "x.py"]),
        ])
        self.assertEqual(run.returncode, 0, run.stderr)
        ran = subprocess.run(["node", str(RUN), str(out)], capture_output=True, text=True, timeout=60)
        self.assertEqual(ran.returncode, 1, ran.stdout)
        self.assertIn("windows tests: 1 passed, 2 failed", ran.stdout)
        self.assertIn("FAIL fail_tests", ran.stdout)
        self.assertIn("exit code 3", ran.stdout)
        self.assertIn("FAIL hang_tests", ran.stdout)
        self.assertIn("timed out after 1 s", ran.stdout)
        self.assertIn("left_tests: runs python3 on the build machine", ran.stdout)
        self.assertIn("fine", (out / "logs" / "pass_tests.log").read_text())
        self.assertIn("broken", (out / "logs" / "fail_tests.log").read_text())


if __name__ == "__main__":
    unittest.main()
