"""Writes the seed corpus of the fuzz targets into tests/fuzz/corpus/<target>/.

Every input starts with one byte that the targets take as the size of the
error buffer; the rest is the response or the PGM.  The seeds are small
valid and nearly valid inputs, so that the fuzzer starts from inside the
accepted forms instead of having to find "HTTP/1.0 200 OK" by itself.
Run it again after changing it; it replaces the generated files and
leaves the others (the crash regressions) alone.

    python tests/fuzz/make_corpus.py
"""
from __future__ import print_function

import hashlib
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PREFIX = "seed-"

sys.path.append(os.path.dirname(HERE))
from testkit.responses import http_response, pgm as pgm_of  # noqa: E402


def pgm(width, height, maxval):
    """A PGM whose samples differ from their neighbours."""
    return pgm_of(width, height, maxval,
                  [(i * 37 + 11) % (maxval + 1) for i in range(width * height)])


def pgm_seeds():
    return [
        pgm(2, 2, 255), pgm(3, 1, 4095), pgm(17, 2, 65535), pgm(1, 1, 1),
        pgm(2, 1, 0), pgm(0, 0, 255), pgm(5, 0, 65535), pgm(4, 4, 255)[:-1],
        pgm(3, 3, 65535)[:-3], b"P5\n65537 1\n255\n\x0b",
        b"P6\n1 1\n255\n\x00\x00\x00", b"P5 2 2 255\n\x01\x02\x03\x04", b"P5\n", b"",
    ]


def response_seeds():
    small = pgm(2, 2, 255)
    return [
        http_response(small),
        http_response(small, version=b"HTTP/1.1", content_type=b"image/png",
                      extra=b"Content-Length: 15\r\nServer: cam\r\n"),
        http_response(small, content_type=b"image/jpeg"),
        http_response(b"", content_type=None, extra=b"Content-type:image/x-portable-graymap\n"),
        http_response(b"nope", status=b"404 Not Found", content_type=b"text/plain"),
        b"HTTP/1.0 200 OK\r\n", b"HTTP/1.0 200 OK\r\n\r\n::\r\n\r\n",
        b"HTTP/1.0 200 OK\r\nX: a\x00\r\n\r\n", b"HTTP/1.0 500 \xff\r\n\r\n",
    ]


def pipeline_seeds():
    bodies = [pgm(2, 2, 255), pgm(9, 2, 65535), pgm(3, 1, 4095), pgm(2, 1, 1), pgm(2, 1, 0),
              pgm(0, 3, 255), pgm(3, 3, 255)[:-2]]
    return [http_response(body) for body in bodies] + [
        http_response(pgm(1, 1, 255), content_type=b"image/png"),
        http_response(pgm(2, 2, 511), version=b"HTTP/1.1", extra=b"Server: cam\r\n"),
    ]


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    if not os.path.isdir(folder):
        os.makedirs(folder)
    for name in os.listdir(folder):
        if name.startswith(PREFIX):
            os.remove(os.path.join(folder, name))
    count = 0
    for body in seeds:
        # A roomy error buffer and a tight one that cuts every text.
        for err_size in (200, 7):
            data = struct.pack("B", err_size) + body
            name = PREFIX + hashlib.sha1(data).hexdigest()[:16]
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
            count += 1
    print("%s: %d seeds" % (target, count))


if __name__ == "__main__":
    write("pgm", pgm_seeds())
    write("response", response_seeds())
    write("pipeline", pipeline_seeds())
