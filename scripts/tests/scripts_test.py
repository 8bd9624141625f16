#!/usr/bin/env python3
"""Tests of the shell scripts' own rules, with stand-ins in a temporary folder: the one per-user
cache folder every script and the build use; what scripts/arm64-wine-root does with the
machine's binfmt registration and apt sources; the driver manifest the bundle note is made from."""

import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(Path(__file__).resolve().parent))
from bundle_test import VERSION, Fixture  # noqa: E402


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
                    code, output = run([sys.executable, REPO / "scripts/package", "--version", VERSION,
                                        "--cubeb-archive", fixture.archive, "--bin-arm64", fixture.bins["arm64"],
                                        "--arch", "arm64", "--out", fixture.out], env)
                    self.assertEqual(code, 1, output)
                    self.assertIn(f"cannot read {folder}/zig-0.11.0/lib/libcxx/LICENSE.TXT", output)
                finally:
                    fixture.cleanup()

HANDLER_F = "enabled\ninterpreter /usr/libexec/qemu-binfmt/aarch64-binfmt-P\nflags: PF\noffset 0\nmagic 7f454c46\n"
HANDLER_NO_F = "enabled\ninterpreter /usr/bin/qemu-aarch64-static\nflags: \noffset 0\nmagic 7f454c46\n"
HANDLER_DISABLED = HANDLER_F.replace("enabled", "disabled", 1)


