"""A 16-bit greyscale PNG writer made of the standard library's zlib and
struct: the view saves frames with it, and the demo its picture."""
from __future__ import print_function, division

import struct
import zlib

import numpy as np

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def _chunk(kind, data):
    crc = zlib.crc32(kind + data) & 0xffffffff
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)


def png16_bytes(array):
    """The PNG file for a 2-D uint16 array: bit depth 16, colour type 0
    (greyscale), no interlace, filter type 0 on every row."""
    a = np.asarray(array)
    if a.ndim != 2:
        raise ValueError("need a 2-D array, got %d dimensions" % a.ndim)
    if a.dtype.kind != "u" or a.dtype.itemsize != 2:
        raise TypeError("need a uint16 array, got %s" % a.dtype)
    height, width = a.shape
    if height < 1 or width < 1:
        raise ValueError("cannot write an empty %dx%d image" % (width, height))
    if height > 0x7fffffff or width > 0x7fffffff:
        raise ValueError("image too large for PNG")
    # Each scanline is a filter-type byte (0) then the samples big-endian.
    rows = np.zeros((height, 1 + 2 * width), dtype=np.uint8)
    rows[:, 1:] = np.ascontiguousarray(a, dtype=">u2").view(np.uint8) \
        .reshape(height, 2 * width)
    ihdr = struct.pack(">IIBBBBB", width, height, 16, 0, 0, 0, 0)
    return b"".join((PNG_SIGNATURE,
                     _chunk(b"IHDR", ihdr),
                     _chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)),
                     _chunk(b"IEND", b"")))


def write_png16(path, array):
    """Writes a 2-D uint16 numpy array to path as a 16-bit greyscale PNG."""
    data = png16_bytes(array)
    with open(path, "wb") as f:
        f.write(data)
