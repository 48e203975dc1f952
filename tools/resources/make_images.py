#!/usr/bin/env python3
"""Draws the control's icon 202 (48 x 48, 32 bits per pixel) and toolbox
bitmap 201 (57 x 57, 24 bits per pixel): a small identity card with a portrait
silhouette and text lines. Writes the resource images into resources/:

  icon-202.ico.bin    the icon image (resource type ICON, id 1): a bitmap
                      info header with doubled height, BGRA rows bottom-up,
                      then the AND mask
  icon-202.group.bin  the icon group (resource type GROUP_ICON, id 202)
  bitmap-201.bmp.bin  the bitmap (resource type BITMAP, id 201): a bitmap
                      info header and BGR rows bottom-up

Run it from anywhere; the outputs are committed.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.normpath(os.path.join(HERE, "..", "..", "resources"))

CARD = (214, 232, 246)
EDGE = (70, 110, 160)
HEAD = (120, 140, 170)
LINE = (90, 100, 120)
CHIP = (214, 178, 84)


def card_picture(size):
    """RGBA pixels (top row first) of a card filling most of a size x size square."""
    s = size / 48.0
    x0, y0, x1, y1 = round(3 * s), round(9 * s), round(45 * s), round(39 * s)
    r = round(4 * s)
    px = [[(0, 0, 0, 0)] * size for _ in range(size)]

    def in_round_rect(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + r), x1 - 1 - r)
        cy = min(max(y, y0 + r), y1 - 1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r

    for y in range(size):
        for x in range(size):
            if not in_round_rect(x, y):
                continue
            edge = not (in_round_rect(x - 1, y) and in_round_rect(x + 1, y)
                        and in_round_rect(x, y - 1) and in_round_rect(x, y + 1))
            px[y][x] = (*(EDGE if edge else CARD), 255)
    # Portrait: head and shoulders on the right.
    hx, hy, hr = 34 * s, 20 * s, 4.2 * s
    for y in range(size):
        for x in range(size):
            if not in_round_rect(x, y):
                continue
            head = (x - hx) ** 2 + (y - hy) ** 2 <= hr * hr
            shoulders = y >= 26 * s and ((x - hx) / (8 * s)) ** 2 + ((y - 34 * s) / (8 * s)) ** 2 <= 1 and y < y1 - 2 * s
            if head or shoulders:
                px[y][x] = (*HEAD, 255)
    # Chip and text lines on the left.
    for y in range(round(14 * s), round(20 * s)):
        for x in range(round(8 * s), round(15 * s)):
            px[y][x] = (*CHIP, 255)
    for top, length in ((23, 17), (28, 13), (33, 17)):
        for y in range(round(top * s), round(top * s) + max(1, round(2 * s))):
            for x in range(round(8 * s), round((8 + length) * s)):
                px[y][x] = (*LINE, 255)
    return px


def info_header(width, height, bits, image_size):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, image_size, 0, 0, 0, 0)


def icon(size=48):
    px = card_picture(size)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(px) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(px):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    image = info_header(size, size * 2, 32, len(xor) + len(mask)) + xor + bytes(mask)
    group = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHIH", size, size, 0, 0, 1, 32, len(image), 1)
    return image, group


def bitmap(size=57):
    px = card_picture(size)
    stride = (size * 3 + 3) & ~3
    rows = bytearray()
    for row in reversed(px):
        line = bytearray()
        for (r, g, b, a) in row:
            # The toolbox shows the bitmap on a light grey face.
            line += bytes((b, g, r)) if a else bytes((192, 192, 192))
        rows += line + bytes(stride - len(line))
    return info_header(size, size, 24, len(rows)) + bytes(rows)


def main():
    image, group = icon()
    with open(os.path.join(OUT, "icon-202.ico.bin"), "wb") as f:
        f.write(image)
    with open(os.path.join(OUT, "icon-202.group.bin"), "wb") as f:
        f.write(group)
    with open(os.path.join(OUT, "bitmap-201.bmp.bin"), "wb") as f:
        f.write(bitmap())


if __name__ == "__main__":
    main()
