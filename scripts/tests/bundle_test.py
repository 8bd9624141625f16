#!/usr/bin/env python3
"""Tests of scripts/package and scripts/check-bundle with stand-in programs, a stand-in cubeb
archive and a stand-in zig folder in a temporary folder; and of docs/protocol.md against the
message texts in the sources."""

import io
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(Path(__file__).resolve().parent))
import pe_builder  # noqa: E402

PACKAGE = REPO / "scripts/package"
CHECK = REPO / "scripts/check-bundle"
VERSION = "9.8.7-test"

MACHINES = {"x64": 0x8664, "arm64": 0xAA64}
CONSOLE, GUI = 3, 2


def pe_image(machine, subsystem, size=4096):
    """The smallest thing check-bundle reads as a PE32+ program: MZ, PE signature, machine,
    optional-header magic and subsystem; with the header size and the 16 data directories that
    osslsigncode needs to sign it, and varied bytes after the headers."""
    data = bytearray(size)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, 0x80)
    data[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<H", data, 0x84, machine)
    struct.pack_into("<H", data, 0x94, 240)  # SizeOfOptionalHeader
    struct.pack_into("<H", data, 0x98, 0x20B)
    struct.pack_into("<I", data, 0x98 + 60, 0x200)  # SizeOfHeaders
    struct.pack_into("<H", data, 0x98 + 68, subsystem)
    struct.pack_into("<I", data, 0x98 + 108, 16)  # NumberOfRvaAndSizes
    for i in range(0x400, size):
        data[i] = (i * 7 + machine) & 0xFF
    return bytes(data)


def run(*args, env=None):
    result = subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True, env=env)
    return result.returncode, result.stdout + result.stderr


def tar_add(tar, name, data):
    info = tarfile.TarInfo(name)
    info.size = len(data)
    tar.addfile(info, io.BytesIO(data))


class Fixture:
    """A temporary folder with build folders for both architectures (the two programs plus the
    test programs and DLLs a real build folder holds), a cubeb archive with its SHA256SUMS and a
    zig folder with the runtime licences. The driver setup program passes
    check-windows-binary --system32-only, as the package requires."""

    def __init__(self):
        self.root = Path(tempfile.mkdtemp(prefix="tamsel-bundle-test."))
        self.bins = {}
        for arch, machine in MACHINES.items():
            folder = self.root / f"bin-{arch}"
            folder.mkdir()
            (folder / "tamsel_audio_host.exe").write_bytes(pe_image(machine, CONSOLE))
            (folder / "tamsel_driver_setup.exe").write_bytes(pe_builder.setup_program(arch, VERSION))
            for test_file in ("mmdevapi.dll", "tamsel_setup_entry_double.exe", "tamsel_host_tests.exe",
                              "tamsel_host_validate_probe.exe"):
                (folder / test_file).write_bytes(pe_image(machine, CONSOLE))
            self.bins[arch] = folder
        self.vendor = self.root / "vendor"
        self.vendor.mkdir()
        self.archive = self.vendor / "cubeb-0123abcd.tar.gz"
        with tarfile.open(self.archive, "w:gz") as tar:
            tar_add(tar, "cubeb-0123abcd/LICENSE",
                    b"Copyright 2011 Mozilla Foundation\n\nPermission to use, copy, modify, and distribute\n")
            tar_add(tar, "cubeb-0123abcd/src/cubeb.c", b"int x;\n")
            tar_add(tar, "cubeb-0123abcd/subprojects/speex/resample.c",
                    b"/* Copyright (C) 2007-2008 Jean-Marc Valin\n   Copyright (C) 2008      Thorvald Natvig\n\n"
                    b"   Redistribution and use in source and binary forms, with or without\n"
                    b"   modification, are permitted.\n*/\nint y;\n")
            tar_add(tar, "cubeb-0123abcd/subprojects/speex/arch.h", b"/* Copyright (C) 2003 Jean-Marc Valin */\n")
        digest = hashlib.sha256(self.archive.read_bytes()).hexdigest()
        (self.vendor / "SHA256SUMS").write_text(f"{digest}  {self.archive.name}\n")
        self.zig = self.root / "zig"
        llvm = b"Apache License\nVersion 2.0\n---- LLVM Exceptions to the Apache 2.0 License ----\n"
        for relative, data in (("lib/libcxx/LICENSE.TXT", llvm), ("lib/libcxxabi/LICENSE.TXT", llvm),
                               ("lib/libunwind/LICENSE.TXT", llvm),
                               ("lib/libc/mingw/COPYING", b"mingw-w64 ... Zope Public License (ZPL) Version 2.1\n"),
                               ("LICENSE", b"Copyright (c) Zig contributors\nPermission is hereby granted\n")):
            path = self.zig / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
        self.out = self.root / "out"

    def package(self, *extra, arch=None, env=None):
        args = [PACKAGE, "--version", VERSION, "--cubeb-archive", self.archive, "--zig-dir", self.zig,
                "--bin-x64", self.bins["x64"], "--bin-arm64", self.bins["arm64"], "--out", self.out, *extra]
        if arch:
            args += ["--arch", arch]
        return run(*args, env=env)

    def zip_path(self, arch):
        return self.out / f"tamsel-audio-helpers-{VERSION}-windows-{arch}.zip"

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


