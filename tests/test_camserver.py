"""The demo camera server, driven over loopback with plain sockets."""
from __future__ import print_function, division

import os
import re
import signal
import struct
import sys
import time
from contextlib import closing
from multiprocessing.pool import ThreadPool

import pytest

from testkit.processes import (FRAME_REQUEST, HOST, Server, connection, exchange,
                               receive_all, run_cli, split_response, wait_exit)
from testkit.scripted_server import DroppingListener

PGM_CONTENT_TYPE = b"Content-Type: image/x-portable-graymap"
STRICT_PGM = re.compile(br"P5\n([1-9][0-9]*) ([1-9][0-9]*)\n([1-9][0-9]*)\n")


def strict_pgm(body):
    """(width, height, maxval, samples as a list) of a PGM body in the form
    lurvo accepts; fails the test on any other form or a wrong length."""
    m = STRICT_PGM.match(body)
    assert m, "not a strict binary PGM header: %r" % body[:40]
    width, height, maxval = [int(g) for g in m.groups()]
    raster = body[m.end():]
    assert len(raster) == width * height * (1 if maxval <= 255 else 2)
    return width, height, maxval, list(struct.unpack(
        (">%dB" if maxval <= 255 else ">%dH") % (width * height), raster))


def frame_of(data):
    """Checks the exact 200 response form, its header lines and nothing
    more, and returns strict_pgm(body)."""
    status, headers, body = split_response(data)
    assert status == b"HTTP/1.0 200 OK"
    assert headers == [PGM_CONTENT_TYPE,
                       ("Content-Length: %d" % len(body)).encode("ascii")]
    return strict_pgm(body)


def counter_of(width, height, maxval, samples):
    """The frame number from the counter band: top row, one block per bit,
    most significant first."""
    nbits = min(32, width)
    block = width // nbits
    row = samples[:width]
    n = 0
    for i in range(nbits):
        v = row[i * block]
        assert v in (0, maxval)
        n = (n << 1) | (v == maxval)
    return n


