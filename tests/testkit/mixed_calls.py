"""Every way a get_frame call can end quickly, with what it gives: frames
of both widths, refusals by each stage, resets, a closed connection, a
refused connection and a request too long for the buffer.  Shared by the
load tests and `make valgrind` (tools/valgrind.sh), which runs it as a
program:

    python testkit/mixed_calls.py CALLS
"""
from __future__ import print_function

import os
import sys

# Run as a program, it finds its package by the project's folder, placed
# last so that it never hides the module build on PYTHONPATH.
sys.path.append(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import lurvo  # noqa: E402
from testkit.responses import STATUS_OK, frame_response, http_response, pgm  # noqa: E402
from testkit.scripted_server import ScriptedServer, closed_port  # noqa: E402
from testkit.stages import (BUF_SIZE, CONNECTION_REFUSED, NO_END, RESET,  # noqa: E402
                            STATUS_ONLY, outcome)

SIDE = 64
# (script, what the call gives: a shape or the exact text)
KINDS = [
    ([("send", frame_response(SIDE, SIDE, 65535, [i * 7 & 0xffff for i in range(SIDE * SIDE)]))],
     (SIDE, SIDE)),
    ([("send", frame_response(SIDE, SIDE // 2, 255, [i & 0xff for i in range(SIDE * SIDE // 2)]))],
     (SIDE // 2, SIDE)),
    ([("send", frame_response(5, 3, 4095, list(range(15))))], (3, 5)),
    # An array and a body past malloc's threshold for mappings of their own.
    ([("send", frame_response(640, 480, 65535, [7] * (640 * 480)))], (480, 640)),
    ([("send", b"ICY 200 OK\r\n\r\n")], "cannot dispatch response"),
    ([("send", http_response(b"x", status=b"404 Not Found"))], "HTTP response: 404 Not Found"),
    ([("send", b"HTTP/1.0 500 \xff\xfe\r\n\r\n")],
     "HTTP response: 500 " + ("\\xff\\xfe" if sys.version_info[0] >= 3 else "\xff\xfe")),
    ([("send", STATUS_OK)], STATUS_ONLY),
    ([("send", STATUS_OK + b"X: \x00\r\n\r\n")], NO_END),
    ([("send", http_response(pgm(1, 1, 255, [1]), content_type=b"image/png"))],
     "wrong content type"),
    ([("send", http_response(b""))], "cannot extract PGM, header not valid"),
    ([("send", http_response(b"P6\n1 1\n255\n\x00"))], "unknown PGM type P6"),
    ([("send", http_response(b"P5 1 1 255\n\x00"))], "error in PGM"),
    ([("send", http_response(b"P5\n9 9\n255\n\x01"))], "buffer too small (12, need 81)"),
    ([("send", STATUS_OK + b"Content-Ty"), ("reset",)], RESET),
    ([], "no error"),
]
LONG_URI = "/" + "x" * BUF_SIZE
TOO_LONG = "request too long for buffer (%d bytes)" % BUF_SIZE


def serve_mixed(calls, duration):
    """A server for `calls` mixed calls, in a child process."""
    scripts = [KINDS[i % len(KINDS)][0] for i in range(calls)]
    return ScriptedServer(scripts, process=True, duration=duration)


def run_mixed(cam, refused_cam, first, count):
    """Calls number first .. first + count - 1; every 10th one also tries a
    refused connection and a request too long.  Returns the calls whose
    outcome was wrong."""
    wrong = []
    for i in range(first, first + count):
        result = outcome(cam)
        if result != KINDS[i % len(KINDS)][1]:
            wrong.append((i, result))
        if i % 10 == 0:
            for result, expected in ((outcome(refused_cam), CONNECTION_REFUSED),
                                     (outcome(refused_cam, LONG_URI), TOO_LONG)):
                if result != expected:
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
