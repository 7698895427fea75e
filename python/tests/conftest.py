import struct

import pytest


def write_bmp(path, width, height):
    """A 24-bit BMP, drawn as a red-to-blue ramp with a green row marker, so that size, flips
    and channel order all show in a converted copy."""
    row_pad = (4 - width * 3 % 4) % 4
    rows = []
    for y in range(height - 1, -1, -1):  # BMP rows run bottom-up
        row = bytearray()
        for x in range(width):
            r = 255 * x // max(width - 1, 1)
            g = 255 if y == 0 else 0
            row += bytes((255 - r, g, r))  # stored B, G, R
        rows.append(bytes(row) + b"\0" * row_pad)
    pixels = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)
    return path


@pytest.fixture
def bmp(tmp_path):
    return write_bmp(tmp_path / "ramp.bmp", 37, 21)
