#!/usr/bin/env python3
"""Draws the updater's icon (an open book with a green arrow coming down into it)
and writes it as a Windows icon file with 16, 32 and 48 pixel images at 8 bits per
pixel, each with a transparency mask.

    make_icon.py OUTPUT.ico           writes the icon
    make_icon.py --check FILE.ico     exits 1 unless FILE.ico is what this script draws

Standard library only: the shapes are polygons in a unit square, sampled 4 x 4 per
pixel; a pixel takes the colour that covers most of its samples, and stays
transparent when the background does.
"""

import struct
import sys

SIZES = (16, 32, 48)
SUBSAMPLES = 4

# Palette index 0 is the (masked) background.
PALETTE = [
    (0, 0, 0),  # 0 transparent
    (30, 58, 138),  # 1 cover and outline, dark blue
    (253, 246, 227),  # 2 paper
    (150, 160, 175),  # 3 text lines
    (34, 139, 58),  # 4 arrow, green
    (16, 92, 34),  # 5 arrow outline, dark green
    (210, 200, 180),  # 6 page shade near the spine
]


def polygon(*points):
    return points


# Shapes in drawing order (later ones paint over earlier ones): (colour, polygon,
# smallest icon size that draws it).
SHAPES = [
    # Cover behind the pages: shows as the dark outline of the open book.
    (1, polygon((0.02, 0.46), (0.50, 0.55), (0.98, 0.46), (0.98, 0.92), (0.50, 1.00),
                (0.02, 0.92)), 16),
    # Left and right pages.
    (2, polygon((0.08, 0.49), (0.47, 0.58), (0.47, 0.93), (0.08, 0.86)), 16),
    (2, polygon((0.53, 0.58), (0.92, 0.49), (0.92, 0.86), (0.53, 0.93)), 16),
    # Shade at the spine.
    (6, polygon((0.40, 0.57), (0.47, 0.58), (0.47, 0.93), (0.40, 0.915)), 32),
    (6, polygon((0.53, 0.58), (0.60, 0.57), (0.60, 0.915), (0.53, 0.93)), 32),
    # Lines of text on both pages.
    (3, polygon((0.14, 0.62), (0.40, 0.675), (0.40, 0.705), (0.14, 0.65)), 32),
    (3, polygon((0.14, 0.72), (0.40, 0.775), (0.40, 0.805), (0.14, 0.75)), 32),
    (3, polygon((0.60, 0.675), (0.86, 0.62), (0.86, 0.65), (0.60, 0.705)), 32),
    (3, polygon((0.60, 0.775), (0.86, 0.72), (0.86, 0.75), (0.60, 0.805)), 32),
    # The arrow: outline first, then the green body inside it.
    (5, polygon((0.34, 0.00), (0.66, 0.00), (0.66, 0.26), (0.84, 0.26), (0.50, 0.62),
                (0.16, 0.26), (0.34, 0.26)), 16),
    (4, polygon((0.39, 0.04), (0.61, 0.04), (0.61, 0.31), (0.74, 0.31), (0.50, 0.56),
                (0.26, 0.31), (0.39, 0.31)), 32),
]


def inside(polygon_points, x, y):
    """Even-odd rule."""
    result = False
    count = len(polygon_points)
    for i in range(count):
        x1, y1 = polygon_points[i]
        x2, y2 = polygon_points[(i + 1) % count]
        if (y1 > y) != (y2 > y):
            crossing = x1 + (y - y1) * (x2 - x1) / (y2 - y1)
            if x < crossing:
                result = not result
    return result


def render(size):
    """Rows of palette indices, top row first."""
    shapes = [(colour, points) for colour, points, smallest in SHAPES if size >= smallest]
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            votes = {}
            for sy in range(SUBSAMPLES):
                for sx in range(SUBSAMPLES):
                    x = (px + (sx + 0.5) / SUBSAMPLES) / size
                    y = (py + (sy + 0.5) / SUBSAMPLES) / size
                    colour = 0
                    for shape_colour, points in shapes:
                        if inside(points, x, y):
                            colour = shape_colour
                    votes[colour] = votes.get(colour, 0) + 1
            # Most samples win; ties go to the lower index, so edges stay crisp.
            row.append(max(sorted(votes), key=lambda c: votes[c]))
        rows.append(row)
    return rows


def icon_image(size):
    """One icon image: BITMAPINFOHEADER, 256-colour palette, pixels, mask."""
    rows = render(size)
    pixel_stride = (size * 8 + 31) // 32 * 4
    mask_stride = (size + 31) // 32 * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bottom-up
        line = bytes(row) + bytes(pixel_stride - size)
        pixels += line
        bits = bytearray(mask_stride)
        for x, colour in enumerate(row):
            if colour == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, len(pixels) + len(mask),
                         0, 0, 0, 0)
    palette = bytearray()
    for index in range(256):
        red, green, blue = PALETTE[index] if index < len(PALETTE) else (0, 0, 0)
        palette += bytes((blue, green, red, 0))
    return header + bytes(palette) + bytes(pixels) + bytes(mask)


def icon_file():
    images = [icon_image(size) for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = bytearray()
    for size, image in zip(SIZES, images):
        # Width, height, colour count (0 for 256), reserved, planes, bits, bytes, offset.
        entries += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8, len(image), offset)
        offset += len(image)
    return directory + bytes(entries) + b"".join(images)


def main(argv):
    if len(argv) == 3 and argv[1] == "--check":
        with open(argv[2], "rb") as existing:
            if existing.read() != icon_file():
                print(f"{argv[2]} differs from what {argv[0]} draws; regenerate it", file=sys.stderr)
                return 1
        print(f"{argv[2]} is up to date")
        return 0
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], "wb") as output:
        output.write(icon_file())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
