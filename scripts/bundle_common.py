"""What scripts/package and scripts/check-bundle share: the two programs, the architectures,
the driver manifest names and the reading of a Windows program's PE header."""

import hashlib
import json
import re
from pathlib import Path

import pe_image

REPO = Path(__file__).resolve().parent.parent

PROGRAMS = ("tamsel_audio_host.exe", "tamsel_driver_setup.exe")

# Architecture name in the zip name -> (PE machine, text for messages).
ARCHITECTURES = {
    "x64": (0x8664, "x64"),
    "arm64": (0xAA64, "ARM64"),
}

# PE optional-header subsystem each program must carry.
SUBSYSTEM_GUI = 2
SUBSYSTEM_CONSOLE = 3
PROGRAM_SUBSYSTEM = {
    "tamsel_audio_host.exe": SUBSYSTEM_CONSOLE,
    "tamsel_driver_setup.exe": SUBSYSTEM_GUI,
}

DRIVER_FOLDER = "drivers/vbcable"
# Our note in the driver folder. Deliberately not "readme.txt" in any letter case: the vendor's
# package has a readme.txt of its own, and Windows file names ignore case.
DRIVER_FOLDER_NOTE = "ABOUT-THIS-FOLDER.txt"

# The driver manifest the build embeds into tamsel_driver_setup, byte for byte.
MANIFEST_SOURCE = REPO / "helpers/driver-setup/src/vbcable-manifest.json"
MANIFEST_MEMBERS = 31


class ManifestError(Exception):
    """The driver manifest cannot be read or is not the manifest the program carries."""


def zip_name(version, arch):
    return f"tamsel-audio-helpers-{version}-windows-{arch}.zip"


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


def driver_manifest(source=MANIFEST_SOURCE):
    """The (name, digest) members of the manifest compiled into tamsel_driver_setup, in the
    order of its text. ManifestError says what is wrong with a manifest that cannot be used."""
    try:
        pairs = json.loads(Path(source).read_bytes(), object_pairs_hook=list)
    except OSError as error:
        raise ManifestError(f"driver manifest {source}: cannot read it ({error.strerror})") from None
    except (UnicodeDecodeError, ValueError) as error:
        raise ManifestError(f"driver manifest {source}: not JSON ({error})") from None
    if not isinstance(pairs, list):
        raise ManifestError(f"driver manifest {source}: not a JSON object")
    if len(pairs) != MANIFEST_MEMBERS or len({name for name, _ in pairs}) != len(pairs):
        raise ManifestError(f"driver manifest {source}: expected {MANIFEST_MEMBERS} files, each named once; "
                            f"found {len(pairs)} members")
    for name, digest in pairs:
        if not isinstance(digest, str) or not re.fullmatch(r"[0-9a-f]{64}", digest):
            raise ManifestError(f"driver manifest {source}: the digest of {name} is not 64 lower-case hex digits")
    return pairs


def sha256sums_text(files):
    """SHA256SUMS in the format of sha256sum: digest, two spaces, path; sorted by path."""
    return "".join(f"{sha256_hex(data)}  {name}\n" for name, data in sorted(files.items()))


def parse_sha256sums(text):
    entries = {}
    for number, line in enumerate(text.splitlines(), 1):
        match = re.fullmatch(r"([0-9a-f]{64})  (\S.*)", line)
        if not match:
            raise ValueError(f"SHA256SUMS line {number} is malformed: {line!r}")
        if match.group(2) in entries:
            raise ValueError(f"SHA256SUMS names {match.group(2)} twice")
        entries[match.group(2)] = match.group(1)
    return entries


def pe_info(data):
    """(machine, subsystem) of a PE32+ image, or a text saying why it is not one."""
    try:
        image = pe_image.parse_checked(data)
    except pe_image.Refused as refused:
        return str(refused)
    return image.machine, image.subsystem


def program_version(data):
    """The ProductVersion of a program's version resource (the project's version it was built
    with), or None when it carries none."""
    try:
        image = pe_image.parse_checked(data)
    except pe_image.Refused:
        return None
    return (image.version or {}).get("ProductVersion") or None


def program_problem(name, data, arch):
    """None when `data` is a usable `name` for `arch`, else what is wrong with it."""
    if not data:
        return f"{name} is empty"
    info = pe_info(data)
    if isinstance(info, str):
        return f"{name}: {info}"
    machine, subsystem = info
    want_machine, arch_text = ARCHITECTURES[arch]
    if machine != want_machine:
        return f"{name} is not a Windows {arch_text} program (machine 0x{machine:04X}, expected 0x{want_machine:04X})"
    want_subsystem = PROGRAM_SUBSYSTEM[name]
    if subsystem != want_subsystem:
        return f"{name} has subsystem {subsystem}, expected {want_subsystem}"
    return None
