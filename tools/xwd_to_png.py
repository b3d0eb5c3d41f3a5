#!/usr/bin/env python3
"""Converts a 24/32-bit TrueColor XWD image (as Xvfb keeps its screen with -fbdir)
to PNG, optionally cropped. Standard library only.

    xwd_to_png.py SCREEN.xwd OUT.png [LEFT TOP RIGHT BOTTOM]
"""

import struct
import sys
import zlib


def read_xwd(path):
    with open(path, "rb") as source:
        data = source.read()
    header = struct.unpack(">25I", data[:100])
    header_size, _, _, _, width, height = header[:6]
    byte_order, bits_per_pixel, bytes_per_line = header[7], header[11], header[12]
    colours = header[19]
    if bits_per_pixel != 32:
        raise SystemExit(f"{path}: {bits_per_pixel} bits per pixel; only 32 is handled")
    offset = header_size + colours * 12
    return data, offset, width, height, bytes_per_line, byte_order


def png_chunk(kind, payload):
    crc = zlib.crc32(kind + payload) & 0xFFFFFFFF
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", crc)


def main(argv):
    if len(argv) not in (3, 7):
        print(__doc__, file=sys.stderr)
        return 2
    data, offset, width, height, stride, byte_order = read_xwd(argv[1])
    left, top, right, bottom = (0, 0, width, height)
    if len(argv) == 7:
        left, top, right, bottom = (int(value) for value in argv[3:7])
        left, top = max(left, 0), max(top, 0)
        right, bottom = min(right, width), min(height, bottom)
    rows = bytearray()
    for y in range(top, bottom):
        rows.append(0)  # no filter
        line = offset + y * stride
        for x in range(left, right):
            pixel = data[line + 4 * x:line + 4 * x + 4]
            # LSB first: blue, green, red, pad. MSB first: pad, red, green, blue.
            rows += bytes((pixel[2], pixel[1], pixel[0])) if byte_order == 0 else pixel[1:4]
    header = struct.pack(">IIBBBBB", right - left, bottom - top, 8, 2, 0, 0, 0)
    with open(argv[2], "wb") as output:
        output.write(b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) +
                     png_chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + png_chunk(b"IEND", b""))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
