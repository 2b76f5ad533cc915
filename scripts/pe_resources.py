#!/usr/bin/env python3
"""Reads the resources of a Windows executable or DLL (a PE file) that the
installer needs, by walking its resource directory (standard library only).

Usage:
  pe_resources.py version FILE        prints "FILEVERSION LANGUAGE", e.g.
                                      "1.0.0.0 1033", or nothing when the
                                      file has no version information
  pe_resources.py icon FILE ID OUT    writes the icon group ID as an icon
                                      file OUT (the program's own icon)
"""

import struct
import sys

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD


class PeError(Exception):
    pass


class Resources:
    """The resource tree of a PE file: type, then name or number, then
    language."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PeError("not a PE file (no MZ header)")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("not a PE file (no PE signature)")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = {0x10B: optional + 96, 0x20B: optional + 112}.get(magic)
        if directories is None:
            raise PeError("unknown optional header 0x%x" % magic)
        self.sections = []
        at = optional + optional_size
        for _ in range(sections):
            size, address, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((address, max(size, raw_size), raw))
            at += 40
        # The third data directory is the resources'.
        rva, size = struct.unpack_from("<II", data, directories + 2 * 8)
        self.root = self.offset(rva) if size else None

    def offset(self, rva):
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return raw + rva - address
        raise PeError("address 0x%x lies in no section" % rva)

    def entries(self, directory):
        """(id, offset of the entry's target, whether it is a directory)."""
        named, numbered = struct.unpack_from("<HH", self.data, directory + 12)
        for index in range(named + numbered):
            name, target = struct.unpack_from("<II", self.data, directory + 16 + 8 * index)
            yield name, self.root + (target & 0x7FFFFFFF), bool(target & 0x80000000)

    def find(self, kind, ident=None):
        """The bytes of a resource (any language); ident None: the first of
        that type. None when there is none."""
        if self.root is None:
            return None
        for path_id, target, is_dir in self.entries(self.root):
            if path_id != kind or not is_dir:
                continue
            for name, names, names_is_dir in self.entries(target):
                if ident is not None and name != ident:
                    continue
                if not names_is_dir:
                    raise PeError("resource %d/%d has no language level" % (kind, name))
                for _, entry, entry_is_dir in self.entries(names):
                    if entry_is_dir:
                        raise PeError("resource %d/%d is nested too deep" % (kind, name))
                    rva, size = struct.unpack_from("<II", self.data, entry)
                    start = self.offset(rva)
                    return self.data[start:start + size]
        return None


def version_blocks(data, at, end):
    """The children of a version information block: (key, value, children
    start, block end) each."""
    while at + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", data, at)
        if length == 0:
            break
        block_end = min(at + length, end)
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[at + 6:key_end].decode("utf-16-le")
        value = key_end + 2
        value += (-value) % 4
        # Text values count characters, binary values bytes.
        value_size = value_length * (2 if kind == 1 else 1)
        children = value + value_size
        children += (-children) % 4
        yield key, data[value:value + value_size], children, block_end
        at = block_end + (-block_end) % 4


def file_version(data):
    """("a.b.c.d", language) of a PE file's version information, or None."""
    info = Resources(data).find(RT_VERSION)
    if info is None:
        return None
    blocks = list(version_blocks(info, 0, len(info)))
    if not blocks or blocks[0][0] != "VS_VERSION_INFO":
        raise PeError("malformed version information")
    _, fixed, children, end = blocks[0]
    signature, _, ms, ls = struct.unpack_from("<IIII", fixed, 0)
    if signature != FIXED_FILE_INFO_SIGNATURE:
        raise PeError("no fixed file information")
    version = "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    language = None
    for key, _, grandchildren, block_end in version_blocks(info, children, end):
        if key != "VarFileInfo":
            continue
        for name, value, _, _ in version_blocks(info, grandchildren, block_end):
            if name == "Translation" and len(value) >= 4:
                language = struct.unpack_from("<H", value, 0)[0]
    return version, language


def icon_file(data, ident):
    """An icon file (.ico) of the icon group ident, or None."""
    resources = Resources(data)
    group = resources.find(RT_GROUP_ICON, ident)
    if group is None:
        return None
    _, kind, count = struct.unpack_from("<HHH", group, 0)
    if kind != 1:
        raise PeError("icon group %d is not an icon" % ident)
    images = []
    for index in range(count):
        entry = group[6 + 14 * index:6 + 14 * (index + 1)]
        image = resources.find(RT_ICON, struct.unpack_from("<H", entry, 12)[0])
        if image is None:
            raise PeError("icon group %d names an image that is missing" % ident)
        images.append((entry[:8], image))
    header = struct.pack("<HHH", 0, 1, len(images))
    at = len(header) + 16 * len(images)
    directory = b""
    for fields, image in images:
        directory += fields + struct.pack("<II", len(image), at)
        at += len(image)
    return header + directory + b"".join(image for _, image in images)


def main(arguments):
    try:
        if len(arguments) == 2 and arguments[0] == "version":
            found = file_version(open(arguments[1], "rb").read())
            if found is not None:
                print(found[0] if found[1] is None else "%s %d" % found)
            return 0
        if len(arguments) == 4 and arguments[0] == "icon":
            icon = icon_file(open(arguments[1], "rb").read(), int(arguments[2]))
            if icon is None:
                print("%s: no icon %s" % (arguments[1], arguments[2]), file=sys.stderr)
                return 1
            with open(arguments[3], "wb") as output:
                output.write(icon)
            return 0
    except (PeError, struct.error, OSError) as error:
        print("%s: %s" % (arguments[1], error), file=sys.stderr)
        return 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
