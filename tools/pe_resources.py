#!/usr/bin/env python3
"""Reads the headers, imports and resources of a Windows PE file.

As a library:
    pe = PeFile.from_path("TessalyCleanUp.exe")
    pe.machine, pe.subsystem, pe.imported_dlls, pe.non_system_imports()
    pe.resources                       # [Resource(type, name, language, data)]
    pe.find(RT_DIALOG, 91)             # one Resource or None
    parse_dialogex(data), parse_string_block(data), parse_group_icon(data),
    parse_version_info(data), parse_manifest(data)

As a command:
    pe_resources.py check EXE [--machine i386|amd64] [--scripts]
        verifies the program's resources item by item, printing each one that
        passes, and stops with exit code 1 at the first item that does not.
    pe_resources.py dump EXE
        prints the headers, the imported DLLs and the resource tree.
"""

import argparse
import struct
import sys
import xml.etree.ElementTree as ElementTree
from collections import namedtuple

MACHINES = {0x014C: "i386", 0x8664: "amd64", 0x01C4: "arm", 0xAA64: "arm64"}
SUBSYSTEM_GUI, SUBSYSTEM_CONSOLE = 2, 3

RT_CURSOR, RT_BITMAP, RT_ICON, RT_MENU, RT_DIALOG, RT_STRING = 1, 2, 3, 4, 5, 6
RT_ACCELERATOR, RT_RCDATA, RT_GROUP_CURSOR, RT_GROUP_ICON = 9, 10, 12, 14
RT_VERSION, RT_MANIFEST = 16, 24
RESOURCE_TYPE_NAMES = {
    RT_CURSOR: "RT_CURSOR", RT_BITMAP: "RT_BITMAP", RT_ICON: "RT_ICON", RT_MENU: "RT_MENU",
    RT_DIALOG: "RT_DIALOG", RT_STRING: "RT_STRING", RT_ACCELERATOR: "RT_ACCELERATOR",
    RT_RCDATA: "RT_RCDATA", RT_GROUP_CURSOR: "RT_GROUP_CURSOR",
    RT_GROUP_ICON: "RT_GROUP_ICON", RT_VERSION: "RT_VERSION", RT_MANIFEST: "RT_MANIFEST",
}

# Predefined dialog control classes, stored as atoms by resource compilers.
CONTROL_ATOMS = {0x80: "Button", 0x81: "Edit", 0x82: "Static", 0x83: "ListBox",
                 0x84: "ScrollBar", 0x85: "ComboBox"}

# DLLs that every Windows installation has. A program that imports anything
# else (the MinGW runtime DLLs above all) does not start on a clean machine.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
    "shlwapi.dll", "comctl32.dll", "comdlg32.dll", "msvcrt.dll", "ntdll.dll",
    "ole32.dll", "oleaut32.dll", "uuid.dll", "version.dll", "winmm.dll", "ws2_32.dll",
    "wsock32.dll", "crypt32.dll", "secur32.dll", "userenv.dll", "uxtheme.dll",
    "winspool.drv", "imm32.dll", "psapi.dll", "setupapi.dll", "rpcrt4.dll",
    "ucrtbase.dll", "bcrypt.dll", "dbghelp.dll", "mpr.dll", "netapi32.dll",
    "iphlpapi.dll", "wtsapi32.dll", "dwmapi.dll", "msimg32.dll", "gdiplus.dll",
    "wininet.dll", "winhttp.dll", "urlmon.dll", "wintrust.dll", "powrprof.dll",
}
SYSTEM_DLL_PREFIXES = ("api-ms-win-", "ext-ms-win-")

Resource = namedtuple("Resource", "type name language data")


class PeError(Exception):
    pass


def _utf16z(data, pos):
    """A NUL-terminated UTF-16LE string at pos: (text, position after the NUL)."""
    end = pos
    while end + 1 < len(data) and data[end:end + 2] != b"\0\0":
        end += 2
    if end + 1 >= len(data):
        raise PeError("unterminated UTF-16 string at %#x" % pos)
    return data[pos:end].decode("utf-16-le"), end + 2


def _align4(pos):
    return (pos + 3) & ~3


class PeFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PeError("not an MZ executable")
        (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        coff = pe_offset + 4
        (self.machine, section_count, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, coff)
        optional = coff + 20
        (magic,) = struct.unpack_from("<H", data, optional)
        if magic == 0x10B:
            self.format, directories = "PE32", optional + 96
        elif magic == 0x20B:
            self.format, directories = "PE32+", optional + 112
        else:
            raise PeError("unknown optional header magic %#x" % magic)
        (self.subsystem,) = struct.unpack_from("<H", data, optional + 68)
        (directory_count,) = struct.unpack_from("<I", data, directories - 4)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(min(directory_count, 16))]
        self.sections = []
        for i in range(section_count):
            pos = optional + optional_size + 40 * i
            name = data[pos:pos + 8].rstrip(b"\0").decode("latin-1")
            vsize, rva, raw_size, raw_pointer = struct.unpack_from("<IIII", data, pos + 8)
            self.sections.append((name, rva, max(vsize, raw_size), raw_pointer, raw_size))
        self.imported_dlls = self._read_imports()
        self.resources = self._read_resources()

    @classmethod
    def from_path(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    @property
    def machine_name(self):
        return MACHINES.get(self.machine, "%#06x" % self.machine)

    def offset(self, rva):
        for _, start, size, raw_pointer, raw_size in self.sections:
            if start <= rva < start + size:
                if rva - start >= raw_size:
                    raise PeError("RVA %#x lies in uninitialised data" % rva)
                return raw_pointer + rva - start
        raise PeError("RVA %#x is in no section" % rva)

    def read(self, rva, size):
        pos = self.offset(rva)
        return self.data[pos:pos + size]

    def _ascii_at(self, rva):
        pos = self.offset(rva)
        end = self.data.index(b"\0", pos)
        return self.data[pos:end].decode("latin-1")

    def _directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def _read_imports(self):
        names = []
        rva, size = self._directory(1)
        if rva and size:
            pos = self.offset(rva)
            while True:
                descriptor = struct.unpack_from("<IIIII", self.data, pos)
                if not any(descriptor):
                    break
                names.append(self._ascii_at(descriptor[3]))
                pos += 20
        rva, size = self._directory(13)         # delay-load imports
        if rva and size:
            pos = self.offset(rva)
            while True:
                descriptor = struct.unpack_from("<IIIIIIII", self.data, pos)
                if not any(descriptor):
                    break
                attributes, name = descriptor[0], descriptor[1]
                if not attributes & 1:          # old style: a virtual address
                    name -= self._image_base()
                names.append(self._ascii_at(name))
                pos += 32
        return names

    def _image_base(self):
        (pe_offset,) = struct.unpack_from("<I", self.data, 0x3C)
        optional = pe_offset + 24
        if self.format == "PE32":
            return struct.unpack_from("<I", self.data, optional + 28)[0]
        return struct.unpack_from("<Q", self.data, optional + 24)[0]

    def non_system_imports(self):
        return [name for name in self.imported_dlls if not is_system_dll(name)]

    def _read_resources(self):
        rva, size = self._directory(2)
        if not rva or not size:
            return []
        base = self.offset(rva)
        data = self.data
        resources = []

        def entry_name(value):
            if value & 0x80000000:
                pos = base + (value & 0x7FFFFFFF)
                (length,) = struct.unpack_from("<H", data, pos)
                return data[pos + 2:pos + 2 + 2 * length].decode("utf-16-le")
            return value

        def entries(offset):
            named, ids = struct.unpack_from("<HH", data, base + offset + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * i)
                yield entry_name(name), target

        for type_, type_target in entries(0):
            if not type_target & 0x80000000:
                raise PeError("resource type %r is not a directory" % (type_,))
            for name, name_target in entries(type_target & 0x7FFFFFFF):
                if not name_target & 0x80000000:
                    raise PeError("resource %r/%r is not a directory" % (type_, name))
                for language, leaf in entries(name_target & 0x7FFFFFFF):
                    if leaf & 0x80000000:
                        raise PeError("resource %r/%r/%r nests too deep" % (type_, name, language))
                    data_rva, data_size, _, _ = struct.unpack_from("<IIII", data, base + leaf)
                    resources.append(Resource(type_, name, language, self.read(data_rva, data_size)))
        return resources

    def find(self, type_, name, language=None):
        """The resource of that type and name (names compare case-insensitively)."""
        def same(a, b):
            if isinstance(a, str) and isinstance(b, str):
                return a.upper() == b.upper()
            return a == b
        for resource in self.resources:
            if same(resource.type, type_) and same(resource.name, name) and (
                    language is None or resource.language == language):
                return resource
        return None


def is_system_dll(name):
    lower = name.lower()
    return lower in SYSTEM_DLLS or lower.startswith(SYSTEM_DLL_PREFIXES)


# ---------------------------------------------------------------------------
# Resource decoders.

def _sz_or_ord(data, pos):
    """A DLGTEMPLATE name field: (None | int | str, next position)."""
    (first,) = struct.unpack_from("<H", data, pos)
    if first == 0:
        return None, pos + 2
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, pos + 2)[0], pos + 4
    return _utf16z(data, pos)


