"""The frames a benchmark serves and the server that serves them: the
bench's C++ camera server (tools/bench/frame_server.cpp, built by the
Makefile as build/frame_server), prebuilt responses from memory, one
connection at a time on 127.0.0.1."""
from __future__ import division

import os
import subprocess

import numpy as np

from project import built
from lurvo_camserver.pgm import pgm_parts
from testkit.responses import top_bits

SERVER_SECONDS = 900
SERVER_CONNECTIONS = 200000


def server_binary():
    return built("frame_server", "frame_server.cpp")


class Kind(object):
    """One kind of frame: seeded random samples, their PGM (raster: its
    samples' bytes) and the array get_frame must return for them."""

    def __init__(self, index, name, width, height, maxval):
        self.name, self.width, self.height, self.maxval = name, width, height, maxval
        self.uri = "/frame%d.pgm" % index
        self.bpp = maxval.bit_length()
        rng = np.random.RandomState(1234 + index)
        dtype = np.uint8 if maxval <= 255 else np.uint16
        self.samples = rng.randint(0, maxval + 1, size=(height, width)).astype(dtype)
        header, self.raster = pgm_parts(self.samples, maxval)
        self.pgm = header + self.raster
        self.pixel_bytes = len(self.raster)
        self.expected = top_bits(self.samples, maxval)


class FrameServer(object):
    """build/frame_server in its own process, serving each kind's PGM at
    its uri (at `rate` bits a second when given, else as fast as it can),
    bounded in time and count by itself and stopped by its PID."""

    def __init__(self, binary, kinds, folder, rate=None):
        routes = []
        for kind in kinds:
            path = os.path.join(folder, kind.uri.strip("/"))
            with open(path, "wb") as f:
                f.write(kind.pgm)
            routes.append("%s=%s" % (kind.uri, path))
        pace = ["--rate=%d" % rate] if rate else []
        self.proc = subprocess.Popen([binary, str(SERVER_SECONDS), str(SERVER_CONNECTIONS)] + pace
                                     + routes, stdout=subprocess.PIPE)
        line = self.proc.stdout.readline()
        if not line.strip():
            self.stop()
            raise RuntimeError("frame server did not start")
        self.port = int(line)

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait()
