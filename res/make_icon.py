#!/usr/bin/env python3
"""Write Mirrolet's application icon (.ico) from the pixel art below.

Usage: python3 make_icon.py OUT.ico

The icon holds two 16-colour images, 32x32 and 16x16, each stored as a
BITMAPINFOHEADER DIB: a 4-bit XOR bitmap followed by a 1-bit AND mask, rows
bottom-up and padded to 4 bytes.  Only the standard library is used and the
output depends on nothing but this file, so every run writes the same bytes.

Picture: two overlapping folders (the two installed products) with a green
down arrow over their lower right corner (the update being mirrored in).
"""

import struct
import sys

# Standard Windows 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00),  # 0 black
    (0x80, 0x00, 0x00),  # 1 maroon
    (0x00, 0x80, 0x00),  # 2 green
    (0x80, 0x80, 0x00),  # 3 olive
    (0x00, 0x00, 0x80),  # 4 navy
    (0x80, 0x00, 0x80),  # 5 purple
    (0x00, 0x80, 0x80),  # 6 teal
    (0xC0, 0xC0, 0xC0),  # 7 silver
    (0x80, 0x80, 0x80),  # 8 grey
    (0xFF, 0x00, 0x00),  # 9 red
    (0x00, 0xFF, 0x00),  # 10 lime
    (0xFF, 0xFF, 0x00),  # 11 yellow
    (0x00, 0x00, 0xFF),  # 12 blue
    (0xFF, 0x00, 0xFF),  # 13 fuchsia
    (0x00, 0xFF, 0xFF),  # 14 aqua
    (0xFF, 0xFF, 0xFF),  # 15 white
]

# Pixel letters used in the drawings; '.' is transparent.
COLOURS = {
    "k": 0,   # outline
    "g": 2,   # arrow outline
    "o": 3,   # folder shadow
    "l": 10,  # arrow body
    "y": 11,  # folder body
    "w": 15,  # folder highlight
}
TRANSPARENT = "."

# Rows top to bottom.
ICON_32 = [
    "................................",
    "................................",
    "..........kkkkkkk...............",
    ".........kyyyyyyykk.............",
    ".........kyyyyyyyyk.............",
    ".........kyyyyyyyyykkkkkkkkkkkk.",
    ".........kwwwwwwwwwwwwwwwwwwwok.",
    ".........kyyyyyyyyyyyyyyyyyyyok.",
    "..kkkkkkkkyyyyyyyyyyyyyyyyyyyok.",
    ".kyyyyyyykkyyyyyyyyyyyyyyyyyyok.",
    ".kyyyyyyyykyyyyyyyyyyyyyyyyyyok.",
    ".kyyyyyyyyykkkkkkkkkkkkyyyyyyok.",
    ".kwwwwwwwwwwwwwwwwwwwokyyyyyyok.",
    ".kyyyyyyyyyyyyyyyyyyyokyyyyyyok.",
    ".kyyyyyyyyyyyyyyyyyyyoggggggyok.",
    ".kyyyyyyyyyyyyyyyyyyyogllllgyok.",
    ".kyyyyyyyyyyyyyyyyyyyogllllgyok.",
    ".kyyyyyyyyyyyyyyyyyyyogllllgyok.",
    ".kyyyyyyyyyyyyyyyyyyyogllllgook.",
    ".kyyyyyyyyyyyyyyyyyyyogllllgkkk.",
    ".kyyyyyyyyyyyyyyyyyyyogllllg....",
    ".kyyyyyyyyyyyyyyyyyyyogllllg....",
    ".kyyyyyyyyyyyyyyyyyyyogllllg....",
    ".kyyyyyyyyyyyyyyyygggggllllggggg",
    ".kyyyyyyyyyyyyyyyyygllllllllllg.",
    ".kyyyyyyyyyyyyyyyyyygllllllllg..",
    ".kyyyyyyyyyyyyyyyyyyygllllllg...",
    ".koooooooooooooooooooogllllg....",
    "..kkkkkkkkkkkkkkkkkkkkkgllg.....",
    "........................gg......",
    "................................",
    "................................",
]

ICON_16 = [
    "................",
    "......kkk.......",
    ".....kyyykkkkkkk",
    ".....kwwwwwwwwok",
    ".kkk.kyyyyyyyyok",
    "kyyykkkkkkkkyyok",
    "kwwwwwwwwwokyyok",
    "kyyyyyyyyyggggok",
    "kyyyyyyyyygllgok",
    "kyyyyyyyyygllgkk",
    "kyyyyyyyyygllg..",
    "kyyyyyyygggllggg",
    "kyyyyyyyygllllg.",
    "kooooooooogllg..",
    ".kkkkkkkkkkgg...",
    "................",
]


def padded(row_bytes):
    return row_bytes + b"\0" * (-len(row_bytes) % 4)


def dib(rows):
    """Return the icon image (header, palette, XOR bitmap, AND mask)."""
    size = len(rows)
    if any(len(row) != size for row in rows):
        raise ValueError("drawing is not square")
    xor_rows = []
    and_rows = []
    for row in reversed(rows):  # DIBs are stored bottom-up
        indices = [0 if c == TRANSPARENT else COLOURS[c] for c in row]
        xor_rows.append(padded(bytes(
            (indices[x] << 4) | indices[x + 1] for x in range(0, size, 2))))
        mask = bytearray((size + 7) // 8)
        for x, c in enumerate(row):
            if c == TRANSPARENT:
                mask[x // 8] |= 0x80 >> (x % 8)
        and_rows.append(padded(bytes(mask)))
    xor_bits = b"".join(xor_rows)
    and_bits = b"".join(and_rows)
    header = struct.pack(
        "<IiiHHIIiiII",
        40,                            # biSize
        size,                          # biWidth
        size * 2,                      # biHeight: XOR and AND halves
        1,                             # biPlanes
        4,                             # biBitCount
        0,                             # biCompression: BI_RGB
        len(xor_bits) + len(and_bits), # biSizeImage
        0, 0,                          # resolution
        0, 0)                          # biClrUsed, biClrImportant
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + xor_bits + and_bits


def icon(drawings):
    images = [dib(rows) for rows in drawings]
    out = struct.pack("<HHH", 0, 1, len(images))  # ICONDIR, type 1 = icon
    offset = 6 + 16 * len(images)
    for rows, image in zip(drawings, images):
        size = len(rows)
        out += struct.pack(
            "<BBBBHHII",
            size % 256, size % 256,  # width, height (0 would mean 256)
            16,                      # bColorCount
            0,                       # bReserved
            1,                       # wPlanes
            4,                       # wBitCount
            len(image),              # dwBytesInRes
            offset)                  # dwImageOffset
        offset += len(image)
    return out + b"".join(images)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icon.py OUT.ico\n")
        return 2
    data = icon([ICON_32, ICON_16])
    with open(argv[1], "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