def parse_dialogex(data):
    """Decodes a DLGTEMPLATEEX with its items into plain dicts."""
    version, signature = struct.unpack_from("<HH", data, 0)
    if (version, signature) != (1, 0xFFFF):
        raise PeError("not an extended dialog template")
    help_id, ex_style, style, count, x, y, cx, cy = struct.unpack_from("<IIIHhhhh", data, 4)
    pos = 26
    menu, pos = _sz_or_ord(data, pos)
    window_class, pos = _sz_or_ord(data, pos)
    caption, pos = _sz_or_ord(data, pos)
    dialog = dict(help_id=help_id, ex_style=ex_style, style=style, rect=(x, y, cx, cy),
                  menu=menu, window_class=window_class, caption=caption, font=None, controls=[])
    if style & 0x48:                            # DS_SETFONT or DS_SHELLFONT
        point_size, weight, italic, charset = struct.unpack_from("<HHBB", data, pos)
        face, pos = _utf16z(data, pos + 6)
        dialog["font"] = dict(point_size=point_size, weight=weight, italic=italic,
                              charset=charset, face=face)
    for _ in range(count):
        pos = _align4(pos)
        help_id, ex_style, style, x, y, cx, cy, control_id = struct.unpack_from(
            "<IIIhhhhi", data, pos)
        pos += 24
        control_class, pos = _sz_or_ord(data, pos)
        text, pos = _sz_or_ord(data, pos)
        (extra,) = struct.unpack_from("<H", data, pos)
        pos += 2 + extra
        if isinstance(control_class, int):
            control_class = CONTROL_ATOMS.get(control_class, control_class)
        dialog["controls"].append(dict(id=control_id, window_class=control_class, style=style,
                                       ex_style=ex_style, rect=(x, y, cx, cy), text=text,
                                       help_id=help_id, extra=extra))
    return dialog


def parse_string_block(data):
    """The 16 strings of one RT_STRING block, in order."""
    strings, pos = [], 0
    for _ in range(16):
        (length,) = struct.unpack_from("<H", data, pos)
        strings.append(data[pos + 2:pos + 2 + 2 * length].decode("utf-16-le"))
        pos += 2 + 2 * length
    return strings


