"""Stand-in Windows programs for the scripts' tests: small PE32+ images with exactly the parts the
release checks read (machine, subsystem, a code section, import and delay-import tables, a load
configuration, an embedded manifest and a version resource), so a test can make a program that
passes the checks and alter one part at a time. They run nowhere; llvm-readobj and osslsigncode
read them like linked programs."""

import struct

MACHINES = {"x64": 0x8664, "arm64": 0xAA64}
GUI, CONSOLE = 2, 3
FILE_ALIGNMENT = 0x200
SECTION_ALIGNMENT = 0x1000
HEADERS_SIZE = 0x400

MANIFEST = b"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>
    <requestedExecutionLevel level="asInvoker" uiAccess="false"/>
  </requestedPrivileges></security></trustInfo>
  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"><application>
    <supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>
  </application></compatibility>
</assembly>
"""

# A setup program's imports as the builds make them: KnownDLLs at start, the rest delay-loaded.
SETUP_IMPORTS = {
    "KERNEL32.dll": ["GetLastError", "LoadLibraryA", "SetDefaultDllDirectories", "WriteFile"],
    "msvcrt.dll": ["malloc", "free"],
    "ADVAPI32.dll": ["RegCloseKey"],
}
SETUP_DELAY_IMPORTS = {
    "newdev.dll": ["UpdateDriverForPlugAndPlayDevicesW"],
    "SETUPAPI.dll": ["SetupDiGetClassDevsW"],
    "bcrypt.dll": ["BCryptHashData"],
    "avrt.dll": ["AvSetMmThreadCharacteristicsW"],
}


def align(value, to):
    return (value + to - 1) // to * to


def utf16z(text):
    return (text + "\0").encode("utf-16-le")


def version_block(key, value=b"", children=b"", text=False):
    """One node of a VS_VERSIONINFO tree: length, value length, type, key, value, children."""
    head = 6 + len(utf16z(key))
    body = bytearray(utf16z(key))
    body += b"\0" * (align(head, 4) - head)
    body += value
    if children:
        body += b"\0" * (align(6 + len(body), 4) - 6 - len(body))
        body += children
    value_length = len(value) // 2 if text else len(value)
    return struct.pack("<HHH", 6 + len(body), value_length, 1 if text else 0) + bytes(body)


def version_resource(strings):
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, 0x10000, 0, 0x10000, 0, 0x3F, 0, 0x40004, 1, 0, 0, 0)
    table = b""
    for key, value in strings.items():
        node = version_block(key, utf16z(value), text=True)
        table += node + b"\0" * (align(len(node), 4) - len(node))
    string_table = version_block("040904B0", children=table)
    string_info = version_block("StringFileInfo", children=string_table)
    return version_block("VS_VERSION_INFO", fixed, string_info)


def version_strings(program, version, description="stand-in"):
    return {"FileDescription": description, "FileVersion": version, "InternalName": program.removesuffix(".exe"),
            "OriginalFilename": program, "ProductName": "tamsel audio helpers", "ProductVersion": version}


class Section:
    """A section being laid out: bytes, and the RVA each piece will have."""

    def __init__(self, rva):
        self.rva = rva
        self.data = bytearray()

    def add(self, data, alignment=8):
        self.data += b"\0" * (align(len(self.data), alignment) - len(self.data))
        at = self.rva + len(self.data)
        self.data += data
        return at

    def patch(self, rva, data):
        offset = rva - self.rva
        self.data[offset:offset + len(data)] = data


def import_tables(section, imports, delay_imports):
    """Writes the import and delay-import tables; gives their directory entries (RVA, size)."""
    names = {}

    def hint_name(function):
        if function not in names:
            names[function] = section.add(struct.pack("<H", 0) + function.encode() + b"\0", 2)
        return names[function]

    def thunk_table(functions):
        return section.add(b"".join(struct.pack("<Q", hint_name(f)) for f in functions) + b"\0" * 8)

    descriptors = []
    for dll, functions in imports.items():
        descriptors.append((thunk_table(functions), section.add(dll.encode() + b"\0", 2), thunk_table(functions)))
    import_rva = section.add(b"".join(struct.pack("<IIIII", lookup, 0, 0, name, iat)
                                      for lookup, name, iat in descriptors) + b"\0" * 20, 4)
    import_dir = (import_rva, 20 * (len(descriptors) + 1)) if imports else (0, 0)

    delayed = []
    for dll, functions in delay_imports.items():
        name = section.add(dll.encode() + b"\0", 2)
        module = section.add(b"\0" * 8)
        delayed.append((name, module, thunk_table(functions), thunk_table(functions)))
    delay_rva = section.add(b"".join(struct.pack("<8I", 1, name, module, iat, lookup, 0, 0, 0)
                                     for name, module, iat, lookup in delayed) + b"\0" * 32, 16)
    delay_dir = (delay_rva, 32 * (len(delayed) + 1)) if delay_imports else (0, 0)
    return import_dir, delay_dir


def resource_tree(section, resources):
    """Writes a resource directory holding each {type id: data} once (name 1, language 0x409)."""
    types = sorted(resources)
    directory_size = 16 + 8 * len(types) + len(types) * 2 * (16 + 8)
    entries_size = 16 * len(types)
    tree = bytearray(directory_size + entries_size)
    struct.pack_into("<IIHHHH", tree, 0, 0, 0, 0, 0, 0, len(types))
    data_rvas = []
    base = section.add(bytes(tree), 4)
    for data in (resources[t] for t in types):
        data_rvas.append((section.add(data, 4), len(data)))
    for i, kind in enumerate(types):
        name_dir = 16 + 8 * len(types) + i * 2 * (16 + 8)
        lang_dir = name_dir + 16 + 8
        entry = directory_size + 16 * i
        struct.pack_into("<II", tree, 16 + 8 * i, kind, 0x80000000 | name_dir)
        struct.pack_into("<IIHHHHII", tree, name_dir, 0, 0, 0, 0, 0, 1, 1, 0x80000000 | lang_dir)
        struct.pack_into("<IIHHHHII", tree, lang_dir, 0, 0, 0, 0, 0, 1, 0x409, entry)
        struct.pack_into("<IIII", tree, entry, data_rvas[i][0], data_rvas[i][1], 0, 0)
    section.patch(base, bytes(tree))
    return base, len(tree)


def build(machine="x64", subsystem=GUI, imports=None, delay_imports=None, delay_directory=True,
          dependent_load_flags=None, manifest=MANIFEST, version=None, code_bytes=0x11000):
    """A PE32+ image. imports/delay_imports: {DLL: [function]}; delay_directory=False leaves the
    delay-import directory empty, as GNU ld does; dependent_load_flags: None for no load
    configuration; version: {key: text} of the version resource, None for none."""
    imports = SETUP_IMPORTS if imports is None else imports
    delay_imports = {} if delay_imports is None else delay_imports
    text = bytes((i * 7 + 3) & 0xFF for i in range(code_bytes))
    text_rva = SECTION_ALIGNMENT
    rdata = Section(align(text_rva + len(text), SECTION_ALIGNMENT))
    import_dir, delay_dir = import_tables(rdata, imports, delay_imports)
    load_config_dir = (0, 0)
    if dependent_load_flags is not None:
        config = bytearray(0x140)
        struct.pack_into("<I", config, 0, len(config))
        struct.pack_into("<H", config, 0x4E, dependent_load_flags)
        load_config_dir = (rdata.add(bytes(config)), len(config))
    rsrc = Section(align(rdata.rva + len(rdata.data), SECTION_ALIGNMENT))
    resources = {}
    if manifest is not None:
        resources[24] = manifest
    if version is not None:
        resources[16] = version_resource(version)
    resource_dir = resource_tree(rsrc, resources) if resources else (0, 0)

    sections = [(b".text", text_rva, bytes(text), 0x60000020), (b".rdata", rdata.rva, bytes(rdata.data), 0x40000040),
                (b".rsrc", rsrc.rva, bytes(rsrc.data), 0x40000040)]
    image = bytearray(HEADERS_SIZE)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, 0x80)
    image[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", image, 0x84, MACHINES[machine], len(sections), 0, 0, 0, 240, 0x22)
    opt = 0x98
    size_of_image = align(sections[-1][1] + len(sections[-1][2]), SECTION_ALIGNMENT)
    struct.pack_into("<HBBIIIII", image, opt, 0x20B, 14, 0, len(text), 0, 0, text_rva, text_rva)
    struct.pack_into("<QIIHHHHHHIIIIHH", image, opt + 24, 0x140000000, SECTION_ALIGNMENT, FILE_ALIGNMENT,
                     6, 0, 0, 0, 6, 0, 0, size_of_image, HEADERS_SIZE, 0, subsystem, 0x8160)
    struct.pack_into("<QQQQII", image, opt + 72, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    directories = {1: import_dir, 2: resource_dir, 10: load_config_dir, 13: delay_dir if delay_directory else (0, 0)}
    for index, (rva, size) in directories.items():
        struct.pack_into("<II", image, opt + 112 + 8 * index, rva, size)
    raw = HEADERS_SIZE
    for i, (name, rva, data, flags) in enumerate(sections):
        raw_size = align(len(data), FILE_ALIGNMENT)
        struct.pack_into("<8sIIIIIIHHI", image, opt + 240 + 40 * i, name, len(data), rva, raw_size, raw, 0, 0, 0, 0,
                         flags)
        raw += raw_size
    for _, _, data, _ in sections:
        image += data + b"\0" * (align(len(data), FILE_ALIGNMENT) - len(data))
    return bytes(image)


def setup_program(machine, version, **changes):
    """A tamsel_driver_setup.exe that passes check-windows-binary --system32-only for `machine`."""
    settings = dict(machine=machine, subsystem=GUI, imports=SETUP_IMPORTS, delay_imports=SETUP_DELAY_IMPORTS,
                    delay_directory=True, dependent_load_flags=0x800 if machine == "arm64" else None,
                    version=version_strings("tamsel_driver_setup.exe", version))
    settings.update(changes)
    return build(**settings)
