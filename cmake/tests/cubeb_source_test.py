#!/usr/bin/env python3
"""The cubeb source rules of cmake/TamselCubeb.cmake, seen through a real CMake configure of a
project that only includes it: which source is taken (an archive given, a repository given, the
vendored archive beside the checkout, the upstream repository), that a truncated or altered
archive stops the configure without any fall-back to a download, and that a machine with neither
network nor archive gets one message naming both ways. A local bare repository stands in for the
upstream one; git may use no network transport in these tests (GIT_ALLOW_PROTOCOL=file), so the
default upstream URL behaves as on a machine without network."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
PIN_SOURCE = (REPO / "cmake/TamselCubeb.cmake").read_text()
COMMIT = re.search(r"^set\(TAMSEL_CUBEB_PINNED_COMMIT ([0-9a-f]{40})\)$", PIN_SOURCE, re.M).group(1)
PINNED = re.search(r"^set\(TAMSEL_CUBEB_ARCHIVE_SHA256 ([0-9a-f]{64})\)$", PIN_SOURCE, re.M).group(1)
UPSTREAM = re.search(r"^set\(TAMSEL_CUBEB_UPSTREAM (\S+)\)$", PIN_SOURCE, re.M).group(1)
VENDORED = REPO.parent / f"shared/vendor/cubeb-{COMMIT}.tar.gz"
SOURCE_VARIABLES = ("TAMSEL_CUBEB_ARCHIVE", "TAMSEL_CUBEB_REPOSITORY", "TAMSEL_CUBEB_COMMIT")


def git(*args, cwd):
    env = {**os.environ, "GIT_AUTHOR_NAME": "stand-in", "GIT_AUTHOR_EMAIL": "stand-in@localhost",
           "GIT_COMMITTER_NAME": "stand-in", "GIT_COMMITTER_EMAIL": "stand-in@localhost",
           "GIT_AUTHOR_DATE": "2026-07-24T00:00:00Z", "GIT_COMMITTER_DATE": "2026-07-24T00:00:00Z"}
    return subprocess.run(["git", *args], cwd=cwd, env=env, check=True, capture_output=True,
                          text=True).stdout.strip()


def standin_repository(folder, *trees):
    """A bare repository folder/cubeb.git standing in for the upstream one: one commit per tree, in
    order, each tree either {relative path: bytes} or a `git archive` tar.gz (unpacked without its
    top folder). Gives (file URL, [commit hashes])."""
    work = Path(folder) / "work"
    work.mkdir(parents=True)
    git("init", "-q", cwd=work)
    commits = []
    for number, tree in enumerate(trees):
        for entry in work.iterdir():
            if entry.name != ".git":
                shutil.rmtree(entry) if entry.is_dir() else entry.unlink()
        if isinstance(tree, dict):
            for name, data in tree.items():
                (work / name).parent.mkdir(parents=True, exist_ok=True)
                (work / name).write_bytes(data)
        else:
            subprocess.run(["tar", "-xzf", str(tree), "-C", str(work), "--strip-components=1"], check=True)
        git("add", "-A", cwd=work)
        git("commit", "-q", "--allow-empty", "-m", f"stand-in commit {number}", cwd=work)
        commits.append(git("rev-parse", "HEAD", cwd=work))
    bare = Path(folder) / "cubeb.git"
    git("clone", "-q", "--bare", str(work), str(bare), cwd=folder)
    return f"file://{bare}", commits


def configure(tmp, *args, env=None):
    """Configures a project that only includes TamselCubeb.cmake, in the same build folder each
    time for one `tmp` (so its vendored folder is tmp/shared/vendor), with only the given cubeb
    variables in the environment; gives (exit code, output)."""
    src = Path(tmp) / "src"
    src.mkdir(exist_ok=True)
    (src / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.25)\nproject(cubeb_source_probe NONE)\n"
        f'include("{REPO}/cmake/TamselCubeb.cmake")\n')
    environment = {k: v for k, v in os.environ.items() if k not in SOURCE_VARIABLES}
    environment["GIT_ALLOW_PROTOCOL"] = "file"
    environment.update({k: str(v) for k, v in (env or {}).items()})
    run = subprocess.run(["cmake", "-S", str(src), "-B", str(Path(tmp) / "build"), *args],
                         capture_output=True, text=True, env=environment)
    return run.returncode, run.stdout + run.stderr


def flat(text):
    return " ".join(text.split())


def fetched_commit(tmp):
    """The commit checked out in the build's cubeb source folder, or None."""
    src = Path(tmp) / "build/cubeb-src"
    if not (src / ".git").exists():
        return None
    head = subprocess.run(["git", "-C", str(src), "rev-parse", "-q", "--verify", "HEAD"], capture_output=True, text=True)
    return head.stdout.strip() if head.returncode == 0 else None


