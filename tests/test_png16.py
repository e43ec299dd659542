"""The 16-bit PNG writer, read back by a small chunk parser of its own."""
from __future__ import print_function, division

import os
import struct
import zlib

import numpy as np
import pytest

from lurvo_view.png16 import write_png16

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def read_chunks(data):
    """[(type, data)] with every CRC checked."""
    assert data[:8] == SIGNATURE
    chunks = []
    pos = 8
    while pos < len(data):
        length, = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        assert len(body) == length, "chunk %r cut short" % kind
        crc, = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        assert crc == zlib.crc32(kind + body) & 0xffffffff, \
            "bad CRC on %r" % kind
        chunks.append((kind, body))
        pos += 12 + length
    return chunks


def read_png16(path):
    """(IHDR fields, samples as a uint16 array) of a 16-bit greyscale PNG
    whose rows all use filter type 0."""
    with open(path, "rb") as f:
        chunks = read_chunks(f.read())
    kinds = [k for k, _ in chunks]
    assert kinds[0] == b"IHDR" and kinds[-1] == b"IEND"
    assert chunks[-1][1] == b""
    assert set(kinds[1:-1]) == {b"IDAT"}
    ihdr = struct.unpack(">IIBBBBB", chunks[0][1])
    width, height = ihdr[:2]
    raw = zlib.decompress(b"".join(b for k, b in chunks if k == b"IDAT"))
    assert len(raw) == height * (1 + 2 * width)
    rows = np.frombuffer(raw, dtype=np.uint8).reshape(height, 1 + 2 * width)
    assert not rows[:, 0].any(), "a row uses a filter other than 0"
    samples = rows[:, 1:].copy().view(">u2").reshape(height, width)
    return ihdr, samples


def random_image(height, width):
    a = np.random.RandomState(height * 1000 + width).randint(
        0, 65536, size=(height, width)).astype(np.uint16)
    # Values whose two bytes differ in a known way, to catch byte order.
    a.flat[:4] = [0x0102, 0xff00, 0x00ff, 0xffff][:a.size]
    return a


RAMP = np.arange(6 * 8, dtype=np.uint16).reshape(6, 8) * 1361
IMAGES = [("%dx%d" % hw, random_image(*hw)) for hw in [(1, 1), (3, 5), (17, 2), (64, 100)]] + [
    ("strided", RAMP[:, ::2]),
    ("Fortran order", RAMP.T),
    ("big-endian in memory", RAMP.astype(">u2")),
]


@pytest.mark.parametrize("image", [a for _, a in IMAGES], ids=[name for name, _ in IMAGES])
def test_samples_and_header_read_back(tmpdir, image):
    path = str(tmpdir.join("f.png"))
    write_png16(path, image)
    ihdr, samples = read_png16(path)
    # width, height, bit depth 16, greyscale, deflate, filter 0, no interlace
    assert ihdr == (image.shape[1], image.shape[0], 16, 0, 0, 0, 0)
    assert samples.shape == image.shape
    assert (samples == image).all()


@pytest.mark.parametrize("bad, error", [
    (np.zeros(5, dtype=np.uint16), ValueError),
    (np.zeros((2, 2, 2), dtype=np.uint16), ValueError),
    (np.zeros((0, 4), dtype=np.uint16), ValueError),
    (np.zeros((2, 2), dtype=np.int32), TypeError),
    (np.zeros((2, 2), dtype=np.int16), TypeError),
    (np.zeros((2, 2), dtype=np.float64), TypeError),
])
def test_refuses_what_is_not_a_2d_uint16_image(tmpdir, bad, error):
    path = str(tmpdir.join("no.png"))
    with pytest.raises(error):
        write_png16(path, bad)
    assert not os.path.exists(path)
