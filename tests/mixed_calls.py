"""A mix of get_frame calls that end every way a call can end quickly:
frames of both widths, refusals by each stage, resets, a closed connection
and a refused connection.  Shared by the load test and `make valgrind`
(scripts/valgrind.sh), which runs it as a program:

    python tests/mixed_calls.py CALLS
"""
from __future__ import print_function

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import lurvo  # noqa: E402
from scripted_server import (ScriptedServer, closed_port, frame_response,  # noqa: E402
                             http_response, pgm)

SIDE = 64
# (script, what the call gives: a shape or the start of the text)
KINDS = [
    ([("send", frame_response(SIDE, SIDE, 65535, [i * 7 & 0xffff for i in range(SIDE * SIDE)]))],
     (SIDE, SIDE)),
    ([("send", frame_response(SIDE, SIDE // 2, 255, [i & 0xff for i in range(SIDE * SIDE // 2)]))],
     (SIDE // 2, SIDE)),
    ([("send", frame_response(5, 3, 4095, list(range(15))))], (3, 5)),
    ([("send", http_response(b"x", status=b"404 Not Found"))], "HTTP response: 404 Not Found"),
    ([("send", http_response(pgm(1, 1, 255, [1]), content_type=b"image/png"))],
     "wrong content type"),
    ([("send", http_response(b"P5\n9 9\n255\n\x01"))], "buffer too small (12, need 81)"),
    ([("send", http_response(b"P6\n1 1\n255\n\x00"))], "unknown PGM type P6"),
    ([("send", b"HTTP/1.0 200 OK\r\nX: \x00\r\n\r\n")], "HTTP header block does not end"),
    ([("send", b"HTTP/1.0 200 OK\r\nContent-Ty"), ("reset",)], "receive error: "),
    ([], "no error"),
]


def outcome(cam):
    try:
        return cam.get_frame().shape
    except RuntimeError as e:
        return str(e)


def matches(result, expected):
    if isinstance(expected, tuple):
        return result == expected
    return isinstance(result, str) and result.startswith(expected)


def serve_mixed(calls, duration):
    """A server for `calls` mixed calls, in a child process."""
    scripts = [KINDS[i % len(KINDS)][0] for i in range(calls)]
    return ScriptedServer(scripts, process=True, duration=duration)


def run_mixed(cam, refused_cam, first, count):
    """Calls number first .. first + count - 1; every 10th one also tries a
    refused connection.  Returns the calls whose outcome was wrong."""
    wrong = []
    for i in range(first, first + count):
        result = outcome(cam)
        if not matches(result, KINDS[i % len(KINDS)][1]):
            wrong.append((i, result))
        if i % 10 == 0:
            result = outcome(refused_cam)
            if result != "cannot send: Connection refused":
                wrong.append((i, result))
    return wrong


def main(calls):
    with serve_mixed(calls, duration=600) as srv:
        wrong = run_mixed(lurvo.cam("127.0.0.1", srv.port),
                          lurvo.cam("127.0.0.1", closed_port()), 0, calls)
    print("%d mixed calls, %d with a wrong outcome" % (calls, len(wrong)))
    for w in wrong[:10]:
        print("  call %d: %r" % w)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]) if len(sys.argv) > 1 else 300))
