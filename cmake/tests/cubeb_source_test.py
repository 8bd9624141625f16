#!/usr/bin/env python3
"""The cubeb source rules of cmake/TamselCubeb.cmake, seen through a real CMake configure: the
pinned archive is accepted; a truncated or altered archive, a missing one, or no source at all
stop the configure with a message that says why (never a silent fall-back to another cubeb)."""
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
PIN_SOURCE = (REPO / "cmake/TamselCubeb.cmake").read_text()
COMMIT = re.search(r"^set\(TAMSEL_CUBEB_COMMIT ([0-9a-f]{40})\)$", PIN_SOURCE, re.M).group(1)
PINNED = re.search(r"^set\(TAMSEL_CUBEB_ARCHIVE_SHA256 ([0-9a-f]{64})\)$", PIN_SOURCE, re.M).group(1)
VENDORED = REPO.parent / f"shared/vendor/cubeb-{COMMIT}.tar.gz"


def configure(tmp, *args, env_archive=None):
    """Configures a project that only includes TamselCubeb.cmake (in the same build folder each
    time for one `tmp`), with TAMSEL_CUBEB_ARCHIVE in the environment only when `env_archive` is
    given; gives (exit code, output)."""
    src = Path(tmp) / "src"
    src.mkdir(exist_ok=True)
    (src / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.25)\nproject(cubeb_source_probe NONE)\n"
        f'include("{REPO}/cmake/TamselCubeb.cmake")\n')
    env = {k: v for k, v in os.environ.items() if k != "TAMSEL_CUBEB_ARCHIVE"}
    if env_archive is not None:
        env["TAMSEL_CUBEB_ARCHIVE"] = str(env_archive)
    run = subprocess.run(["cmake", "-S", str(src), "-B", str(Path(tmp) / "build"), *args],
                         capture_output=True, text=True, env=env)
    return run.returncode, run.stdout + run.stderr


def flat(text):
    return " ".join(text.split())


class CubebSource(unittest.TestCase):
    def archive(self, tmp, content):
        path = Path(tmp) / "cubeb.tar.gz"
        path.write_bytes(content)
        return path

    @unittest.skipUnless(VENDORED.exists(), "no vendored cubeb archive on this machine")
    def test_pinned_archive_is_taken(self):
        self.assertEqual(hashlib.sha256(VENDORED.read_bytes()).hexdigest(), PINNED)
        with tempfile.TemporaryDirectory() as tmp:
            rc, out = configure(tmp, f"-DTAMSEL_CUBEB_ARCHIVE={VENDORED}")
            self.assertEqual(rc, 0, out)

    def test_truncated_or_altered_archive_stops_the_configure(self):
        # Any bytes other than the pinned archive must be refused, so the case needs no cubeb:
        # without the vendored archive, a stand-in of about its size takes its place.
        good = VENDORED.read_bytes() if VENDORED.exists() else b"\x1f\x8b\x08\x00" + bytes(range(256)) * 4096
        altered = bytearray(good)
        altered[len(altered) // 2] ^= 0x01
        cases = {"truncated": good[: len(good) // 3], "altered": bytes(altered), "empty": b""}
        for label, content in cases.items():
            self.assertNotEqual(hashlib.sha256(content).hexdigest(), PINNED, label)
            with self.subTest(label), tempfile.TemporaryDirectory() as tmp:
                path = self.archive(tmp, content)
                rc, out = configure(tmp, f"-DTAMSEL_CUBEB_ARCHIVE={path}")
                self.assertNotEqual(rc, 0, out)
                self.assertIn("SHA-256 digest mismatch", flat(out))
                self.assertIn(f"expected {PINNED}", flat(out))
                self.assertIn(f"got {hashlib.sha256(content).hexdigest()}", flat(out))
                self.assertFalse((Path(tmp) / "build/cubeb-build").exists(), "nothing was set up to build")

    def test_missing_archive_or_no_source(self):
        with tempfile.TemporaryDirectory() as tmp:
            rc, out = configure(tmp, f"-DTAMSEL_CUBEB_ARCHIVE={tmp}/absent.tar.gz")
            self.assertNotEqual(rc, 0)
            self.assertIn("cubeb source archive not found", flat(out))
        with tempfile.TemporaryDirectory() as tmp:
            rc, out = configure(tmp)
            self.assertNotEqual(rc, 0)
            self.assertIn(f"No source for cubeb {COMMIT}", flat(out))

    def test_environment_set_after_a_configure_without_source_is_taken(self):
        # The first configure stops and leaves an empty TAMSEL_CUBEB_ARCHIVE in the cache; the
        # variable set afterwards, as that message says, must be honoured by the next configure.
        with tempfile.TemporaryDirectory() as tmp:
            rc, out = configure(tmp)
            self.assertIn(f"No source for cubeb {COMMIT}", flat(out))
            later = Path(tmp) / "later.tar.gz"
            rc, out = configure(tmp, env_archive=later)
            self.assertNotEqual(rc, 0)
            self.assertIn(f"cubeb source archive not found: {later}", flat(out))


if __name__ == "__main__":
    sys.exit(unittest.main())