def place_vendored(tmp, content):
    path = Path(tmp) / f"shared/vendor/cubeb-{COMMIT}.tar.gz"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(content)
    return path


def altered(content):
    changed = bytearray(content)
    changed[len(changed) // 2] ^= 0x01
    return bytes(changed)


# Any bytes other than the pinned archive must be refused, so the refusals need no cubeb: without
# the vendored archive, a stand-in of about its size takes its place.
GOOD = VENDORED.read_bytes() if VENDORED.exists() else b"\x1f\x8b\x08\x00" + bytes(range(256)) * 4096


class CubebSource(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.standin_folder = tempfile.mkdtemp(prefix="tamsel-cubeb-standin.")
        # Two commits, so that checking out by hash is seen to pick the one asked for, not the tip.
        cls.standin, (cls.first, cls.second) = standin_repository(
            cls.standin_folder, {"LICENSE": b"first\n", "src/cubeb.c": b"int first;\n"},
            {"LICENSE": b"second\n", "src/cubeb.c": b"int second;\n"})

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.standin_folder, ignore_errors=True)

    def test_where_the_source_comes_from(self):
        # (title, vendored archive content or None, environment, expected source or error texts)
        # A source is ("archive", path relative to tmp) or ("repository", URL, commit); "{tmp}" in
        # an error text stands for the probe's folder.
        standin = {"TAMSEL_CUBEB_REPOSITORY": self.standin, "TAMSEL_CUBEB_COMMIT": self.first}
        cases = [
            ("the vendored archive wins over the download", GOOD, {},
             ("archive", f"shared/vendor/cubeb-{COMMIT}.tar.gz")),
            ("an altered vendored archive stops, with no download", altered(GOOD), {},
             ["SHA-256 digest mismatch"]),
            ("a truncated vendored archive stops, with no download", GOOD[:len(GOOD) // 3], {},
             ["SHA-256 digest mismatch"]),
            ("a repository given wins over the vendored archive", GOOD, standin,
             ("repository", self.standin, self.first)),
            ("without an archive the repository's commit is checked out by its hash", None, standin,
             ("repository", self.standin, self.first)),
            ("no network and no archive: one message naming both ways", None, {},
             [f"No source for cubeb {COMMIT}: fetching it from {UPSTREAM} failed (fatal: transport 'https' not allowed)",
              "-DTAMSEL_CUBEB_REPOSITORY=<clone URL>", f"placed at {{tmp}}/shared/vendor/cubeb-{COMMIT}.tar.gz",
              f"-DTAMSEL_CUBEB_ARCHIVE=<cubeb-{COMMIT}.tar.gz>"]),
            ("a repository without the commit", None, {**standin, "TAMSEL_CUBEB_COMMIT": "0" * 40},
             [f"the repository {self.standin} has no commit {'0' * 40}"]),
            ("another commit never comes from an archive", GOOD, {"TAMSEL_CUBEB_COMMIT": self.first,
                                                                  "TAMSEL_CUBEB_ARCHIVE": VENDORED},
             [f"cubeb {self.first} cannot come from an archive"]),
        ]
        for title, vendored, env, expected in cases:
            if expected[0] == "archive" and not VENDORED.exists():
                continue  # only the real archive has the pinned digest
            with self.subTest(title), tempfile.TemporaryDirectory() as tmp:
                if vendored is not None:
                    place_vendored(tmp, vendored)
                rc, out = configure(tmp, env=env)
                if isinstance(expected, list):
                    self.assertNotEqual(rc, 0, out)
                    for text in expected:
                        self.assertIn(text.replace("{tmp}", tmp), flat(out))
                    if vendored is not None:
                        self.assertNotIn("fetching it", out)
                    self.assertIsNone(fetched_commit(tmp), "a stopped configure fetched nothing")
                elif expected[0] == "archive":
                    self.assertEqual(rc, 0, out)
                    self.assertIn(f"from the archive {Path(tmp) / expected[1]} (SHA-256 checked)", flat(out))
                    self.assertIsNone(fetched_commit(tmp))
                else:
                    self.assertEqual(rc, 0, out)
                    self.assertIn(f"cubeb {expected[2]}: from the repository {expected[1]}", flat(out))
                    self.assertEqual(fetched_commit(tmp), expected[2])

    def test_a_fetched_commit_is_kept_and_changed_only_by_its_hash(self):
        with tempfile.TemporaryDirectory() as tmp, tempfile.TemporaryDirectory() as moved:
            url, (first, second) = standin_repository(moved, {"LICENSE": b"1\n"}, {"LICENSE": b"2\n"})
            env = {"TAMSEL_CUBEB_REPOSITORY": url, "TAMSEL_CUBEB_COMMIT": first}
            self.assertEqual(configure(tmp, env=env)[0], 0)
            licence = Path(tmp) / "build/cubeb-src/LICENSE"
            licence.write_text("edited\n")
            (Path(tmp) / "build/cubeb-src/stray.c").write_text("int stray;\n")
            # The repository is gone (no network): the commit fetched before is used, as checked out.
            shutil.rmtree(Path(moved) / "cubeb.git")
            rc, out = configure(tmp, env=env)
            self.assertEqual(rc, 0, out)
            self.assertNotIn("fetching it", out)
            self.assertEqual((fetched_commit(tmp), licence.read_text()), (first, "1\n"))
            self.assertFalse((Path(tmp) / "build/cubeb-src/stray.c").exists())
            # Another commit that is not there needs the repository, and says so.
            rc, out = configure(tmp, env={**env, "TAMSEL_CUBEB_COMMIT": second})
            self.assertNotEqual(rc, 0)
            self.assertIn(f"No source for cubeb {second}: fetching it from {url} failed", flat(out))

    def test_truncated_or_altered_archive_given_stops_the_configure(self):
        cases = {"truncated": GOOD[: len(GOOD) // 3], "altered": altered(GOOD), "empty": b""}
        for label, content in cases.items():
            self.assertNotEqual(hashlib.sha256(content).hexdigest(), PINNED, label)
            with self.subTest(label), tempfile.TemporaryDirectory() as tmp:
                path = Path(tmp) / "cubeb.tar.gz"
                path.write_bytes(content)
                rc, out = configure(tmp, f"-DTAMSEL_CUBEB_ARCHIVE={path}",
                                    env={"TAMSEL_CUBEB_REPOSITORY": self.standin, "TAMSEL_CUBEB_COMMIT": COMMIT})
                self.assertNotEqual(rc, 0, out)
                self.assertIn("SHA-256 digest mismatch", flat(out))
                self.assertIn(f"expected {PINNED}", flat(out))
                self.assertIn(f"got {hashlib.sha256(content).hexdigest()}", flat(out))
                self.assertFalse((Path(tmp) / "build/cubeb-build").exists(), "nothing was set up to build")
                self.assertIsNone(fetched_commit(tmp), "nothing was fetched instead")

    def test_missing_archive_given(self):
        with tempfile.TemporaryDirectory() as tmp:
            rc, out = configure(tmp, f"-DTAMSEL_CUBEB_ARCHIVE={tmp}/absent.tar.gz")
            self.assertNotEqual(rc, 0)
            self.assertIn("cubeb source archive not found", flat(out))
            self.assertIsNone(fetched_commit(tmp), "nothing was fetched instead")

    def test_environment_set_after_a_configure_without_source_is_taken(self):
        # The first configure stops and leaves the defaults in the cache; the variables set
        # afterwards, as its message says, must be honoured by the next configure.
        with tempfile.TemporaryDirectory() as tmp:
            rc, out = configure(tmp)
            self.assertIn(f"No source for cubeb {COMMIT}", flat(out))
            later = Path(tmp) / "later.tar.gz"
            rc, out = configure(tmp, env={"TAMSEL_CUBEB_ARCHIVE": later})
            self.assertNotEqual(rc, 0)
            self.assertIn(f"cubeb source archive not found: {later}", flat(out))
            rc, out = configure(tmp, env={"TAMSEL_CUBEB_REPOSITORY": self.standin, "TAMSEL_CUBEB_COMMIT": self.second})
            self.assertEqual(rc, 0, out)
            self.assertEqual(fetched_commit(tmp), self.second)


if __name__ == "__main__":
    sys.exit(unittest.main())