def string_resource(pe, string_id):
    block = pe.find(RT_STRING, string_id // 16 + 1)
    if block is None:
        return None
    return parse_string_block(block.data)[string_id % 16]


def parse_group_icon(data):
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise PeError("not an icon group")
    entries = []
    for i in range(count):
        width, height, colours, _, planes, bits, size, icon_id = struct.unpack_from(
            "<BBBBHHIH", data, 6 + 14 * i)
        entries.append(dict(width=width or 256, height=height or 256, colours=colours,
                            planes=planes, bits=bits, bytes=size, id=icon_id))
    return entries


def parse_version_info(data):
    """Decodes VS_VERSIONINFO: fixed part, string tables and the Translation pairs."""

    def node(pos):
        length, value_length, value_type = struct.unpack_from("<HHH", data, pos)
        key, value_pos = _utf16z(data, pos + 6)
        return pos + length, key, value_length, value_type, _align4(value_pos)

    def children(start, end):
        pos = _align4(start)
        while pos < end:
            length = struct.unpack_from("<H", data, pos)[0]
            if length == 0:
                break
            yield pos
            pos = _align4(pos + length)

    end, key, value_length, _, value_pos = node(0)
    if key != "VS_VERSION_INFO":
        raise PeError("version block key is %r" % key)
    fixed = None
    if value_length >= 52:
        values = struct.unpack_from("<13I", data, value_pos)
        if values[0] != 0xFEEF04BD:
            raise PeError("bad VS_FIXEDFILEINFO signature")
        fixed = dict(file_version=_version_tuple(values[2], values[3]),
                     product_version=_version_tuple(values[4], values[5]),
                     flags_mask=values[6], flags=values[7], os=values[8],
                     file_type=values[9], file_subtype=values[10])
    info = dict(fixed=fixed, strings={}, translations=[])
    for child in children(value_pos + value_length, end):
        child_end, child_key, _, _, child_value = node(child)
        if child_key == "StringFileInfo":
            for table in children(child_value, child_end):
                table_end, table_key, _, _, table_value = node(table)
                strings = info["strings"].setdefault(table_key.lower(), {})
                for item in children(table_value, table_end):
                    item_end, item_key, _, _, item_value = node(item)
                    raw = data[item_value:item_end]
                    text = raw.decode("utf-16-le", "replace")
                    strings[item_key] = text.split("\0", 1)[0]
        elif child_key == "VarFileInfo":
            for var in children(child_value, child_end):
                _, var_key, var_length, _, var_value = node(var)
                if var_key == "Translation":
                    words = struct.unpack_from("<%dH" % (var_length // 2), data, var_value)
                    info["translations"] += list(zip(words[::2], words[1::2]))
    return info


def _version_tuple(ms, ls):
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def _local(tag):
    return tag.rsplit("}", 1)[-1]


def parse_manifest(data):
    """The parts of an application manifest that decide how Windows starts it."""
    text = data.decode("utf-8-sig")
    root = ElementTree.fromstring(text)
    result = dict(execution_level=None, dependencies=[])
    for element in root.iter():
        name = _local(element.tag)
        if name == "requestedExecutionLevel":
            result["execution_level"] = dict(element.attrib)
        elif name == "dependentAssembly":
            for identity in element:
                if _local(identity.tag) == "assemblyIdentity":
                    result["dependencies"].append(dict(identity.attrib))
    return result


# ---------------------------------------------------------------------------
# What TessalyCleanUp.exe must carry.

LANG_EN_US = 0x0409
STATIC_GROUP_TEXT = 0x50020000      # WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT
STATIC_ICON = 0x50000803            # WS_CHILD | WS_VISIBLE | SS_REALSIZEIMAGE | SS_ICON
PAGE_STYLE = 0x48C00040             # WS_CHILD | WS_DISABLED | WS_CAPTION | DS_SETFONT
PAGE_FONT = dict(point_size=10, weight=400, italic=0, charset=0, face="Microsoft Sans Serif")


def _control(control_id, window_class, style, rect, text):
    return dict(id=control_id, window_class=window_class, style=style, rect=rect, text=text)


APP_ICON_CONTROL = _control(1001, "Static", STATIC_ICON, (0, 0, 20, 20), 90)

EXPECTED_DIALOGS = {
    91: [
        _control(-1, "Static", STATIC_GROUP_TEXT, (40, 6, 170, 32),
                 "This Clean Up Wizard will remove the current version of Corvelle and "
                 "Mendora from your machine.  It will not remove the Antivirus component, "
                 "however.  You should run TessalyAVCleanup.exe first if you want to remove AV."),
        APP_ICON_CONTROL,
        _control(-1, "Static", STATIC_GROUP_TEXT, (40, 74, 170, 8),
                 'Press "Next" to begin the clean up process.'),
    ],
    92: [
        _control(-1, "Static", STATIC_GROUP_TEXT, (34, 6, 176, 8), "Cleanup in progress..."),
        _control(1002, "msctls_progress32", 0x50800000, (34, 39, 166, 10), ""),
        APP_ICON_CONTROL,
    ],
    93: [
        _control(-1, "Static", STATIC_GROUP_TEXT, (34, 6, 176, 8), "Clean up complete."),
        APP_ICON_CONTROL,
        _control(1003, "Button", 0x40010003, (34, 77, 176, 10), "Restart my machine now"),
        _control(1004, "Static", STATIC_GROUP_TEXT, (34, 43, 176, 16),
                 "You can now re-install your copy of Corvelle or Mendora."),
    ],
}

EXPECTED_STRINGS = {
    100: "Tessaly Cleanup Wizard 14.3",
    101: "Are you sure you want to cancel the clean up process?",
    102: "You can re-install your copy of Corvelle or Mendora after restarting your machine.",
}

EXPECTED_ICONS = ([(size, 4) for size in (48, 32, 24, 16)]
                  + [(size, 8) for size in (48, 32, 24, 16)]
                  + [(size, 32) for size in (64, 48, 32, 24, 16)])

EXPECTED_VERSION = (14, 3, 2, 1)
EXPECTED_VERSION_STRINGS = {
    "FileDescription": "CV/MD Cleanup Utility",
    "InternalName": "TessalyCleanUp.exe",
    "OriginalFilename": "TessalyCleanUp.exe",
    "ProductName": "TessalyCleanUp",
    "CompanyName": "Tessaly, a division of Halvern",
    "FileVersion": "14.3.2.1",
    "ProductVersion": "14.3.2.1",
}

SCRIPT_NAMES = ("MD14", "CV14", "MD12", "CV12", "MD11", "CV11", "MD10", "CV10")
MANIFEST_ARCHITECTURE = {"i386": "x86", "amd64": "amd64"}


# ---------------------------------------------------------------------------
# check

def _compare(problems, what, actual, expected):
    if actual != expected:
        problems.append("%s is %r, expected %r" % (what, actual, expected))


def check_machine(pe, machine):
    if machine and pe.machine_name != machine:
        return ["machine is %s, expected %s" % (pe.machine_name, machine)]
    return []


def check_subsystem(pe):
    if pe.subsystem != SUBSYSTEM_GUI:
        return ["subsystem is %d, expected %d (Windows GUI)" % (pe.subsystem, SUBSYSTEM_GUI)]
    return []


def check_imports(pe):
    return ["imports %s, which is not a Windows system DLL (link statically)" % name
            for name in pe.non_system_imports()]


def check_dialog(pe, dialog_id):
    resource = pe.find(RT_DIALOG, dialog_id)
    if resource is None:
        return ["dialog %d is missing" % dialog_id]
    problems = []
    _compare(problems, "language", resource.language, LANG_EN_US)
    try:
        dialog = parse_dialogex(resource.data)
    except (PeError, struct.error, UnicodeDecodeError) as error:
        return problems + ["cannot be decoded: %s" % error]
    _compare(problems, "style", "%#010x" % dialog["style"], "%#010x" % PAGE_STYLE)
    _compare(problems, "extended style", dialog["ex_style"], 0)
    _compare(problems, "size", dialog["rect"][2:], (210, 120))
    _compare(problems, "menu", dialog["menu"], None)
    _compare(problems, "window class", dialog["window_class"], None)
    _compare(problems, "caption", dialog["caption"], "Property Page")
    _compare(problems, "font", dialog["font"], PAGE_FONT)
    expected = EXPECTED_DIALOGS[dialog_id]
    _compare(problems, "number of controls", len(dialog["controls"]), len(expected))
    for index, (actual, wanted) in enumerate(zip(dialog["controls"], expected)):
        where = "control %d (id %d)" % (index + 1, wanted["id"])
        _compare(problems, where + " id", actual["id"], wanted["id"])
        # Class names are case-insensitive and windres stores them upper-cased
        # where other compilers store the predefined classes as atoms.
        actual_class = actual["window_class"]
        if not (isinstance(actual_class, str)
                and actual_class.lower() == wanted["window_class"].lower()):
            _compare(problems, where + " class", actual_class, wanted["window_class"])
        _compare(problems, where + " style", "%#010x" % actual["style"], "%#010x" % wanted["style"])
        _compare(problems, where + " extended style", actual["ex_style"], 0)
        _compare(problems, where + " rectangle", actual["rect"], wanted["rect"])
        text = "" if actual["text"] is None else actual["text"]
        _compare(problems, where + " text", text, wanted["text"])
    return problems


def check_strings(pe):
    problems = []
    for string_id, expected in EXPECTED_STRINGS.items():
        block = pe.find(RT_STRING, string_id // 16 + 1)
        if block is None:
            problems.append("string table block of %d is missing" % string_id)
            continue
        _compare(problems, "language of string %d" % string_id, block.language, LANG_EN_US)
        _compare(problems, "string %d" % string_id, string_resource(pe, string_id), expected)
    return problems


def check_icons(pe):
    group = pe.find(RT_GROUP_ICON, 90)
    if group is None:
        return ["icon group 90 is missing"]
    problems = []
    entries = parse_group_icon(group.data)
    _compare(problems, "icon sizes and bit counts",
             [(e["width"], e["bits"]) for e in entries], EXPECTED_ICONS)
    for entry in entries:
        what = "icon %d (%d px, %d bpp)" % (entry["id"], entry["width"], entry["bits"])
        if entry["width"] != entry["height"]:
            problems.append("%s is not square" % what)
        icon = pe.find(RT_ICON, entry["id"])
        if icon is None:
            problems.append("%s is missing" % what)
            continue
        _compare(problems, what + " size in bytes", len(icon.data), entry["bytes"])
        if icon.data[:8] == b"\x89PNG\r\n\x1a\n":
            continue
        _, width, height, _, bits = struct.unpack_from("<IiiHH", icon.data, 0)
        _compare(problems, what + " bitmap", (width, height, bits),
                 (entry["width"], entry["height"] * 2, entry["bits"]))
    return problems


def check_version(pe):
    resource = pe.find(RT_VERSION, 1)
    if resource is None:
        return ["version block 1 is missing"]
    info = parse_version_info(resource.data)
    problems = []
    if info["fixed"] is None:
        return ["version block has no fixed part"]
    _compare(problems, "fixed file version", info["fixed"]["file_version"], EXPECTED_VERSION)
    _compare(problems, "fixed product version", info["fixed"]["product_version"], EXPECTED_VERSION)
    _compare(problems, "translations", info["translations"], [(0x0409, 0x04B0)])
    strings = info["strings"].get("040904b0")
    if strings is None:
        return problems + ["no string table 040904b0 (has %s)" % sorted(info["strings"])]
    for key, expected in EXPECTED_VERSION_STRINGS.items():
        _compare(problems, key, strings.get(key), expected)
    return problems


def check_manifest(pe, architecture):
    resource = pe.find(RT_MANIFEST, 1)
    if resource is None:
        return ["manifest 1 is missing"]
    try:
        manifest = parse_manifest(resource.data)
    except (ElementTree.ParseError, UnicodeDecodeError) as error:
        return ["manifest is not well-formed XML: %s" % error]
    problems = []
    level = manifest["execution_level"] or {}
    _compare(problems, "requested execution level", level.get("level"), "requireAdministrator")
    _compare(problems, "uiAccess", level.get("uiAccess"), "false")
    controls = [d for d in manifest["dependencies"]
                if d.get("name") == "Microsoft.Windows.Common-Controls"]
    if len(controls) != 1:
        return problems + ["expected one Microsoft.Windows.Common-Controls dependency, found %d"
                           % len(controls)]
    dependency = controls[0]
    wanted = dict(type="win32", version="6.0.0.0", processorArchitecture=architecture,
                  language="*", publicKeyToken="6595b64144ccf1df")
    for key, expected in wanted.items():
        _compare(problems, "Common-Controls " + key, dependency.get(key), expected)
    return problems


def check_scripts(pe):
    problems = []
    for name in SCRIPT_NAMES:
        resource = pe.find("SCRIPTS", name)
        if resource is None:
            problems.append("SCRIPTS resource %s is missing" % name)
            continue
        _compare(problems, "language of %s" % name, resource.language, 1033)
        if not resource.data:
            problems.append("SCRIPTS resource %s is empty" % name)
        elif b"\0" in resource.data:
            problems.append("SCRIPTS resource %s contains a NUL byte at %d"
                            % (name, resource.data.index(b"\0")))
    return problems


def run_checks(pe, machine=None, scripts=False):
    """Yields (item, problems) in order; an empty list means the item passed."""
    architecture = MANIFEST_ARCHITECTURE.get(machine or pe.machine_name, pe.machine_name)
    items = [
        ("machine %s" % (machine or pe.machine_name), lambda: check_machine(pe, machine)),
        ("subsystem Windows GUI", lambda: check_subsystem(pe)),
        ("imports only system DLLs (%s)" % ", ".join(pe.imported_dlls), lambda: check_imports(pe)),
    ]
    for dialog_id in sorted(EXPECTED_DIALOGS):
        items.append(("dialog %d" % dialog_id, lambda d=dialog_id: check_dialog(pe, d)))
    items += [
        ("strings %s" % ", ".join(map(str, EXPECTED_STRINGS)), lambda: check_strings(pe)),
        ("icon group 90 with %d images" % len(EXPECTED_ICONS), lambda: check_icons(pe)),
        ("version block 1 (%s)" % ".".join(map(str, EXPECTED_VERSION)), lambda: check_version(pe)),
        ("manifest 1 (requireAdministrator, Common-Controls 6.0.0.0 %s)" % architecture,
         lambda: check_manifest(pe, architecture)),
    ]
    if scripts:
        items.append(("SCRIPTS %s" % ", ".join(SCRIPT_NAMES), lambda: check_scripts(pe)))
    for item, check in items:
        try:
            problems = check()
        except (PeError, struct.error, UnicodeDecodeError, ValueError) as error:
            problems = ["cannot be decoded: %s" % error]
        yield item, problems


def command_check(args):
    try:
        pe = PeFile.from_path(args.exe)
    except (OSError, PeError, struct.error) as error:
        print("FAIL %s: %s" % (args.exe, error))
        return 1
    for item, problems in run_checks(pe, args.machine, args.scripts):
        if problems:
            print("FAIL %s" % item)
            for problem in problems:
                print("  %s" % problem)
            return 1
        print("ok   %s" % item)
    print("%s: all checks passed" % args.exe)
    return 0


# ---------------------------------------------------------------------------
# dump

def _name(value, names=None):
    if isinstance(value, str):
        return '"%s"' % value
    if names and value in names:
        return "%s(%d)" % (names[value], value)
    return str(value)


def command_dump(args):
    pe = PeFile.from_path(args.exe)
    print("machine    %s (%#06x), %s" % (pe.machine_name, pe.machine, pe.format))
    print("subsystem  %d" % pe.subsystem)
    print("imports    %s" % ", ".join(pe.imported_dlls))
    print("resources")
    for resource in pe.resources:
        print("  %-20s %-10s lang %-5d %7d bytes" % (
            _name(resource.type, RESOURCE_TYPE_NAMES), _name(resource.name),
            resource.language, len(resource.data)))
        try:
            details = _describe(resource)
        except (PeError, struct.error, UnicodeDecodeError, ValueError,
                ElementTree.ParseError) as error:
            details = ["(cannot be decoded: %s)" % error]
        for line in details:
            print("      %s" % line)
    return 0


def _describe(resource):
    if resource.type == RT_DIALOG:
        dialog = parse_dialogex(resource.data)
        lines = ["style %#010x rect %r caption %r font %r" % (
            dialog["style"], dialog["rect"], dialog["caption"], dialog["font"])]
        for control in dialog["controls"]:
            lines.append("id %d class %r style %#010x rect %r text %r" % (
                control["id"], control["window_class"], control["style"],
                control["rect"], control["text"]))
        return lines
    if resource.type == RT_STRING:
        first = (resource.name - 1) * 16
        return ["%d: %r" % (first + i, text)
                for i, text in enumerate(parse_string_block(resource.data)) if text]
    if resource.type == RT_GROUP_ICON:
        return ["icon %d: %dx%d %d bpp, %d bytes" % (e["id"], e["width"], e["height"],
                                                     e["bits"], e["bytes"])
                for e in parse_group_icon(resource.data)]
    if resource.type == RT_VERSION:
        info = parse_version_info(resource.data)
        lines = ["fixed %r" % info["fixed"], "translations %r" % info["translations"]]
        for table, strings in info["strings"].items():
            lines += ["%s %s: %r" % (table, key, value) for key, value in strings.items()]
        return lines
    if resource.type == RT_MANIFEST:
        manifest = parse_manifest(resource.data)
        return ["execution level %r" % manifest["execution_level"]] + [
            "dependency %r" % d for d in manifest["dependencies"]]
    return []


def main(argv=None):
    parser = argparse.ArgumentParser(description="Reads and checks the resources of a PE file.")
    commands = parser.add_subparsers(dest="command", required=True)
    check = commands.add_parser("check", help="verify TessalyCleanUp's resources")
    check.add_argument("exe")
    check.add_argument("--machine", choices=sorted(MANIFEST_ARCHITECTURE))
    check.add_argument("--scripts", action="store_true",
                       help="also require the eight SCRIPTS resources")
    dump = commands.add_parser("dump", help="print the headers and the resource tree")
    dump.add_argument("exe")
    args = parser.parse_args(argv)
    return command_check(args) if args.command == "check" else command_dump(args)


if __name__ == "__main__":
    sys.exit(main())