class Arm64Root(unittest.TestCase):
    """scripts/arm64-wine-root against a stand-in binfmt_misc folder, update-binfmts and apt
    configuration, with a root that is already prepared (nothing is built)."""

    def setUp(self):
        # Not in /tmp: the programs need /tmp mapped into the root, so a root there is refused.
        self.tmp = Path(tempfile.mkdtemp(prefix="tamsel-root-test.", dir="/var/tmp"))
        self.addCleanup(subprocess.run, ["rm", "-rf", str(self.tmp)])
        self.binfmt = self.tmp / "binfmt"
        self.binfmt.mkdir()
        (self.binfmt / "register").write_text("")
        self.root = self.tmp / "root"
        self.root.mkdir()
        recipe = re.search(r'^readonly recipe="([^"]*)"', (REPO / "scripts/arm64-wine-root").read_text(), re.M)
        (self.root / ".tamsel-root").write_text(recipe.group(1) + "\n")
        # update-binfmts registers Debian's handler (flag F) and logs each call.
        tools = self.tmp / "tools"
        tools.mkdir()
        (tools / "update-binfmts").write_text(
            f'#!/bin/sh\necho "$*" >>{self.tmp}/update-binfmts.log\n'
            f'[ "$1" = --enable ] && printf "{HANDLER_F}" >{self.binfmt}/qemu-aarch64\nexit 0\n')
        (tools / "update-binfmts").chmod(0o755)
        self.env = {**os.environ, "PATH": f"{tools}:{os.environ['PATH']}", "TAMSEL_BINFMT_DIR": str(self.binfmt),
                    "TAMSEL_ARM64_ROOT": str(self.root), "TAMSEL_APT_DIR": str(self.tmp / "apt")}

    def test_the_machine_registration_is_left_as_found(self):
        if os.getuid() != 0:
            self.skipTest("scripts/arm64-wine-root prepare runs as root only")
        # (found handler, prepare succeeds, calls to update-binfmts, emulator placed in the root)
        cases = [
            ("none: Debian's is registered", None, True, ["--import qemu-aarch64", "--enable qemu-aarch64"], False),
            ("flag F: used as it is", HANDLER_F, True, [], False),
            ("no flag F: kept, the root gets its emulator", HANDLER_NO_F, True, [], True),
            ("disabled: kept, the preparation stops", HANDLER_DISABLED, False, [], False),
        ]
        emulator = self.root / "usr/bin/qemu-aarch64-static"
        for title, found, succeeds, calls, placed in cases:
            with self.subTest(title):
                handler = self.binfmt / "qemu-aarch64"
                handler.unlink(missing_ok=True)
                emulator.unlink(missing_ok=True)
                (self.tmp / "update-binfmts.log").write_text("")
                if found:
                    handler.write_text(found)
                code, output = run([REPO / "scripts/arm64-wine-root", "prepare"], self.env)
                self.assertEqual(code == 0, succeeds, output)
                if found:
                    self.assertEqual(handler.read_text(), found, "the machine's handler was changed")
                else:
                    self.assertEqual(handler.read_text(), HANDLER_F)
                self.assertEqual((self.tmp / "update-binfmts.log").read_text().splitlines(), calls)
                self.assertEqual(emulator.exists(), placed)
                if not succeeds:
                    self.assertIn("this machine's is disabled, and is left so", output)

    def test_another_account_is_told_why_it_cannot_run_arm64_programs(self):
        # As an account other than root (nobody, when the test runs as root): in a user namespace,
        # with the machine's handler and a root prepared by root, or not at all, saying why.
        as_other = [] if os.getuid() != 0 else ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        self.tmp.chmod(0o755)
        userns = subprocess.run([*as_other, "unshare", "--user", "--map-root-user", "--mount", "true"],
                                capture_output=True).returncode == 0
        missing_root = self.tmp / "absent-root"
        in_tmp = Path(tempfile.mkdtemp(prefix="tamsel-root-in-tmp.", dir="/tmp"))
        self.addCleanup(subprocess.run, ["rm", "-rf", str(in_tmp)])
        in_tmp.chmod(0o755)
        (in_tmp / ".tamsel-root").write_text((self.root / ".tamsel-root").read_text())
        cases = [
            ("a root in /tmp", HANDLER_F, in_tmp, f"the arm64 root {in_tmp} lies in /tmp"),
            ("no handler", None, self.root, "the qemu-aarch64 binfmt handler is not registered with flag F"),
            ("no prepared root", HANDLER_F, missing_root, f"no prepared arm64 root at {missing_root}; preparing one "
                                                         "needs root rights"),
            ("all there", HANDLER_F, self.root, None),
        ]
        for title, handler, root, reason in cases:
            with self.subTest(title):
                (self.binfmt / "qemu-aarch64").unlink(missing_ok=True)
                if handler:
                    (self.binfmt / "qemu-aarch64").write_text(handler)
                env = {**self.env, "TAMSEL_ARM64_ROOT": str(root), "TAMSEL_CACHE": str(self.tmp / "cache")}
                code, output = run([*as_other, REPO / "cmake/wine-arm64-run", "--can-run"], env, cwd=self.tmp)
                if not userns:
                    reason = "this account may not create a user namespace"
                self.assertEqual(code, 0 if reason is None else 1, output)
                self.assertIn(reason or "", output)
        if as_other:
            # Root itself prepares what is missing: nothing stops it here.
            self.assertEqual(run([REPO / "cmake/wine-arm64-run", "--can-run"], self.env, cwd=self.tmp), (0, ""))

    def test_only_debian_sources_reach_the_root(self):
        apt = self.tmp / "apt"
        (apt / "sources.list.d").mkdir(parents=True)
        (apt / "sources.list.d/debian.sources").write_text(
            "Types: deb\n# a comment\nURIs: http://mirror.test/debian\nSuites: bookworm bookworm-updates\n"
            "Components: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n\n"
            "Types: deb\nURIs: http://mirror.test/debian-security\nSuites: bookworm-security\nComponents: main\n")
        (apt / "sources.list.d/vendor.sources").write_text(
            "Types: deb\nURIs: https://vendor.test/node\nSuites: nodistro\nComponents: main\n"
            "Signed-By: /usr/share/keyrings/vendor.gpg\n\n"
            "Types: deb\nURIs: https://vendor.test/other\nSuites: bookworm\nComponents: main\n"
            "Signed-By: /etc/apt/keyrings/other.gpg\n")
        (apt / "sources.list").write_text(
            "deb https://vendor.test/apt cloud-sdk-bookworm main\n"
            "deb [arch=amd64 signed-by=/etc/apt/keyrings/docker.asc] https://vendor.test/docker bookworm stable\n"
            "deb http://mirror.test/debian bookworm contrib  # Debian, one-line format\n"
            "deb-src http://mirror.test/debian bookworm main\n")
        code, output = run([REPO / "scripts/arm64-wine-root", "sources"], self.env)
        self.assertEqual(code, 0, output)
        self.assertEqual(output.splitlines(), [
            "deb http://mirror.test/debian bookworm main",
            "deb http://mirror.test/debian bookworm-updates main",
            "deb http://mirror.test/debian-security bookworm-security main",
            "deb http://mirror.test/debian bookworm contrib",
        ])

MANIFEST = "helpers/driver-setup/src/vbcable-manifest.json"


