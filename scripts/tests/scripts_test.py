#!/usr/bin/env python3
"""Tests of the shell scripts' own rules, with stand-ins in a temporary folder: the one per-user
cache folder every script and the build use."""

import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(Path(__file__).resolve().parent))
from bundle_test import Fixture  # noqa: E402


def account_home():
    import pwd
    return pwd.getpwuid(os.getuid()).pw_dir


def run(args, env, cwd=REPO):
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True, env=env, cwd=cwd)
    return result.returncode, result.stdout + result.stderr


class CacheFolder(unittest.TestCase):
    """Every consumer of the cache finds the same folder: TAMSEL_CACHE, else XDG_CACHE_HOME/tamsel,
    else ~/.cache/tamsel of the account, whatever HOME says."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="tamsel-cache-test."))
        self.addCleanup(subprocess.run, ["rm", "-rf", str(self.tmp)])
        # A stand-in zig that reports where its own cache is.
        for cache in (self.tmp / "explicit", self.tmp / "xdg/tamsel"):
            zig = cache / "zig-0.11.0/zig"
            zig.parent.mkdir(parents=True)
            zig.write_text('#!/bin/sh\necho "zig-cache=$ZIG_GLOBAL_CACHE_DIR"\n')
            zig.chmod(0o755)

    def environment(self, **values):
        env = {k: v for k, v in os.environ.items()
               if k not in ("TAMSEL_CACHE", "XDG_CACHE_HOME", "ZIG_GLOBAL_CACHE_DIR", "TAMSEL_ZIG",
                            "TAMSEL_ARM64_ROOT")}
        env["HOME"] = str(self.tmp / "private-home")
        env.update({k: str(v) for k, v in values.items()})
        return env

    def toolchain_choice(self, env):
        src = self.tmp / "probe"
        src.mkdir(exist_ok=True)
        (src / "CMakeLists.txt").write_text(
            "cmake_minimum_required(VERSION 3.25)\nproject(probe NONE)\n"
            'message(STATUS "arm64 toolchain: ${TAMSEL_ARM64_TOOLCHAIN}")\n')
        build = self.tmp / "probe-build"
        subprocess.run(["rm", "-rf", str(build)])
        return run(["cmake", "-S", src, "-B", build,
                    f"-DCMAKE_TOOLCHAIN_FILE={REPO}/cmake/toolchain-windows-arm64.cmake"], env)[1]

    def test_every_consumer_takes_the_same_folder(self):
        cases = [
            ("TAMSEL_CACHE", {"TAMSEL_CACHE": self.tmp / "explicit", "XDG_CACHE_HOME": self.tmp / "xdg"},
             self.tmp / "explicit", True),
            ("XDG_CACHE_HOME", {"XDG_CACHE_HOME": self.tmp / "xdg"}, self.tmp / "xdg/tamsel", True),
            ("the account's home, not HOME", {}, Path(account_home()) / ".cache/tamsel", False),
        ]
        for title, values, folder, has_zig in cases:
            with self.subTest(title):
                env = self.environment(**values)
                self.assertEqual(run([REPO / "scripts/cache-folder"], env), (0, f"{folder}\n"))
                self.assertEqual(run(["bash", "-c", '. scripts/cache-folder; echo "$TAMSEL_CACHE $ZIG_GLOBAL_CACHE_DIR"'],
                                     env), (0, f"{folder} {folder}/zig-cache\n"))
                self.assertEqual(run([REPO / "scripts/arm64-wine-root", "path"], env),
                                 (0, f"{folder}/arm64-wine-root\n"))
                chosen = "zig" if (folder / "zig-0.11.0/zig").exists() else "llvm-mingw"
                self.assertIn(f"arm64 toolchain: {chosen}", self.toolchain_choice(env))
                if not has_zig:
                    continue
                self.assertEqual(run([REPO / "cmake/zig/cc", "--version"], env),
                                 (0, f"zig-cache={folder}/zig-cache\n"))
                fixture = Fixture()
                try:
                    # scripts/package takes the ARM64 runtime licences from the zig in the cache:
                    # the stand-in has none, and the message names where it looked.
                    code, output = run([sys.executable, REPO / "scripts/package", "--version", "1",
                                        "--cubeb-archive", fixture.archive, "--bin-arm64", fixture.bins["arm64"],
                                        "--arch", "arm64", "--out", fixture.out], env)
                    self.assertEqual(code, 1, output)
                    self.assertIn(f"cannot read {folder}/zig-0.11.0/lib/libcxx/LICENSE.TXT", output)
                finally:
                    fixture.cleanup()


if __name__ == "__main__":
    unittest.main()
