"""The few facts of a Windows PE32+ image the scripts check: machine, subsystem, the DLLs it
imports (normal and delay-loaded) and how many bytes of code it carries."""
import struct
from collections import namedtuple

PeImage = namedtuple("PeImage", "machine subsystem imports code_bytes")


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

    imports = []
    if len(dirs) > 1 and dirs[1][0]:
        o = at(dirs[1][0])
        while True:
            desc = struct.unpack_from("<IIIII", data, o)
            if desc == (0, 0, 0, 0, 0):
                break
            imports.append(cstr(desc[3]))
            o += 20
    if len(dirs) > 13 and dirs[13][0]:
        o = at(dirs[13][0])
        while True:
            desc = struct.unpack_from("<8I", data, o)
            if not any(desc):
                break
            imports.append(cstr(desc[1]))
            o += 32
    code = sum(rawsize for _, _, _, _, rawsize, chars in sections if chars & 0x20)  # IMAGE_SCN_CNT_CODE
    return PeImage(machine, subsystem, imports, code)


def parse_checked(data):
    """parse(), with a truncated image also reported as Refused."""
    try:
        return parse(data)
    except (struct.error, IndexError, ValueError) as error:
        if isinstance(error, Refused):
            raise
        raise Refused(f"not a complete PE image ({error})") from error

