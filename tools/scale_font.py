#!/usr/bin/env python3
"""Makes a TrueType font that draws the glyphs of another one larger, under a family
name of its own.

    scale_font.py SOURCE.ttf TARGET.ttf --family NAME --scale FACTOR

The glyphs are not touched: the font's design grid (head.unitsPerEm) is shrunk by the
factor, so every outline and every metric comes out FACTOR times as large at the same
point size. Used for the wizard's Wine prefix: Wine sizes a property sheet by its own
dialog font (8 pt) while the wizard's pages use a 10 pt font, so the sheet font must be
as wide at 8 pt as the pages' font is at 10 pt for no page text to be cut off.
"""

import argparse
import struct
import sys


def checksum(data):
    data = data + b"\0" * (-len(data) % 4)
    return sum(struct.unpack(">%dI" % (len(data) // 4), data)) & 0xFFFFFFFF


def read_tables(font):
    version, count = struct.unpack_from(">IH", font, 0)
    tables = {}
    for i in range(count):
        tag, _, offset, length = struct.unpack_from(">4sIII", font, 12 + 16 * i)
        tables[tag] = bytearray(font[offset:offset + length])
    return version, tables


def name_table(family):
    """A name table with the family, style, unique, full and PostScript names, for
    Windows (Unicode BMP, US English), which is what Wine reads."""
    postscript = "".join(c for c in family if c.isalnum()) + "-Regular"
    names = {1: family, 2: "Regular", 3: family + " Regular", 4: family, 6: postscript}
    records, strings = [], b""
    for name_id in sorted(names):
        encoded = names[name_id].encode("utf-16-be")
        records.append(struct.pack(">6H", 3, 1, 0x409, name_id, len(encoded), len(strings)))
        strings += encoded
    header = struct.pack(">3H", 0, len(records), 6 + 12 * len(records))
    return bytearray(header + b"".join(records) + strings)


def write_font(version, tables):
    tags = sorted(tables)
    count = len(tags)
    entry_selector = max(count.bit_length() - 1, 0)
    search_range = 16 * (1 << entry_selector)
    header = struct.pack(">IHHHH", version, count, search_range, entry_selector,
                         16 * count - search_range)
    offset = 12 + 16 * count
    directory, body = b"", b""
    for tag in tags:
        data = bytes(tables[tag])
        directory += struct.pack(">4sIII", tag, checksum(data), offset, len(data))
        padded = data + b"\0" * (-len(data) % 4)
        body += padded
        offset += len(padded)
    font = bytearray(header + directory + body)
    # The whole-font checksum goes into head.checkSumAdjustment.
    head_offset = next(struct.unpack_from(">I", font, 12 + 16 * i + 8)[0]
                       for i in range(count) if tags[i] == b"head")
    struct.pack_into(">I", font, head_offset + 8, (0xB1B0AFBA - checksum(bytes(font))) & 0xFFFFFFFF)
    return bytes(font)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source")
    parser.add_argument("target")
    parser.add_argument("--family", required=True)
    parser.add_argument("--scale", type=float, required=True)
    args = parser.parse_args(argv)

    with open(args.source, "rb") as f:
        version, tables = read_tables(f.read())
    if b"head" not in tables or b"name" not in tables or b"glyf" not in tables:
        sys.exit("%s: not a TrueType font with outlines" % args.source)
    head = tables[b"head"]
    (units,) = struct.unpack_from(">H", head, 18)
    struct.pack_into(">H", head, 18, max(16, round(units / args.scale)))
    struct.pack_into(">I", head, 8, 0)
    tables[b"name"] = name_table(args.family)
    with open(args.target, "wb") as f:
        f.write(write_font(version, tables))


if __name__ == "__main__":
    main(sys.argv[1:])
