#!/usr/bin/env python3
"""What a new user's plain clone does, in a copy of this checkout placed where no vendored cubeb
archive sits beside it: scripts/setup-and-run stops at its configure step, naming it and both ways
to a cubeb source, when there is neither network nor archive; a stand-in for the upstream cubeb
repository is fetched, configured and built from. And the verdicts of scripts/list-demo, the
setup's last steps: with stand-in programs (Linux), and under Wine with the real Windows program
and a copy that Wine cannot load (only when TAMSEL_HOST_EXE names the program).

Git may use no network transport here (GIT_ALLOW_PROTOCOL=file): the default upstream URL behaves
as on a machine without network."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "cmake/tests"))
from cubeb_source_test import COMMIT, SOURCE_VARIABLES, VENDORED, flat, standin_repository  # noqa: E402

LIST_DEMO = REPO / "scripts/list-demo"


def plain_clone(placement):
    """A copy of this checkout's files (tracked and new ones, nothing ignored, no build folder) at
    placement/checkout, with nothing beside it."""
    checkout = Path(placement) / "checkout"
    listed = subprocess.run(["git", "-C", str(REPO), "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            capture_output=True)
    if listed.returncode == 0:
        for name in filter(None, listed.stdout.decode().split("\0")):
            if (REPO / name).is_file():
                (checkout / name).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(REPO / name, checkout / name)
    else:
        shutil.copytree(REPO, checkout, ignore=shutil.ignore_patterns("build", ".git"))
    return checkout


def environment(**values):
    env = {k: v for k, v in os.environ.items() if k not in SOURCE_VARIABLES}
    env["GIT_ALLOW_PROTOCOL"] = "file"
    env.update({k: str(v) for k, v in values.items()})
    return env


def run(args, env, cwd):
    result = subprocess.run([str(a) for a in args], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return result.returncode, result.stdout.decode("utf-8", "replace")


class PlainClone(unittest.TestCase):
    def setUp(self):
        self.placement = Path(tempfile.mkdtemp(prefix="tamsel-plain-clone."))
        self.addCleanup(shutil.rmtree, self.placement, ignore_errors=True)
        self.checkout = plain_clone(self.placement)

    def test_setup_without_any_cubeb_source_stops_at_the_configure_step(self):
        code, output = run(["nice", self.checkout / "scripts/setup-and-run"], environment(), self.checkout)
        self.assertEqual(code, 1, output)
        self.assertIn('setup-and-run: step "configure windows-x64" failed', output)
        message = flat(output)
        self.assertIn(f"No source for cubeb {COMMIT}: fetching it from https://", message)
        self.assertIn(f"placed at {self.placement}/shared/vendor/cubeb-{COMMIT}.tar.gz", message)
        self.assertIn("-DTAMSEL_CUBEB_REPOSITORY=<clone URL>", message)
        # The steps before it ran, none after it.
        self.assertIn("=== install packages", output)
        for later in ("=== build windows-x64", "=== configure linux-release", "=== list", "every step passed"):
            self.assertNotIn(later, output)

    @unittest.skipUnless(VENDORED.exists(), "the stand-in repository is made from the vendored cubeb archive, "
                                            "which this machine lacks")
    def test_a_stand_in_upstream_repository_is_fetched_configured_and_built(self):
        url, (commit,) = standin_repository(self.placement / "upstream", VENDORED)
        env = environment(TAMSEL_CUBEB_REPOSITORY=url, TAMSEL_CUBEB_COMMIT=commit)
        code, output = run(["nice", "cmake", "--preset", "windows-x64"], env, self.checkout)
        self.assertEqual(code, 0, output)
        self.assertIn(f"cubeb {commit}: from the repository {url}", output)
        code, output = run(["nice", "cmake", "--build", "--preset", "windows-x64", "--target", "tamsel_cubeb_build"],
                           env, self.checkout)
        self.assertEqual(code, 0, output)
        build = self.checkout / "build/windows-x64"
        head = subprocess.run(["git", "-C", str(build / "cubeb-src"), "rev-parse", "HEAD"], capture_output=True,
                              text=True).stdout.strip()
        self.assertEqual(head, commit)
        library = build / "cubeb/lib/libcubeb.a"
        self.assertTrue(library.is_file() and library.stat().st_size > 0, output)
        self.assertTrue((build / "cubeb/include/cubeb/cubeb.h").is_file())


def stand_in_program(folder, name, body):
    path = Path(folder) / name
    path.write_text(f"#!/bin/sh\n{body}\n")
    path.chmod(0o755)
    return path


@unittest.skipUnless(os.environ.get("DISPLAY") and shutil.which("xterm"), "needs an X display and xterm")
class ListDemo(unittest.TestCase):
    """scripts/list-demo linux with stand-ins for the capture host (each sees the demo's xterm as
    the child of its own parent)."""

    def test_only_a_list_that_holds_the_window_passes(self):
        record = '{"id":"pid:%s","label":"xterm","exe":"/usr/bin/xterm","start_time":1,"active":false}'
        cases = [
            ("holds the xterm", f"printf '[{record}]\\n' \"$(pgrep -P $PPID -x xterm)\"", 0, "pid:"),
            ("fails", 'echo "cannot open display :9" >&2; exit 3', 1,
             "exited with code 3; standard error: cannot open display :9"),
            ("not JSON", "echo 'Segmentation fault'", 1, "printed no JSON array: 'Segmentation fault'"),
            ("an object, not a list", "echo '{}'", 1, "printed no JSON array"),
            ("an empty list", "echo '[]'", 1, "the list is empty after 1 s, though the xterm"),
            ("another process only", f"printf '[{record}]\\n' 1", 1, "the list does not hold the xterm"),
        ]
        with tempfile.TemporaryDirectory() as folder:
            for title, body, expected_code, expected in cases:
                with self.subTest(title):
                    program = stand_in_program(folder, "host", body)
                    code, output = run([sys.executable, LIST_DEMO, "--timeout", "1", "linux", program], os.environ, folder)
                    self.assertEqual(code, expected_code, output)
                    self.assertIn(expected, output)
                    if expected_code:
                        self.assertIn("list-demo: tamsel_audio_host --list (Linux): ", output)
            code, output = run([sys.executable, LIST_DEMO, "linux", Path(folder) / "absent"], os.environ, folder)
            self.assertEqual(code, 1)
            self.assertIn("absent does not exist (it was not built)", output)


@unittest.skipUnless(os.environ.get("TAMSEL_HOST_EXE") and os.environ.get("DISPLAY"),
                     "needs the x64 Windows program (TAMSEL_HOST_EXE) and an X display")
class ListDemoUnderWine(unittest.TestCase):
    """scripts/list-demo wine with the real program, and with a copy whose import of mmdevapi.dll
    names a DLL that does not exist, as a program Wine cannot load."""

    def test_the_real_program_lists_notepad_and_one_that_cannot_load_fails_with_the_reason(self):
        program = Path(os.environ["TAMSEL_HOST_EXE"])
        with tempfile.TemporaryDirectory() as folder:
            broken = Path(folder) / "tamsel_audio_host.exe"
            image = program.read_bytes()
            self.assertEqual(image.count(b"mmdevapi.dll"), 1)
            broken.write_bytes(image.replace(b"mmdevapi.dll", b"mmdevapx.dll"))
            cases = [
                ("the real program", program, 0, ['"exe":"C:\\\\windows\\\\system32\\\\notepad.exe"']),
                ("a missing DLL", broken, 1, ["exited with code", "mmdevapx.dll", "c0000135"]),
            ]
            for title, exe, expected_code, expected in cases:
                with self.subTest(title):
                    code, output = run([sys.executable, LIST_DEMO, "--timeout", "30", "wine", exe], os.environ, folder)
                    self.assertEqual(code, expected_code, output)
                    for text in expected:
                        self.assertIn(text, output)


if __name__ == "__main__":
    unittest.main()
