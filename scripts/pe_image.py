"""The few facts of a Windows PE32+ image the scripts check: machine, subsystem, the DLLs it
imports (normal and delay-loaded) and the functions it imports normally, how many bytes of code
it carries, the DependentLoadFlags of its load configuration, its resources (the embedded
application manifest and the strings of the version resource) and its attribute certificates
(the Authenticode signature)."""
import struct
from collections import namedtuple

# imports: every imported DLL (normal, then delay-loaded); normal_imports: {DLL name: [function
# names]} of the import directory alone; dependent_load_flags: None without a load
# configuration that holds the field; manifest: bytes or None; version: {key: text} of the
# version resource's string table, None without a version resource; delay_directory: whether the
# delay imports come from the delay-import directory (LLD) rather than from their shape (GNU ld);
# certificates: [(certificate type, bytes)] of the attribute certificate table.
PeImage = namedtuple("PeImage", "machine subsystem imports code_bytes normal_imports delay_imports "
                                "dependent_load_flags manifest version delay_directory certificates")

WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2

RT_VERSION = 16
RT_MANIFEST = 24
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


class Refused(ValueError):
    """The data is not a PE32+ image (the text says why)."""


def parse(data):
    """The PeImage of `data`; Refused when it is not a PE32+ image."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise Refused("not a Windows program (no MZ header)")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 24 + 70 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        raise Refused("not a Windows program (no PE header)")
    machine, nsections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    if magic != 0x20B:
        raise Refused(f"not PE32+ (optional header magic 0x{magic:x})")
    subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    ndirs = struct.unpack_from("<I", data, opt + 108)[0]
    dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(min(ndirs, 16))]
    sections = []
    for i in range(nsections):
        off = opt + opt_size + 40 * i
        name = data[off:off + 8].rstrip(b"\0").decode("ascii", "replace")
        vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, off + 8)
        chars = struct.unpack_from("<I", data, off + 36)[0]
        sections.append((name, va, max(vsize, rawsize), rawptr, rawsize, chars))

    def at(rva):
        for _, va, size, rawptr, rawsize, _ in sections:
            if va <= rva < va + size and rva - va < rawsize:
                return rawptr + rva - va
        raise Refused(f"RVA 0x{rva:x} outside every section")

    def cstr(rva):
        o = at(rva)
        return data[o:data.index(b"\0", o)].decode("ascii", "replace")

    def names_of(lookup_rva):
        names = []
        o = at(lookup_rva)
        while True:
            entry = struct.unpack_from("<Q", data, o)[0]
            if entry == 0:
                return names
            if not entry >> 63:  # by name: a hint, then the name
                names.append(cstr((entry & 0x7FFFFFFF) + 2))
            o += 8

    normal = {}
    if len(dirs) > 1 and dirs[1][0]:
        o = at(dirs[1][0])
        while True:
            desc = struct.unpack_from("<IIIII", data, o)
            if desc == (0, 0, 0, 0, 0):
                break
            normal[cstr(desc[3])] = names_of(desc[0] or desc[4])
            o += 20
    delayed = []
    delay_directory = len(dirs) > 13 and bool(dirs[13][0])
    if delay_directory:
        o = at(dirs[13][0])
        while True:
            desc = struct.unpack_from("<8I", data, o)
            if not any(desc):
                break
            delayed.append(cstr(desc[1]))
            o += 32
    else:
        delayed = delay_descriptors_by_shape(data, sections, at)

    load_flags = None
    if len(dirs) > 10 and dirs[10][0]:
        o = at(dirs[10][0])
        if struct.unpack_from("<I", data, o)[0] >= 0x50:
            load_flags = struct.unpack_from("<H", data, o + 0x4E)[0]

    manifest, version = None, None
    if len(dirs) > 2 and dirs[2][0]:
        resources = read_resources(data, at(dirs[2][0]), at)
        if RT_MANIFEST in resources:
            manifest = resources[RT_MANIFEST]
        if RT_VERSION in resources:
            version = version_strings(resources[RT_VERSION])
    code = sum(rawsize for _, _, _, _, rawsize, chars in sections if chars & 0x20)  # IMAGE_SCN_CNT_CODE
    certificates = attribute_certificates(data, *(dirs[4] if len(dirs) > 4 else (0, 0)))
    return PeImage(machine, subsystem, list(normal) + delayed, code, normal, delayed, load_flags, manifest, version,
                   delay_directory, certificates)


def attribute_certificates(data, offset, size):
    """[(wCertificateType, bCertificate)] of the attribute certificate table, which the security
    directory names by file offset (not RVA): each WIN_CERTIFICATE is dwLength, wRevision,
    wCertificateType and the certificate, padded to 8 bytes."""
    found = []
    end = offset + size
    if not offset or end > len(data):
        return found
    while offset + 8 <= end:
        length, _, kind = struct.unpack_from("<IHH", data, offset)
        if length < 8 or offset + length > end:
            raise Refused("a malformed attribute certificate table")
        found.append((kind, data[offset + 8:offset + length]))
        offset += (length + 7) & ~7
    return found


def delay_descriptors_by_shape(data, sections, at):
    """The DLL names of the delay-load descriptors in an image whose delay-import directory is
    empty. GNU ld links the descriptors of dlltool's delay import libraries but does not point
    the directory at them, so they are found by their shape: 16-byte aligned, RVA-based
    attributes (1), the name, module handle, address and name tables set, no bound or unload
    table, no time stamp, and a name that ends in ".dll"."""
    found = []
    for _, _, _, rawptr, rawsize, _ in sections:
        for o in range(rawptr, rawptr + rawsize - 31, 16):
            desc = struct.unpack_from("<8I", data, o)
            if desc[0] != 1 or not all(desc[1:5]) or any(desc[5:]):
                continue
            try:
                start = at(desc[1])
                for rva in desc[2:5]:
                    at(rva)
            except Refused:
                continue
            end = data.find(b"\0", start, start + 64)
            name = data[start:end] if end > start else b""
            if name.lower().endswith(b".dll") and name.isascii():
                found.append(name.decode("ascii"))
    return found


def read_resources(data, base, at):
    """{type id: bytes of its first resource} for the resource types with a numeric id."""
    found = {}

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, offset + 12)
        for i in range(named + ids):
            yield struct.unpack_from("<II", data, offset + 16 + 8 * i)

    for type_id, type_target in entries(base):
        if type_id & 0x80000000 or not type_target & 0x80000000:
            continue
        target = type_target
        while target & 0x80000000:  # name, then language: take the first of each
            target = next(entries(base + (target & 0x7FFFFFFF)), (0, 0))[1]
        if target:
            rva, size = struct.unpack_from("<II", data, base + target)
            found[type_id] = data[at(rva):at(rva) + size]
    return found


def version_strings(block):
    """The strings of a VS_VERSIONINFO resource, or {} when its fixed part is not there."""
    strings = {}

    def walk(offset, end, depth):
        while offset + 6 <= end:
            length, value_length, kind = struct.unpack_from("<HHH", block, offset)
            if length < 6:
                return
            key_end = offset + 6
            while key_end + 1 < len(block) and block[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = block[offset + 6:key_end].decode("utf-16-le", "replace")
            value = (key_end + 2 + 3) & ~3
            if depth == 0:
                if key != "VS_VERSION_INFO" or struct.unpack_from("<I", block, value)[0] != VS_FIXEDFILEINFO_SIGNATURE:
                    return
                walk((value + value_length + 3) & ~3, offset + length, 1)
            elif depth == 3:  # a string: wValueLength counts UTF-16 units, the NUL included
                strings[key] = block[value:value + 2 * value_length].decode("utf-16-le", "replace").rstrip("\0")
            elif key in ("StringFileInfo",) or depth == 2:
                walk(value, offset + length, depth + 1)
            offset = (offset + length + 3) & ~3

    walk(0, len(block), 0)
    return strings


def parse_checked(data):
    """parse(), with a truncated image also reported as Refused."""
    try:
        return parse(data)
    except (struct.error, IndexError, ValueError) as error:
        if isinstance(error, Refused):
            raise
        raise Refused(f"not a complete PE image ({error})") from error

