"""Where the camera server's frames come from: the moving test pattern,
the .pgm files of a folder, or a function of the user's.  Each source
makes the whole HTTP response of frame number n with response(n)."""
from __future__ import division

import os
import threading

from lurvo_camserver.http import PGM_TYPE, http_head
from lurvo_camserver.pgm import encode_samples, maxval_for_bits, parse_pgm, pgm_header, pgm_parts

PHASES = 16
COUNTER_BITS = 32


def pgm_response(header, raster):
    """The 200 response that carries one PGM."""
    return b"".join((http_head(200, PGM_TYPE, len(header) + len(raster)), header, raster))


class Pattern(object):
    """Frames of the synthetic test pattern.  The ramp and bar of all
    phases are built once at start-up; only the counter band is made per
    request, so serving costs one join of a few megabytes."""

    def __init__(self, width, height, bits):
        self.width = width
        self.height = height
        self.maxval = maxval_for_bits(bits)
        self.bps = 1 if self.maxval <= 255 else 2
        self.band = min(16, max(1, height // 8))
        self.nbits = min(COUNTER_BITS, width)
        self.block = width // self.nbits
        self.header = pgm_header(width, height, self.maxval)
        self.frame_size = len(self.header) + width * height * self.bps
        self.head = http_head(200, PGM_TYPE, self.frame_size)
        self.lower = self._build_phases()

    def _build_phases(self):
        w, h, bps, maxval = self.width, self.height, self.bps, self.maxval
        # Sample (x, y) is ramp[x + y]: each row is a slice of one long
        # ramp, which keeps start-up fast without numpy.
        n = w + h - 1
        top = max(1, n - 1)
        ramp = encode_samples([i * maxval // top for i in range(n)], maxval)
        rowlen = w * bps
        base = bytearray(b"".join(ramp[y * bps:y * bps + rowlen]
                                  for y in range(self.band, h)))
        bar_w = max(1, w // 32)
        bar = encode_samples([maxval] * bar_w, maxval)
        phases = []
        for p in range(PHASES):
            frame = bytearray(base)
            x0 = min(p * w // PHASES, w - bar_w) * bps
            for r in range(h - self.band):
                off = r * rowlen + x0
                frame[off:off + len(bar)] = bar
            phases.append(bytes(frame))
        return phases

    def counter_band(self, number):
        values = []
        for k in range(self.nbits - 1, -1, -1):
            on = (number >> k) & 1
            values.extend([self.maxval if on else 0] * self.block)
        values.extend([0] * (self.width - len(values)))
        return encode_samples(values, self.maxval) * self.band

    def response(self, number):
        return b"".join((self.head, self.header, self.counter_band(number),
                         self.lower[number % PHASES]))


def _read_checked(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except (IOError, OSError) as e:
        raise ValueError("cannot read %s: %s" % (path, e.strerror or e))
    try:
        width, height, maxval, raster = parse_pgm(data)
    except ValueError as e:
        raise ValueError("%s: %s" % (path, e))
    return pgm_header(width, height, maxval), raster


class DirFrames(object):
    """The .pgm files of a folder, checked and held in memory, each with
    its header rewritten in the strict form."""

    def __init__(self, folder):
        names = sorted(f for f in os.listdir(folder)
                       if f.lower().endswith(".pgm")
                       and os.path.isfile(os.path.join(folder, f)))
        if not names:
            raise ValueError("%s holds no .pgm file" % folder)
        self.names = names
        self.responses = [pgm_response(*_read_checked(os.path.join(folder, name)))
                          for name in names]

    def response(self, number):
        return self.responses[number % len(self.responses)]


class FunctionFrames(object):
    """Frames from a function of the user's, one call per request; calls
    are made one at a time, so the function need not be thread-safe."""

    def __init__(self, frames):
        self.frames = frames
        self.lock = threading.Lock()

    def response(self, number):
        with self.lock:
            frame = self.frames()
        if isinstance(frame, (bytes, bytearray)):
            width, height, maxval, raster = parse_pgm(bytes(frame), check_samples=False)
            header = pgm_header(width, height, maxval)
        elif isinstance(frame, tuple) and len(frame) == 2:
            header, raster = pgm_parts(*frame)
        else:
            raise TypeError("a frame function returns (array, maxval) or PGM "
                            "bytes, not %s" % type(frame).__name__)
        return pgm_response(header, raster)
