#!/usr/bin/env python3
"""Draws RestLevel's icons: the three 16 x 16 tray images (white loudspeaker on
teal = watching, yellow on teal = resting, white on grey = disabled) and the
program icon in several sizes. Writes PNG files and Windows .ico files next to
this script. Pure Python (zlib + struct), so it runs anywhere Python does."""
import os
import struct
import zlib

TEAL = (0, 128, 128)
GREY = (128, 128, 128)
WHITE = (255, 255, 255)
YELLOW = (255, 214, 0)
HERE = os.path.dirname(os.path.abspath(__file__))


def inside_shape(x, y, size):
    """The loudspeaker in a unit square: x, y in 0..1, y downwards."""
    # Magnet: a small block on the left.
    if 0.16 <= x <= 0.36 and 0.38 <= y <= 0.62:
        return True
    # Cone: widens from the block to the right.
    if 0.36 <= x <= 0.58:
        t = (x - 0.36) / 0.22
        half = 0.12 + t * 0.22
        if abs(y - 0.5) <= half:
            return True
    # Two sound waves: arcs around the cone's mouth.
    dx, dy = x - 0.56, y - 0.5
    r = (dx * dx + dy * dy) ** 0.5
    if dx > 0 and abs(dy) < dx * 1.4:
        # Bolder at 16 pixels, where a thin arc would blur away.
        inner, outer = ((0.15, 0.25), (0.31, 0.41)) if size <= 16 else ((0.17, 0.24), (0.30, 0.37))
        if inner[0] <= r <= inner[1] or outer[0] <= r <= outer[1]:
            return True
    return False


def inside_square(x, y, size):
    """A square with slightly rounded corners filling the image."""
    radius = 0.14 if size <= 16 else 0.18
    cx = min(max(x, radius), 1 - radius)
    cy = min(max(y, radius), 1 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def draw(size, background, foreground, samples=4):
    pixels = []
    for py in range(size):
        row = []
        for px in range(size):
            fg = bg = 0
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) / size
                    y = (py + (sy + 0.5) / samples) / size
                    if inside_square(x, y, size):
                        if inside_shape(x, y, size):
                            fg += 1
                        else:
                            bg += 1
            n = samples * samples
            alpha = (fg + bg) / n
            if fg + bg == 0:
                row.append((0, 0, 0, 0))
                continue
            w = fg / (fg + bg)
            rgb = tuple(round(background[i] * (1 - w) + foreground[i] * w) for i in range(3))
            row.append(rgb + (round(alpha * 255),))
        pixels.append(row)
    return pixels


def png(pixels):
    size = len(pixels)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def bmp_entry(pixels):
    """A 32-bit icon image as Windows stores it: BITMAPINFOHEADER, bottom-up
    BGRA rows, then the 1-bit AND mask."""
    size = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(pixels) for p in row)
    mask_row = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(pixels):
        bits = bytearray(mask_row)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + colour + mask


def ico(images):
    entries = b""
    data = b""
    offset = 6 + 16 * len(images)
    for pixels in images:
        size = len(pixels)
        body = bmp_entry(pixels)
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(body), offset)
        data += body
        offset += len(body)
    return struct.pack("<HHH", 0, 1, len(images)) + entries + data


def main():
    tray = [("tray-watching", TEAL, WHITE), ("tray-resting", TEAL, YELLOW), ("tray-disabled", GREY, WHITE)]
    for name, background, foreground in tray:
        pixels = draw(16, background, foreground)
        with open(os.path.join(HERE, name + ".png"), "wb") as f:
            f.write(png(pixels))
        with open(os.path.join(HERE, name + ".ico"), "wb") as f:
            f.write(ico([pixels]))
    sizes = [16, 32, 48, 64]
    images = [draw(s, TEAL, WHITE) for s in sizes]
    with open(os.path.join(HERE, "restlevel.ico"), "wb") as f:
        f.write(ico(images))
    for s, pixels in zip(sizes, images):
        with open(os.path.join(HERE, "restlevel-%d.png" % s), "wb") as f:
            f.write(png(pixels))


if __name__ == "__main__":
    main()