def band_rows(height):
    return min(16, max(1, height // 8))


def bar_column(width, height, samples):
    """Leftmost column of the bright bar in the last row."""
    row = samples[(height - 1) * width:]
    return row.index(max(row))


def test_help_exits_0_with_usage():
    status, out, err = run_cli(["--help"])
    assert status == 0
    assert "usage:" in out and "--max-requests" in out


def pgm_file(folder, name, content):
    with open(os.path.join(str(folder), name), "wb") as f:
        f.write(content)


# A folder of frames for --dir, holding a good a.pgm and the file named.
DIR_ARGS = ["--dir", "{dir}", "--port", "0", "--duration", "5"]
ONE_PIXEL = b"P5\n1 1\n255\n\x00"


@pytest.mark.parametrize("args, files, word", [(args, {}, word) for args, word in [
    (["--bits", "10"], "--bits"),
    (["--port", "70000"], "--port"),
    (["--port", "x"], "--port"),
    (["--width", "0"], "--width"),
    (["--height", "many"], "--height"),
    (["--width", "8192", "--height", "8192"], "pixels"),
    (["--duration", "-1"], "--duration"),
    (["--max-requests", "0"], "--max-requests"),
    (["--path", "img.pgm"], "--path"),
    (["--dir", "/nonexistent/frames"], "--dir"),
    (["--frobnicate"], "unrecognized"),
]] + [(DIR_ARGS, {"a.pgm": ONE_PIXEL, "bad.pgm": content}, "bad.pgm: " + reason)
      for content, reason in [
    (b"P2\n2 1\n255\n0 1\n", "not a binary PGM"),
    (b"P5\n2 2\n255\n\x00\x01\x02", "raster is 3 bytes"),
    (b"P5\n1 1\n255\n\x00\x01", "1 byte after the raster"),
    (b"P5\n2 1\n1000\n\x03\xe9\x00\x00", "a sample is 1001, above maxval"),
    (b"P5\n1 1\n0\n\x00", "maxval 0"),
    (b"P5\n1 1\n70000\n\x00\x00", "maxval 70000"),
    (b"P5\n0 1\n255\n", "size 0x1 is empty"),
    (b"P5\n1\n", "no height"),
]] + [(DIR_ARGS, {"notes.txt": ONE_PIXEL}, "holds no .pgm file")])   # the only file
def test_bad_options_and_frame_files_exit_2_with_a_message(tmpdir, args, files, word):
    for name, content in files.items():
        pgm_file(tmpdir, name, content)
    status, out, err = run_cli([arg.format(dir=tmpdir) for arg in args])
    assert status == 2
    assert "error:" in err and word in err
    assert out == ""


@pytest.mark.parametrize("args, width, height, maxval", [
    (["--bits", "8", "--width", "64", "--height", "48"], 64, 48, 255),
    (["--bits", "12", "--width", "64", "--height", "48"], 64, 48, 4095),
    (["--bits", "16", "--width", "64", "--height", "48"], 64, 48, 65535),
    ([], 1280, 1024, 65535),                                     # the defaults
])
def test_pattern_frame_form_and_depth(args, width, height, maxval):
    with Server(*args) as srv:
        data = exchange(srv.port)
    w, h, m, samples = frame_of(data)
    assert (w, h, m) == (width, height, maxval)
    assert split_response(data)[2].startswith(
        ("P5\n%d %d\n%d\n" % (width, height, maxval)).encode("ascii"))
    assert max(samples) == maxval and min(samples) == 0
    # Below the counter band each row is a rising ramp crossed by the bar
    # at maxval: a single drop, just after the bar.  Samples read in the
    # wrong byte order would go up and down all along the row.
    for y in range(band_rows(height), height):
        row = samples[y * width:(y + 1) * width]
        drops = sum(1 for a, b in zip(row, row[1:]) if b < a)
        assert drops <= 1, "row %d: %r" % (y, row)
        assert maxval in row
    first = samples[band_rows(height) * width:(band_rows(height) + 1) * width]
    assert min(first) < maxval // 4


def test_consecutive_frames_differ_and_carry_their_number():
    width, height = 96, 40
    with Server("--width", str(width), "--height", str(height)) as srv:
        frames = [frame_of(exchange(srv.port)) for _ in range(3)]
    assert [counter_of(*f) for f in frames] == [0, 1, 2]
    bars = [bar_column(width, height, f[3]) for f in frames]
    assert bars[0] < bars[1] < bars[2]
    assert frames[0][3] != frames[1][3] != frames[2][3]


def test_paths_request_forms_and_errors():
    with Server("--path", "/cam/a.pgm", "--width", "8", "--height", "4") as srv:
        lf = exchange(srv.port, b"GET /cam/a.pgm HTTP/1.0\n\n")
        crlf = exchange(srv.port, b"GET /cam/a.pgm HTTP/1.1\r\n"
                                  b"Host: x\r\nAccept: */*\r\n\r\n")
        query = exchange(srv.port, b"GET /cam/a.pgm?n=1 HTTP/1.0\n\n")
        other = exchange(srv.port, FRAME_REQUEST)
        garbage = exchange(srv.port, b"HELLO\n\n")
        no_version = exchange(srv.port, b"GET /cam/a.pgm\n\n")
        post = exchange(srv.port, b"POST /cam/a.pgm HTTP/1.0\n\n")
    for data in (lf, crlf, query):
        assert frame_of(data)[:3] == (8, 4, 65535)
    for data, status in ((other, b"HTTP/1.0 404 Not Found"),
                         (garbage, b"HTTP/1.0 400 Bad Request"),
                         (no_version, b"HTTP/1.0 400 Bad Request"),
                         (post, b"HTTP/1.0 405 Method Not Allowed")):
        line, headers, body = split_response(data)
        assert line == status
        assert b"Content-Type: text/plain; charset=us-ascii" in headers
        assert ("Content-Length: %d" % len(body)).encode("ascii") in headers
        assert body.endswith(b"\n") and len(body) > 5
    assert b"/img.pgm" in split_response(other)[2]


def test_silent_client_gets_408_and_does_not_hold_up_others():
    with Server("--request-timeout", "0.8", "--width", "32", "--height", "8") as srv, \
            connection(srv.port) as silent:
        start = time.time()
        frame_of(exchange(srv.port))
        served = time.time() - start
        answer = receive_all(silent)
        waited = time.time() - start
    assert served < 0.8
    assert split_response(answer)[0] == b"HTTP/1.0 408 Request Timeout"
    assert 0.5 < waited < 5


def test_concurrent_clients_each_get_a_whole_distinct_frame():
    clients = 8
    with closing(ThreadPool(clients)) as pool, Server("--width", "256", "--height", "256") as srv:
        results = pool.map(lambda _: exchange(srv.port), range(clients))
    frames = [frame_of(r) for r in results]
    assert sorted(counter_of(*f) for f in frames) == list(range(clients))


def test_max_requests_stops_it_and_log_has_a_line_per_request():
    with Server("--max-requests", "2", "--log", "--width", "16",
                "--height", "4") as srv:
        ok = exchange(srv.port)
        missing = exchange(srv.port, b"GET /nope HTTP/1.0\n\n")
        assert wait_exit(srv.proc, 5) == 0
        log = srv.proc.stderr.read().decode("ascii").splitlines()
    # A line is written once its connection is closed, so the second
    # request can be logged first.
    requests = sorted(l.split(" GET ")[1] for l in log if " GET " in l)
    assert requests == sorted(["/img.pgm 200 %d" % len(ok), "/nope 404 %d" % len(missing)])
    assert all(re.search(r" 127\.0\.0\.1:\d+ GET ", l) for l in log if " GET " in l)


@pytest.mark.parametrize("args, signum", [
    (["--duration", "0.5"], None),                              # it stops by itself
    (["--width", "16", "--height", "4"], signal.SIGTERM),
    (["--width", "16", "--height", "4"], signal.SIGINT),
])
def test_duration_or_a_signal_stops_it_quickly_with_status_0(args, signum):
    with Server(*args) as srv:
        if signum:
            frame_of(exchange(srv.port))
            start = time.time()
            os.kill(srv.proc.pid, signum)
        assert wait_exit(srv.proc, 5) == 0
        assert not signum or time.time() - start < 2


def test_port_in_use_is_refused_clearly():
    with DroppingListener() as holder:                  # a port in use
        status, out, err = run_cli(["--port", str(holder.port), "--duration", "5"])
    assert status not in (0, None)
    assert "port %d on 127.0.0.1 is in use" % holder.port in err


def test_dir_mode_cycles_files_in_name_order_with_strict_headers(tmpdir):
    pgm_file(tmpdir, "a.pgm", b"P5\n2 2\n255\n\x00\x01\x02\x03")
    # A header that netpbm allows but lurvo does not: comments, tabs,
    # CR LF and several spaces.  It is sent rewritten.
    pgm_file(tmpdir, "b.pgm", b"P5 # made by hand\n3\t  1\r\n# depth\n1000\n"
                              b"\x03\xe8\x00\x00\x01\x02")
    pgm_file(tmpdir, "c.pgm", b"P5\n1 1\n65535\n\xff\xfe")
    pgm_file(tmpdir, "notes.txt", b"not an image")
    with Server("--dir", str(tmpdir)) as srv:
        bodies = [split_response(exchange(srv.port))[2] for _ in range(4)]
    assert bodies == [b"P5\n2 2\n255\n\x00\x01\x02\x03",
                      b"P5\n3 1\n1000\n\x03\xe8\x00\x00\x01\x02",
                      b"P5\n1 1\n65535\n\xff\xfe",
                      b"P5\n2 2\n255\n\x00\x01\x02\x03"]


def test_whole_frame_arrives_when_the_client_sends_more_than_the_request():
    # Closing a socket with unread input resets the connection, and the
    # reset can discard the end of the frame still on its way.
    with Server() as srv, connection(srv.port) as s:
        s.sendall(FRAME_REQUEST)
        time.sleep(0.2)
        s.sendall(b"stray bytes\n" * 1000)
        data = receive_all(s)
    assert frame_of(data)[:3] == (1280, 1024, 65535)


# What a user's frame function returns (Python source), and what the client
# gets: the PGM body in the strict form, or a 500 with a reason on stderr.
FUNCTION_FRAMES = [
    ("(np.arange(4, dtype=np.uint8).reshape(2, 2), 255)", b"P5\n2 2\n255\n\x00\x01\x02\x03"),
    ("(np.array([[1000, 0, 258]], np.uint16), 1000)", b"P5\n3 1\n1000\n\x03\xe8\x00\x00\x01\x02"),
    ("(np.array([[7, 255]], np.uint16), 255)", b"P5\n2 1\n255\n\x07\xff"),
    ("(np.array([[7]], np.uint8), 65535)", b"P5\n1 1\n65535\n\x00\x07"),
    ("b'P5 # by hand\\n1\\t1\\r\\n65535\\n\\xff\\xfe'", b"P5\n1 1\n65535\n\xff\xfe"),
    ("1 // 0", "ZeroDivisionError"),
    ("(np.zeros((2, 2, 3), np.uint8), 255)", "2-D"),
    ("(np.zeros((1, 1), np.float32), 255)", "float32"),
    ("(np.array([[300]], np.uint16), 255)", "above maxval"),
    ("(np.zeros((1, 1), np.uint8), 0)", "maxval 0"),
    ("b'P6\\n1 1\\n255\\n\\0\\0\\0'", "not a binary PGM"),
    ("b'P5\\n2 2\\n255\\n\\0'", "raster is 1 bytes"),
    ("[np.zeros((1, 1), np.uint8), 255]", "TypeError"),
]


def test_frames_of_a_function_and_its_failures():
    code = ("import numpy as np\nimport lurvo_camserver\n"
            "returns = iter([%s])\n"
            "lurvo_camserver.serve(lambda: eval(next(returns)), port=0, max_requests=%d,"
            " duration=30)\n" % (", ".join(
                repr(source) for source, _ in FUNCTION_FRAMES), len(FUNCTION_FRAMES) + 1))
    with Server(argv=[sys.executable, "-c", code]) as srv:
        got = [split_response(exchange(srv.port)) for _ in FUNCTION_FRAMES]
        import lurvo                            # a 500 as get_frame reports it
        with pytest.raises(RuntimeError, match="^HTTP response: 500 Internal Server Error$"):
            lurvo.cam(HOST, srv.port).get_frame()
        assert wait_exit(srv.proc, 10) == 0
        err = srv.proc.stderr.read().decode().splitlines()
    # one line for each failure, and for the call past the end of the list
    assert len(err) == sum(1 for _, want in FUNCTION_FRAMES if want[:2] != b"P5") + 1
    for (source, want), (status, headers, body) in zip(FUNCTION_FRAMES, got):
        if want[:2] == b"P5":
            assert (status, body) == (b"HTTP/1.0 200 OK", want), source
            assert PGM_CONTENT_TYPE in headers
        else:
            assert status == b"HTTP/1.0 500 Internal Server Error", source
            assert want in err.pop(0), source