def rewrite_zip(source, target, change):
    """Copies the zip, letting `change(files)` edit the {inner name: bytes} map first."""
    with zipfile.ZipFile(source) as archive:
        top = archive.namelist()[0].split("/")[0]
        files = {entry.filename[len(top) + 1:]: archive.read(entry)
                 for entry in archive.infolist() if not entry.is_dir()}
    change(files)
    with zipfile.ZipFile(target, "w") as archive:
        for name, data in files.items():
            archive.writestr(f"{top}/{name}", data)


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.fixture = Fixture()
        self.addCleanup(self.fixture.cleanup)

    def test_both_zips_are_made_and_pass_the_check(self):
        code, output = self.fixture.package()
        self.assertEqual(code, 0, output)
        for arch in MACHINES:
            path = self.fixture.zip_path(arch)
            self.assertTrue(path.is_file(), output)
            code, output = run(CHECK, path)
            self.assertEqual(code, 0, output)
            with zipfile.ZipFile(path) as archive:
                names = archive.namelist()
                top = f"tamsel-audio-helpers-{VERSION}-windows-{arch}/"
                self.assertTrue(all(name.startswith(top) for name in names), names)
                self.assertIn(top + "drivers/vbcable/", names)
                for test_file in ("mmdevapi.dll", "tamsel_setup_entry_double.exe", "tamsel_host_tests.exe"):
                    self.assertFalse(any(name.endswith(test_file) for name in names), test_file)
                host = archive.read(top + "tamsel_audio_host.exe")
                self.assertEqual(host, (self.fixture.bins[arch] / "tamsel_audio_host.exe").read_bytes())
                sums = archive.read(top + "SHA256SUMS").decode()
                self.assertIn(f"{hashlib.sha256(host).hexdigest()}  tamsel_audio_host.exe\n", sums)

    def test_licences_from_a_cubeb_source_folder(self):
        source = self.fixture.root / "cubeb-src"
        with tarfile.open(self.fixture.archive) as tar:
            tar.extractall(source)
        code, output = run(PACKAGE, "--version", VERSION, "--cubeb-source", source / "cubeb-0123abcd",
                           "--bin-x64", self.fixture.bins["x64"], "--arch", "x64", "--out", self.fixture.out)
        self.assertEqual(code, 0, output)
        with zipfile.ZipFile(self.fixture.zip_path("x64")) as archive:
            top = f"tamsel-audio-helpers-{VERSION}-windows-x64/"
            speex = archive.read(top + "licenses/speex.txt").decode()
        self.assertIn("Copyright (C) 2003 Jean-Marc Valin", speex)
        self.assertIn("Copyright (C) 2008 Thorvald Natvig", speex)
        self.assertIn("Redistribution and use in source and binary forms", speex)

    def test_same_inputs_give_the_same_zip(self):
        self.assertEqual(self.fixture.package(arch="x64")[0], 0)
        first = self.fixture.zip_path("x64").read_bytes()
        self.assertEqual(self.fixture.package(arch="x64")[0], 0)
        self.assertEqual(self.fixture.zip_path("x64").read_bytes(), first)

    def test_bad_inputs_stop_the_package_with_a_message_naming_the_cause(self):
        f = self.fixture
        cases = [
            ("missing host", lambda: (f.bins["arm64"] / "tamsel_audio_host.exe").unlink(),
             "missing program tamsel_audio_host.exe for windows-arm64"),
            ("missing driver setup", lambda: (f.bins["x64"] / "tamsel_driver_setup.exe").unlink(),
             "missing program tamsel_driver_setup.exe for windows-x64"),
            ("empty program", lambda: (f.bins["x64"] / "tamsel_audio_host.exe").write_bytes(b""),
             "tamsel_audio_host.exe is empty"),
            ("x64 program in the ARM64 folder",
             lambda: (f.bins["arm64"] / "tamsel_driver_setup.exe").write_bytes(pe_image(0x8664, GUI)),
             "tamsel_driver_setup.exe is not a Windows ARM64 program (machine 0x8664"),
            ("console driver setup", lambda: (f.bins["x64"] / "tamsel_driver_setup.exe").write_bytes(
                pe_image(0x8664, CONSOLE)), "tamsel_driver_setup.exe has subsystem 3, expected 2"),
            ("placeholder text", lambda: (f.bins["x64"] / "tamsel_audio_host.exe").write_bytes(b"placeholder\n"),
             "tamsel_audio_host.exe: not a Windows program"),
            ("altered cubeb archive", lambda: f.archive.write_bytes(f.archive.read_bytes() + b"\0"),
             "SHA-256 digest mismatch"),
            ("truncated cubeb archive", lambda: f.archive.write_bytes(f.archive.read_bytes()[:100]),
             "SHA-256 digest mismatch"),
            ("no digest for the archive", lambda: (f.vendor / "SHA256SUMS").write_text(""),
             "has no digest for cubeb-0123abcd.tar.gz"),
            ("zig without libc++ licence", lambda: (f.zig / "lib/libcxx/LICENSE.TXT").unlink(),
             "libc++ licence: cannot read"),
        ]
        for title, breakage, message in cases:
            with self.subTest(title):
                fixture = Fixture()
                try:
                    f = fixture
                    breakage()
                    code, output = fixture.package()
                    self.assertEqual(code, 1, output)
                    self.assertIn(message, output)
                    self.assertFalse(fixture.out.exists() and any(fixture.out.glob("*.zip.partial")), output)
                finally:
                    fixture.cleanup()


    def test_a_setup_program_that_may_load_dlls_from_its_folder_is_not_packed(self):
        # The package runs check-windows-binary --system32-only itself, whatever the build's tests did.
        newdev_at_start = dict(pe_builder.SETUP_IMPORTS, **{"newdev.dll": ["UpdateDriverForPlugAndPlayDevicesW"]})
        cases = [
            ("x64: newdev imported at start", "x64", dict(imports=newdev_at_start),
             "imports newdev.dll at start (not KnownDLLs)"),
            ("arm64: newdev imported at start, DependentLoadFlags or not", "arm64", dict(imports=newdev_at_start),
             "imports newdev.dll at start (not KnownDLLs)"),
            ("arm64: no DependentLoadFlags", "arm64", dict(dependent_load_flags=None), "no DependentLoadFlags"),
            ("no SetDefaultDllDirectories", "x64",
             dict(imports=dict(pe_builder.SETUP_IMPORTS, **{"KERNEL32.dll": ["GetLastError", "WriteFile"]})),
             "does not import SetDefaultDllDirectories"),
            ("no manifest", "arm64", dict(manifest=None), "no embedded manifest"),
        ]
        for title, arch, changes, reason in cases:
            with self.subTest(title):
                fixture = Fixture()
                try:
                    (fixture.bins[arch] / "tamsel_driver_setup.exe").write_bytes(
                        pe_builder.setup_program(arch, VERSION, **changes))
                    code, output = fixture.package(arch=arch)
                    self.assertEqual(code, 1, output)
                    self.assertIn("tamsel_driver_setup.exe: fails check-windows-binary --system32-only: " + reason,
                                  output)
                    self.assertFalse(fixture.zip_path(arch).exists(), output)
                finally:
                    fixture.cleanup()


class CheckBundleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.fixture = Fixture()
        code, output = cls.fixture.package()
        assert code == 0, output

    @classmethod
    def tearDownClass(cls):
        cls.fixture.cleanup()

    def check_changed(self, arch, change, zip_name=None):
        source = self.fixture.zip_path(arch)
        target = self.fixture.root / "changed" / (zip_name or source.name)
        target.parent.mkdir(exist_ok=True)
        rewrite_zip(source, target, change)
        try:
            return run(CHECK, target)
        finally:
            target.unlink()

    def test_the_check_finds_what_must_not_ship(self):
        def altered(name):
            return lambda files: files.__setitem__(name, files[name] + b"x")

        cases = [
            ("test DLL", "x64", lambda files: files.__setitem__("mmdevapi.dll", b"MZ"),
             "test artifact mmdevapi.dll must not be shipped"),
            ("test program", "arm64", lambda files: files.__setitem__("tamsel_capture_tests.exe", b"MZ"),
             "test artifact tamsel_capture_tests.exe must not be shipped"),
            ("entry double", "x64", lambda files: files.__setitem__("tamsel_setup_entry_double.exe", b"MZ"),
             "test artifact tamsel_setup_entry_double.exe"),
            ("extra file", "x64", lambda files: files.__setitem__("notes.txt", b"hello"), "unexpected file notes.txt"),
            ("missing licence", "arm64", lambda files: files.pop("licenses/libunwind.txt"),
             "missing file licenses/libunwind.txt"),
            ("altered protocol", "x64", altered("docs/protocol.md"), "SHA256SUMS digest mismatch for docs/protocol.md"),
            ("altered program", "arm64", altered("tamsel_driver_setup.exe"),
             "SHA256SUMS digest mismatch for tamsel_driver_setup.exe"),
            ("empty program", "x64", lambda files: files.__setitem__("tamsel_audio_host.exe", b""),
             "tamsel_audio_host.exe is empty"),
            ("program of the other architecture", "arm64",
             lambda files: files.__setitem__("tamsel_audio_host.exe", pe_image(0x8664, CONSOLE)),
             "tamsel_audio_host.exe is not a Windows ARM64 program"),
            ("sums without a file", "x64",
             lambda files: files.__setitem__("SHA256SUMS", b"".join(
                 line + b"\n" for line in files["SHA256SUMS"].splitlines() if not line.endswith(b"README.txt"))),
             "SHA256SUMS does not cover README.txt"),
            ("wrong licence text", "x64", lambda files: files.__setitem__("licenses/cubeb.txt", b"\n"),
             "licenses/cubeb.txt lacks"),
            ("driver note without a file", "x64",
             lambda files: files.__setitem__("drivers/vbcable/ABOUT-THIS-FOLDER.txt",
                                             files["drivers/vbcable/ABOUT-THIS-FOLDER.txt"].replace(b"  pin_in.ico\n", b"\n")),
             "does not list the 31 checked files"),
        ]
        for title, arch, change, message in cases:
            with self.subTest(title):
                code, output = self.check_changed(arch, change)
                self.assertEqual(code, 1, output)
                self.assertIn(message, output)

    def test_a_zip_named_for_an_unknown_architecture_fails(self):
        code, output = self.check_changed("x64", lambda files: None,
                                          zip_name=f"tamsel-audio-helpers-{VERSION}-windows-x86.zip")
        self.assertEqual(code, 1, output)
        self.assertIn("the name does not end in -windows-", output)

    def test_an_unchanged_copy_passes(self):
        code, output = self.check_changed("arm64", lambda files: None)
        self.assertEqual(code, 0, output)


