"""Draws the 32x32 shelf icon of velmora (a white V with an arrow on a teal
rounded square) and writes it as a PNG, with nothing but zlib and struct.

    python3 make_icon.py <output.png>
"""
import struct
import sys
import zlib

SIZE = 32
BACKGROUND = (31, 122, 140)
FOREGROUND = (245, 245, 240)
ACCENT = (255, 196, 61)


def _inside_rounded_square(x, y, radius=6.0):
    # distance of the pixel centre from the square shrunk by the corner radius
    cx = min(max(x + 0.5, radius), SIZE - radius)
    cy = min(max(y + 0.5, radius), SIZE - radius)
    return (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= radius * radius


def _near_segment(x, y, a, b, width):
    px, py = x + 0.5, y + 0.5
    (ax, ay), (bx, by) = a, b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / float(dx * dx + dy * dy)))
    qx, qy = ax + t * dx, ay + t * dy
    return (px - qx) ** 2 + (py - qy) ** 2 <= (width / 2.0) ** 2


def pixel(x, y):
    """RGBA of one pixel."""
    if not _inside_rounded_square(x, y):
        return (0, 0, 0, 0)
    # the V: two strokes meeting at the bottom
    if _near_segment(x, y, (8, 10), (16, 26), 4) or _near_segment(x, y, (24, 10), (16, 26), 4):
        return FOREGROUND + (255,)
    # a small arrow at the top right: one format turning into another
    if _near_segment(x, y, (21, 5), (28, 5), 2) or _near_segment(x, y, (28, 5), (25, 2), 2) \
            or _near_segment(x, y, (28, 5), (25, 8), 2):
        return ACCENT + (255,)
    return BACKGROUND + (255,)


def _chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png_bytes():
    rows = []
    for y in range(SIZE):
        row = bytearray([0])  # filter type: none
        for x in range(SIZE):
            row.extend(pixel(x, y))
        rows.append(bytes(row))
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header)
            + _chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + _chunk(b"IEND", b""))


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icon.py <output.png>\n")
        return 2
    with open(argv[1], "wb") as f:
        f.write(png_bytes())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
