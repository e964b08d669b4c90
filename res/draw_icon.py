#!/usr/bin/env python3
"""Draws vantrel.ico: a white disc with a grey rim carrying a blue arrow that points down,
at 16, 20, 24, 32, 40 and 48 pixels (the notification area's sizes at 100 % to 250 %, and the
larger ones), each drawn for its own size, 24 bits per pixel with a 1-bit transparency mask.
Run it from anywhere; it writes the icon beside itself."""
import os
import struct

WHITE, RIM, BLUE = (255, 255, 255), (128, 128, 128), (0, 90, 200)


def pixel(x, y, n):
    """Colour at pixel (x, y) of an n-by-n icon, or None outside the disc. y grows downwards."""
    c = (n - 1) / 2
    r = n / 2 - 0.3
    dx, dy = x - c, y - c
    d = (dx * dx + dy * dy) ** 0.5
    if d > r:
        return None
    if d > r - max(1, n / 16):
        return RIM
    # The arrow: a shaft from the top third down to the middle, then a head to the bottom.
    u, v = dx / r, dy / r  # -1 .. 1
    if -0.62 <= v <= 0.08 and abs(u) <= 0.2:
        return BLUE
    if 0.0 <= v <= 0.65 and abs(u) <= 0.6 * (0.65 - v) / 0.65:
        return BLUE
    return WHITE


def image(n):
    rows, mask = b"", b""
    stride = (n * 3 + 3) & ~3
    mask_stride = ((n + 31) // 32) * 4
    for y in reversed(range(n)):  # bottom-up rows
        row, bits = b"", 0
        mask_row = bytearray(mask_stride)
        for x in range(n):
            p = pixel(x, y, n)
            if p is None:
                mask_row[x // 8] |= 0x80 >> (x % 8)
                p = (0, 0, 0)
            row += bytes((p[2], p[1], p[0]))
        rows += row + b"\0" * (stride - len(row))
        mask += bytes(mask_row)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 24, 0, len(rows) + len(mask), 0, 0, 0, 0)
    return header + rows + mask


def main():
    sizes = (16, 20, 24, 32, 40, 48)
    images = [image(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 24, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "vantrel.ico"), "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