def scripts_copy(root):
    """A copy of the scripts, the documents and the driver manifest at root/repo (so the vendored
    folder they look for is root/shared/vendor)."""
    repo = Path(root) / "repo"
    repo.mkdir(exist_ok=True)
    for folder in ("scripts", "docs"):
        subprocess.run(["cp", "-r", str(REPO / folder), str(repo / folder)], check=True)
    (repo / MANIFEST).parent.mkdir(parents=True)
    (repo / MANIFEST).write_bytes((REPO / MANIFEST).read_bytes())
    return repo


class PackageCubebSource(unittest.TestCase):
    """Without --cubeb-archive or --cubeb-source, scripts/package takes the cubeb licences from the
    vendored archive when there is one, else from the cubeb source the build used."""

    def test_the_vendored_archive_else_the_builds_cubeb_source(self):
        fixture = Fixture()
        self.addCleanup(fixture.cleanup)
        repo = scripts_copy(fixture.root)
        vendor = fixture.root / "shared/vendor"
        build_source = fixture.root / "cubeb-src"  # beside the stand-in build's bin folder
        # (title, vendored archive placed, build's source placed, licence expected or message)
        cases = [
            ("vendored archive", True, True, "Mozilla Foundation"),
            ("the build's source", False, True, "the build's cubeb"),
            ("neither", False, False, f"no cubeb source for the licences: no cubeb-*.tar.gz in {vendor} and no "
                                      f"{build_source} (the build's)"),
        ]
        for title, vendored, built, expected in cases:
            with self.subTest(title):
                shutil.rmtree(vendor, ignore_errors=True)
                shutil.rmtree(build_source, ignore_errors=True)
                if vendored:
                    shutil.copytree(fixture.vendor, vendor)
                if built:
                    with tarfile.open(fixture.archive) as tar:
                        tar.extractall(fixture.root / "unpacked")
                    shutil.move(fixture.root / "unpacked/cubeb-0123abcd", build_source)
                    (build_source / "LICENSE").write_text("Copyright the build's cubeb\n")
                shutil.rmtree(fixture.out, ignore_errors=True)
                code, output = run([sys.executable, repo / "scripts/package", "--version", VERSION, "--arch", "x64",
                                    "--bin-x64", fixture.bins["x64"], "--out", fixture.out], os.environ)
                if built or vendored:
                    self.assertEqual(code, 0, output)
                    with zipfile.ZipFile(output.strip()) as archive:
                        licence = archive.read(f"{Path(output.strip()).stem}/licenses/cubeb.txt").decode()
                    self.assertIn(expected, licence)
                else:
                    self.assertEqual(code, 1, output)
                    self.assertIn(f"package: {expected}", output)


class DriverManifestSource(unittest.TestCase):
    """scripts/package reads the manifest the build embeds (helpers/driver-setup/src/
    vbcable-manifest.json); one it cannot use stops it with a message, not a traceback."""

    def test_an_unusable_manifest_stops_the_package_with_a_message(self):
        import json
        members = json.loads((REPO / MANIFEST).read_bytes(), object_pairs_hook=list)
        def text(pairs):
            return ("{\r\n" + ",\r\n".join(f'  "{n}": "{d}"' for n, d in pairs) + "\r\n}\r\n").encode()
        cases = [
            ("missing", None, "cannot read it"),
            ("not JSON", b"{\r\n  \"pin_in.ico\": \r\n", "not JSON"),
            ("a file fewer", text(members[1:]), "expected 31 files, each named once; found 30 members"),
            ("a name twice", text(members[:30] + members[:1]), "expected 31 files, each named once"),
            ("a short digest", text(members[:30] + [(members[30][0], members[30][1][:63])]),
             f"the digest of {members[30][0]} is not 64 lower-case hex digits"),
        ]
        fixture = Fixture()
        self.addCleanup(fixture.cleanup)
        repo = scripts_copy(fixture.root)
        for title, content, message in [("unchanged", (REPO / MANIFEST).read_bytes(), None)] + cases:
            with self.subTest(title):
                manifest = repo / MANIFEST
                manifest.unlink(missing_ok=True)
                if content is not None:
                    manifest.write_bytes(content)
                code, output = run([sys.executable, repo / "scripts/package", "--version", VERSION, "--arch", "x64",
                                    "--cubeb-archive", fixture.archive, "--bin-x64", fixture.bins["x64"],
                                    "--out", fixture.out], os.environ)
                self.assertNotIn("Traceback", output)
                if message is None:
                    self.assertEqual(code, 0, output)
                else:
                    self.assertEqual(code, 1, output)
                    self.assertIn(f"package: driver manifest {manifest}: {message}", output)


if __name__ == "__main__":
    unittest.main()
