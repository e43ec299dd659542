"""get_frame reads the samples where they lie in the receive buffer, at
any address, and converts them into the array in one pass."""
import os
import platform
import subprocess

import numpy as np
import pytest

import lurvo
from testkit import ROOT
from testkit.responses import frame_response, http_response, top_bits
from testkit.scripted_server import serving
from testkit.stages import UNDER_EMULATOR, caught


def route_sources():
    """The route table and the module's sources that need neither Python nor
    sockets (those src/sources.txt leaves unmarked)."""
    with open(os.path.join(ROOT, "src", "sources.txt")) as listing:
        rows = [line.split() for line in listing if line.strip() and not line.startswith("#")]
    return [os.path.join(ROOT, "tests", "route_table.cpp")] + [
        os.path.join(ROOT, "src", row[0]) for row in rows if len(row) == 1]


# Every route of the sample conversion this machine builds: the target's
# own, and on x86-64 the plain loops too, which other targets take.
HAS_SSE2 = platform.machine() in ("x86_64", "AMD64")
ROUTES = [([], "sse2" if HAS_SSE2 else "portable")]
ROUTES += [(["-DLURVO_PORTABLE_SAMPLES"], "portable")] if HAS_SSE2 else []


@pytest.mark.parametrize("flags, conversion", ROUTES)
def test_route_table_of_every_depth_count_and_alignment(tmpdir, flags, conversion):
    # Built with its own sanitizer runtime; an interpreter's preloaded one
    # (make sanitize) must not reach the compiler.
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    sanitizers = "address,undefined"
    if UNDER_EMULATOR:
        # Under qemu-user AddressSanitizer's shadow became real memory (the
        # table of sid's gcc 16 grew to 24 GB and was killed).  The plain
        # loops run under it natively (the second route of ROUTES);
        # here the table checks what the target's compiler made of them.
        sanitizers = "undefined"
    binary = str(tmpdir.join("route_table"))
    subprocess.check_call(
        ["g++", "-std=c++17", "-O2", "-g", "-fsanitize=" + sanitizers,
         "-fno-sanitize-recover=all", "-Wall", "-Wextra", "-Werror",
         "-I", os.path.join(ROOT, "src"), "-I", os.path.join(ROOT, "tests"), "-o", binary]
        + flags + route_sources(), env=env)
    out = subprocess.check_output([binary], env=env).decode()
    # 17 depths x 41 counts x 16 alignments
    assert out == "11152 cases, both routes gave every sample (%s conversion)\n" % conversion


def assert_frames_come_back(cases):
    """cases: (maxval, samples, response); each response, served in turn,
    must give the samples moved to the top bits, in one row."""
    with serving(*[r for _, _, r in cases], duration=60) as srv:
        cam = lurvo.cam("127.0.0.1", srv.port)
        for maxval, samples, response in cases:
            assert (maxval, len(response), cam.get_frame().tolist()) == (
                maxval, len(response), [top_bits(samples, maxval).tolist()])


def test_every_depth_and_tail_length():
    # The array is filled 16 samples at a time with the rest one by one:
    # lengths around that block size, each bit depth (0..16), and the
    # extremes of every depth must all come out as the plain shift.
    rng = np.random.RandomState(7)
    cases = []
    for maxval in [0] + [(1 << bits) - 1 for bits in range(1, 17)] + [1000, 300]:
        for count in (1, 15, 16, 17, 31, 33, 250):
            values = [int(v) for v in rng.randint(0, maxval + 1, size=count)]
            values[:2] = [maxval, 0][:count]
            cases.append((maxval, values, frame_response(count, 1, maxval, values)))
    assert_frames_come_back(cases)


def test_samples_at_every_address_of_the_module_buffer():
    # A header line of 0 to 15 bytes moves the samples through every
    # position modulo 16; 37 samples are two vector blocks and a tail.
    cases = []
    for maxval in (1, 255, 4095, 65535):
        values = [(i * 7919) % (maxval + 1) for i in range(37)]
        cases += [(maxval, values, frame_response(37, 1, maxval, values,
                                                  extra=b"X-Pad: " + b"p" * pad + b"\r\n"))
                  for pad in range(16)]
    assert_frames_come_back(cases)


def test_the_first_failure_is_reported_http_then_content_type_then_pgm():
    bad_pgm = b"P6\n1 1\n255\n\x00"
    cases = [(http_response(bad_pgm, status=b"404 Not Found"), "HTTP response: 404 Not Found"),
             (http_response(bad_pgm, content_type=b"image/png"), "wrong content type"),
             (http_response(b"", content_type=b"text/plain"), "wrong content type"),
             (http_response(bad_pgm), "unknown PGM type P6")]
    with serving(*[r for r, _ in cases], duration=30) as srv:
        cam = lurvo.cam("127.0.0.1", srv.port)
        assert [(r, caught(cam.get_frame)) for r, _ in cases] == cases