def openssl(*args):
    result = subprocess.run(["openssl", *map(str, args)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout


def fingerprint(cert):
    """openssl's own SHA-256 fingerprint of a PEM certificate, in its AB:CD:... form."""
    return openssl("x509", "-in", cert, "-noout", "-fingerprint", "-sha256").strip().split("=", 1)[1]


class ThrowAwayCa:
    """A throw-away certification authority and code-signing certificates it issues, each with a
    PKCS#12 file (certificate, key and the authority's certificate) for osslsigncode."""

    PASSWORD = "test pass"

    def __init__(self, folder):
        self.folder = folder
        folder.mkdir()
        self.cert, self.key = folder / "ca.pem", folder / "ca-key.pem"
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key, "-out", self.cert, "-days", "2",
                "-subj", "/CN=tamsel throw-away test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        self.serial = 1

    def issue(self, name):
        """(certificate PEM, PKCS#12) of a new code-signing certificate for `name`."""
        key, request, cert, p12 = (self.folder / f"{name}{suffix}" for suffix in ("-key.pem", ".csr", ".pem", ".p12"))
        extensions = self.folder / f"{name}.ext"
        extensions.write_text("keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"
                              "basicConstraints=CA:FALSE\n")
        openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request,
                "-subj", f"/CN=tamsel throw-away signer {name}")
        self.serial += 1
        openssl("x509", "-req", "-in", request, "-CA", self.cert, "-CAkey", self.key, "-set_serial", self.serial,
                "-days", "2", "-extfile", extensions, "-out", cert)
        openssl("pkcs12", "-export", "-inkey", key, "-in", cert, "-certfile", self.cert, "-out", p12,
                "-passout", f"pass:{self.PASSWORD}")
        return cert, p12


class SigningTest(unittest.TestCase):
    """Signed releases: two throw-away code-signing certificates under one throw-away CA, made
    here with openssl; the zips signed by scripts/package and checked by scripts/check-bundle
    against the expected signer."""

    @classmethod
    def setUpClass(cls):
        cls.keys = Path(tempfile.mkdtemp(prefix="tamsel-signing-test."))
        cls.ca = ThrowAwayCa(cls.keys / "ca")
        cls.release_cert, cls.release_p12 = cls.ca.issue("release")
        cls.other_cert, cls.other_p12 = cls.ca.issue("other")
        cls.release = fingerprint(cls.release_cert)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys, ignore_errors=True)

    def setUp(self):
        self.fixture = Fixture()
        self.addCleanup(self.fixture.cleanup)
        self.unsigned_env = {k: v for k, v in os.environ.items() if not k.startswith("TAMSEL_SIGN_")}

    def signing(self, p12):
        return dict(self.unsigned_env, TAMSEL_SIGN_PKCS12=str(p12), TAMSEL_SIGN_PASSWORD=ThrowAwayCa.PASSWORD)

    def signed_zip(self, p12):
        code, output = self.fixture.package(arch="x64", env=self.signing(p12))
        self.assertEqual(code, 0, output)
        return self.fixture.zip_path("x64")

    def check(self, path, signer=None, *options):
        return run(CHECK, "--verify-signatures", "--signer", signer or self.release, "--ca-file", self.ca.cert,
                   *options, path)

    def test_signed_zip_verifies_and_one_altered_byte_fails(self):
        signed = self.signed_zip(self.release_p12)
        code, output = self.check(signed)
        self.assertEqual(code, 0, output)

        altered = self.fixture.root / f"altered/{signed.name}"
        altered.parent.mkdir()

        def flip_one_byte(files):
            program = bytearray(files["tamsel_driver_setup.exe"])
            program[0x800] ^= 0x01
            files["tamsel_driver_setup.exe"] = bytes(program)
            # A matching digest list, so only the signature can tell.
            files["SHA256SUMS"] = "".join(
                f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in sorted(files.items())
                if name != "SHA256SUMS").encode()

        rewrite_zip(signed, altered, flip_one_byte)
        code, output = run(CHECK, altered)
        self.assertEqual(code, 0, "without --verify-signatures the altered copy passes: " + output)
        code, output = self.check(altered)
        self.assertEqual(code, 1, output)
        self.assertIn("tamsel_driver_setup.exe: the program does not match its signature", output)
        self.assertNotIn("tamsel_audio_host.exe", output)

    def test_only_the_expected_signer_passes(self):
        other = self.fingerprint_of(self.other_cert)
        release = self.release.replace(":", "").lower()
        cases = [
            # (signed with, --signer, refused with)
            ("the release certificate", self.release_p12, self.release, None),
            ("the fingerprint in plain hex", self.release_p12, release, None),
            ("another certificate of the same CA", self.other_p12, self.release,
             f"signed by the certificate with SHA-256 {other}, not by the expected signer {release}"),
            ("the release certificate, another signer expected", self.release_p12, other,
             f"signed by the certificate with SHA-256 {release}, not by the expected signer {other}"),
        ]
        for title, p12, signer, refusal in cases:
            with self.subTest(title):
                code, output = self.check(self.signed_zip(p12), signer)
                if refusal is None:
                    self.assertEqual(code, 0, output)
                else:
                    self.assertEqual(code, 1, output)
                    self.assertIn(f"tamsel_audio_host.exe: {refusal}", output)
                    self.assertIn(f"tamsel_driver_setup.exe: {refusal}", output)

    def test_carrying_the_expected_certificate_does_not_make_another_signer_pass(self):
        # Signed with the other key, the release certificate added to the signature's certificates:
        # the chain verifies and the expected certificate is there, but it did not sign.
        data = (self.fixture.bins["x64"] / "tamsel_driver_setup.exe").read_bytes()
        unsigned, signed = self.fixture.root / "unsigned.exe", self.fixture.root / "tamsel_driver_setup.exe"
        unsigned.write_bytes(data)
        key = self.keys / "ca" / "other-key.pem"
        result = subprocess.run(["osslsigncode", "sign", "-certs", str(self.other_cert), "-key", str(key),
                                 "-ac", str(self.release_cert), "-h", "sha256", "-in", str(unsigned), "-out", str(signed)],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        carried = subprocess.run(["osslsigncode", "extract-signature", "-in", str(signed), "-out",
                                  str(self.fixture.root / "sig.der")], capture_output=True, text=True)
        self.assertEqual(carried.returncode, 0, carried.stderr)
        certs = openssl("pkcs7", "-inform", "DER", "-in", self.fixture.root / "sig.der", "-print_certs")
        self.assertIn("tamsel throw-away signer release", certs)  # the expected certificate travels along
        package = self.fixture.zip_path("x64")
        self.assertEqual(self.fixture.package(arch="x64", env=self.unsigned_env)[0], 0)
        substituted = self.fixture.root / f"substituted/{package.name}"
        substituted.parent.mkdir()

        def put_signed(files):
            files["tamsel_driver_setup.exe"] = signed.read_bytes()
            files["SHA256SUMS"] = "".join(
                f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in sorted(files.items())
                if name != "SHA256SUMS").encode()

        rewrite_zip(package, substituted, put_signed)
        code, output = self.check(substituted)
        self.assertEqual(code, 1, output)
        self.assertIn("tamsel_driver_setup.exe: signed by the certificate with SHA-256 "
                      f"{self.fingerprint_of(self.other_cert)}", output)

    def fingerprint_of(self, cert):
        return fingerprint(cert).replace(":", "").lower()

    def test_unsigned_builds_stay_possible_and_fail_only_when_signatures_are_asked_for(self):
        code, output = self.fixture.package(arch="x64", env=self.unsigned_env)
        self.assertEqual(code, 0, output)
        code, output = run(CHECK, self.fixture.zip_path("x64"))
        self.assertEqual(code, 0, output)
        code, output = self.check(self.fixture.zip_path("x64"))
        self.assertEqual(code, 1, output)
        self.assertIn("tamsel_audio_host.exe: not signed", output)
        self.assertIn("tamsel_driver_setup.exe: not signed", output)

    def test_a_signature_from_an_untrusted_certificate_fails(self):
        signed = self.signed_zip(self.release_p12)
        code, output = run(CHECK, "--verify-signatures", "--signer", self.release, signed,
                           env=dict(os.environ, SSL_CERT_FILE=os.devnull))
        self.assertEqual(code, 1, output)
        self.assertIn("tamsel_driver_setup.exe: the signature does not verify", output)

    def test_signature_checks_without_an_expected_signer_are_refused(self):
        zip_path = self.fixture.zip_path("x64")
        cases = [
            ("no --signer", ["--verify-signatures", "--ca-file", self.ca.cert], "--verify-signatures needs --signer"),
            ("a signer that is no fingerprint", ["--verify-signatures", "--signer", "abc"], "not a SHA-256 fingerprint"),
            ("--signer without --verify-signatures", ["--signer", self.release], "go with --verify-signatures"),
        ]
        for title, options, message in cases:
            with self.subTest(title):
                code, output = run(CHECK, *options, zip_path)
                self.assertEqual(code, 2, output)
                self.assertIn(message, output)

    def test_signing_settings_that_cannot_work_stop_the_package(self):
        signing = self.signing(self.release_p12)
        cases = [
            ("wrong password", dict(signing, TAMSEL_SIGN_PASSWORD="wrong"), "signing tamsel_audio_host.exe failed"),
            ("no password", {k: v for k, v in signing.items() if k != "TAMSEL_SIGN_PASSWORD"},
             "TAMSEL_SIGN_PKCS12 is set but TAMSEL_SIGN_PASSWORD is not"),
            ("no such file", dict(signing, TAMSEL_SIGN_PKCS12=str(self.release_p12) + ".absent"),
             "TAMSEL_SIGN_PKCS12: no such file"),
        ]
        for label, env, message in cases:
            with self.subTest(label):
                code, output = self.fixture.package(arch="x64", env=env)
                self.assertEqual(code, 1, output)
                self.assertIn(message, output)
                self.assertFalse(self.fixture.zip_path("x64").exists(), "no zip from a failed run")


class ProtocolDocumentTest(unittest.TestCase):
    # Texts that never reach a standard stream, so the reference has no row for them: failures of
    # internal helpers that are mapped to another message (or to a silent stop), and the Hi-Fi
    # Cable's problem, which the driver setup program does not act on.
    NOT_ON_STREAMS = {"cannot open", "not a regular file", "read error", "incomplete audio frame",
                      "Hi-Fi Cable sample rates differ ("}

    def test_every_message_of_the_programs_is_documented(self):
        pattern = re.compile(
            r'\b(?:fail|context_error|com_context_error|context_error_from_last_error|os_error_context|'
            r'windows_failure\(installer,|windows_error|Problem)'
            r'[({]\s*(?:std::string\()?"([^"\\]+)"')
        sources = [path for folder in ("helpers/audio-host/src", "helpers/audio-host/windows/src",
                                       "helpers/driver-setup/src", "helpers/driver-setup/windows/src",
                                       "libs/tamsel-audio/src")
                   for path in sorted((REPO / folder).rglob("*.[ch]pp"))]
        messages = {m for path in sources for m in pattern.findall(path.read_text(encoding="utf-8"))}
        self.assertGreater(len(messages), 60)  # the pattern still finds the messages
        document = (REPO / "docs/protocol.md").read_text(encoding="utf-8")
        missing = sorted(m for m in messages - self.NOT_ON_STREAMS if m not in document)
        self.assertEqual(missing, [])

    def test_the_driver_file_table_is_the_manifest_in_checking_order(self):
        sys.path.insert(0, str(REPO / "scripts"))
        from bundle_common import driver_manifest
        document = (REPO / "docs/protocol.md").read_text(encoding="utf-8")
        section = document.split("### 3.2", 1)[1].split("### 3.3", 1)[0]
        listed = sorted((int(n), name) for n, name in re.findall(r"\| (\d+) \| `([^`]+)` (?=\|)", section))
        self.assertEqual([name for _, name in listed], sorted(name for name, _ in driver_manifest()))
        self.assertEqual([n for n, _ in listed], list(range(1, 32)))

    def test_the_constant_lines_are_quoted_exactly(self):
        document = (REPO / "docs/protocol.md").read_text(encoding="utf-8")
        for line in ('{"backend":"wasapi-process-loopback","channels":1,"event":"format","sampleFormat":"s16le",'
                     '"sampleRate":48000}',
                     "TAMSEL_AUDIO backend=wasapi binding=0.38.0",
                     "TAMSEL_CAPTURE rate=48000 channels=2 accepted_frames=96000 dropped_frames=0 discontinuities=0"):
            self.assertIn(line, document)


if __name__ == "__main__":
    unittest.main()
