"""Tables over every cut and every piece size.

Every prefix of a valid response, and of a valid PGM, is refused cleanly:
a negative result, the expected text, and nothing read or written outside
the bytes given (each stage runs on an exact buffer and on a guarded one,
testkit.stages.both_ways)."""
import os
import subprocess
import sys
import sysconfig

import pytest

import lurvo
from testkit.processes import plain_env
from testkit.responses import frame_response, pgm, pgm_header
from testkit.scripted_server import ScriptedServer
from testkit.stages import NO_END, STATUS_ONLY, extract, parse


def pipeline(data):
    """What get_frame does after the exchange: returns (result, text)."""
    n, after, code, text = parse(data)
    if n < 0:
        return n, text
    assert code == 3
    result, _, _, _, err, _ = extract(after[:n])
    return result, err.split(b"\0")[0] if result < 0 else text


def expected_pgm_text(cut, head_len, samples):
    """The text for a PGM cut to `cut` bytes."""
    if cut < 2:
        return b"cannot extract PGM, header not valid"
    if cut < head_len:
        return b"error in PGM"
    return b"buffer too small (%d, need %d)" % (cut, samples)


def expected_pipeline_text(cut, header_end, pgm_head_len, samples):
    """The text for a response cut to `cut` bytes."""
    if cut < 16:
        return b"cannot dispatch response"
    if cut == 16:
        return b"HTTP response: 200 OK"        # status line cut before its LF
    if cut == 17:
        return STATUS_ONLY.encode()
    if cut < header_end:
        return NO_END.encode()
    return expected_pgm_text(cut - header_end, pgm_head_len, samples)


@pytest.mark.parametrize("maxval,values", [(255, [9, 0, 255, 7, 1, 2]),
                                           (65535, [0x1234, 0, 0xffff, 7, 0x8000, 2])])
def test_every_prefix_of_a_response_is_refused(maxval, values):
    body = pgm(3, 2, maxval, values)
    response = frame_response(3, 2, maxval, values, extra=b"Server: cam\r\n")
    header_end = len(response) - len(body)
    pgm_head_len = len(pgm_header(3, 2, maxval))
    for cut in range(len(response)):
        assert (cut,) + pipeline(response[:cut]) == (
            cut, -1, expected_pipeline_text(cut, header_end, pgm_head_len, 6))
    result, text = pipeline(response)
    assert result >= 0 and text == b"no error"


@pytest.mark.parametrize("maxval", [255, 4095, 65535])
def test_every_prefix_of_a_pgm_is_refused_and_left_unchanged(maxval):
    width, height = 5, 3
    data = pgm(width, height, maxval, [(i * 97) % (maxval + 1) for i in range(width * height)])
    head_len = len(pgm_header(width, height, maxval))
    for cut in range(len(data)):
        n, _, _, _, err, after = extract(data[:cut])
        assert (cut, n, err.split(b"\0")[0], after) == (
            cut, -1, expected_pgm_text(cut, head_len, width * height), data[:cut])
    assert extract(data)[0] >= 0


def test_a_frame_sent_in_pieces_of_every_size_gives_the_same_array():
    values = [(i * 4099) & 0xffff for i in range(4 * 3)]
    response = frame_response(4, 3, 65535, values)
    expected = [values[0:4], values[4:8], values[8:12]]
    scripts = []
    for size in range(1, len(response) + 1):
        pieces = [response[i:i + size] for i in range(0, len(response), size)]
        scripts.append([step for p in pieces for step in (("send", p), ("sleep", 0.002))])
    with ScriptedServer(scripts, process=True, duration=30) as srv:
        cam = lurvo.cam("127.0.0.1", srv.port)
        for size in range(1, len(response) + 1):
            assert (size, cam.get_frame().tolist()) == (size, expected)


# A memcpy that copies from the last byte down, as the C standard allows;
# for calls from our module whose regions overlap, so that such a move
# comes out wrong even where the C library's memcpy happens to move
# forward like memmove.  Everything else goes to the real memmove.
BACKWARD_MEMCPY = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>
void *memcpy(void *dst, const void *src, size_t n)
{
    volatile unsigned char *d = dst;
    const volatile unsigned char *s = src;
    Dl_info info;
    if (d < s + n && s < d + n && dladdr(__builtin_return_address(0), &info)
        && info.dli_fname && strstr(info.dli_fname, "lurvo")) {
        while (n--)
            d[n] = s[n];
        return dst;
    }
    return memmove(dst, src, n);
}
"""

OVERLAPPING_MOVES = r"""
import sys
from testkit.responses import http_response, pgm
from testkit.stages import extract, parse
body = bytes(bytearray(i * 7 & 0xff for i in range(70000)))
n, buf, _, _ = parse(http_response(body))
r, _, _, _, _, after = extract(pgm(300, 200, 255, body[:60000]))
sys.stdout.write("%r" % ((n, buf[:n] == body, r, after[:r] == body[:60000]),))
"""


def test_overlapping_moves_do_not_rely_on_memcpy(tmpdir):
    compiler = (sysconfig.get_config_var("CC") or "cc").split()[0]
    shim = str(tmpdir.join("backward_memcpy.so"))
    source = tmpdir.join("backward_memcpy.c")
    source.write(BACKWARD_MEMCPY)
    # The compiler itself runs without the sanitizer runtime of `make sanitize`.
    subprocess.check_call([compiler, "-O1", "-shared", "-fPIC", "-o", shim, str(source)],
                          env=plain_env())
    env = dict(os.environ, LD_PRELOAD=(os.environ.get("LD_PRELOAD", "") + " " + shim).strip())
    out = subprocess.check_output([sys.executable, "-c", OVERLAPPING_MOVES], env=env)
    assert out == b"(70000, True, 60000, True)"
