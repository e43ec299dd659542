"""Binary PGM ("P5"), written in the one strict header form lurvo accepts
and read in any header form netpbm allows."""
from __future__ import division

import array
import sys

WHITESPACE = b" \t\r\n\x0b\x0c"


def maxval_for_bits(bits):
    return (1 << bits) - 1


def encode_samples(values, maxval):
    """Raw PGM samples: one byte each up to maxval 255, else two bytes
    big-endian."""
    if maxval <= 255:
        return bytes(bytearray(values))
    a = array.array("H", values)
    if sys.byteorder == "little":
        a.byteswap()
    return a.tobytes() if hasattr(a, "tobytes") else a.tostring()


def pgm_header(width, height, maxval):
    """The one header form lurvo accepts: no comments, one space between
    width and height, LF line ends."""
    return ("P5\n%d %d\n%d\n" % (width, height, maxval)).encode("ascii")


def pgm_parts(samples, maxval):
    """The header and raster of a binary PGM in the strict form, from a
    2-D NumPy array of uint8 or uint16 samples, none above maxval: one
    byte a sample up to maxval 255, else two, big-endian."""
    import numpy as np
    samples = np.asarray(samples)
    if samples.ndim != 2 or samples.dtype not in (np.uint8, np.uint16):
        raise ValueError("a frame is a 2-D array of uint8 or uint16, not %d-D %s"
                         % (samples.ndim, samples.dtype))
    maxval = int(maxval)
    if not 1 <= maxval <= 65535:
        raise ValueError("maxval %d is outside 1..65535" % maxval)
    height, width = samples.shape
    if width < 1 or height < 1:
        raise ValueError("size %dx%d is empty" % (width, height))
    # A pass over every sample, skipped where the type cannot exceed maxval.
    if maxval < np.iinfo(samples.dtype).max:
        top = int(samples.max())
        if top > maxval:
            raise ValueError("a sample is %d, above maxval %d" % (top, maxval))
    raster = samples.astype(">u1" if maxval <= 255 else ">u2", copy=False)
    return pgm_header(width, height, maxval), raster.tobytes()


def pgm_bytes(samples, maxval):
    """pgm_parts joined: the PGM file's bytes."""
    return b"".join(pgm_parts(samples, maxval))


def _skip_space_and_comments(data, pos):
    n = len(data)
    while pos < n:
        c = data[pos:pos + 1]
        if c in WHITESPACE:
            pos += 1
        elif c == b"#":
            while pos < n and data[pos:pos + 1] not in b"\r\n":
                pos += 1
        else:
            break
    return pos


def _read_fields(data):
    """width, height, maxval and the offset of the raster."""
    pos, n = 2, len(data)
    values = []
    for name in ("width", "height", "maxval"):
        pos = _skip_space_and_comments(data, pos)
        start = pos
        while pos < n and data[pos:pos + 1].isdigit():
            pos += 1
        if start == pos:
            raise ValueError("no %s in the header" % name)
        values.append(int(data[start:pos]))
    if pos >= n or data[pos:pos + 1] not in WHITESPACE:
        raise ValueError("no whitespace after maxval")
    return values + [pos + 1]


def _top_sample(raster, bps):
    if bps == 1:
        return max(bytearray(raster))
    a = array.array("H")
    if hasattr(a, "frombytes"):
        a.frombytes(raster)
    else:
        a.fromstring(raster)
    if sys.byteorder == "little":
        a.byteswap()
    return max(a)


def read_header(data):
    """Reads the header of a binary PGM in any form netpbm allows
    (comments, any whitespace) and returns (width, height, maxval, offset
    of the raster), looking at nothing beyond the header: a client decodes
    the raster where it lies.  Raises ValueError with the reason."""
    if data[:2] != b"P5":
        raise ValueError("not a binary PGM (starts with %r, expected 'P5')"
                         % data[:2])
    width, height, maxval, pos = _read_fields(data)
    if width < 1 or height < 1:
        raise ValueError("size %dx%d is empty" % (width, height))
    if not 1 <= maxval <= 65535:
        raise ValueError("maxval %d is outside 1..65535" % maxval)
    return width, height, maxval, pos


def parse_pgm(data, check_samples=True):
    """Reads a binary PGM (header as read_header reads it) and returns
    (width, height, maxval, raster).  Raises ValueError with the reason.
    The samples are checked against maxval unless check_samples is false
    (a pure-Python pass over every sample is too slow to make per frame)."""
    width, height, maxval, pos = read_header(data)
    bps = 1 if maxval <= 255 else 2
    want = width * height * bps
    got = len(data) - pos
    if got < want:
        raise ValueError("raster is %d bytes, %dx%d needs %d"
                         % (got, width, height, want))
    if got > want:
        extra = got - want
        raise ValueError("%d byte%s after the raster (only one image per "
                         "file is served)" % (extra, "" if extra == 1 else "s"))
    raster = data[pos:]
    if check_samples:
        top = _top_sample(raster, bps)
        if top > maxval:
            raise ValueError("a sample is %d, above maxval %d" % (top, maxval))
    return width, height, maxval, raster
