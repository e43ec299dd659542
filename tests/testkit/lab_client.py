"""The link lab's client side (testkit/link_lab.py), run as a program in
the client namespace: calls of each contender, one after another, each
timed and its frame compared with the served one; the results go out as
one line of JSON.

    lab_client.py CONTENDERS PORT URI WIDTH,HEIGHT,MAXVAL COUNT FILLER_PORT

CONTENDERS: comma-separated, of lurvo (get_frame), urllib and requests
(testkit/peers.py, with timeout=1) and connect (the handshake alone).
FILLER_PORT: a filler to trigger before each call, or 0.
"""
from __future__ import print_function, division

import json
import os
import socket
import sys
import time

# It finds its package by the project's folder, placed last so that it
# never hides the module build on PYTHONPATH.
sys.path.append(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import numpy as np  # noqa: E402

from testkit import peers  # noqa: E402
from testkit.link_lab import SERVER_ADDR, expected_frame  # noqa: E402
from testkit.stages import open_fds, resident_kb  # noqa: E402

# The peers' timeout, of each socket operation: the nearest they have to
# get_frame's one budget.
PEER_OPTIONS = {"timeout": 1}


def make_fetch(name, port, uri):
    """A callable that fetches one frame as get_frame's array."""
    url = "http://%s:%d%s" % (SERVER_ADDR, port, uri)
    if name == "lurvo":
        import lurvo
        cam = lurvo.cam(SERVER_ADDR, port)
        return lambda: cam.get_frame(uri)
    if name == "connect":       # the handshake alone, as a plain client sees it
        def connect():
            socket.create_connection((SERVER_ADDR, port), timeout=5).close()
            return "connected"
        return connect
    if name == "urllib":
        return peers.urllib_numpy(url, **PEER_OPTIONS)
    if name == "requests":
        return peers.requests_numpy(url, **PEER_OPTIONS)
    raise ValueError("no contender %r" % name)


def timed_outcome(fetch, expected):
    """(seconds the fetch took, "frame", "wrong frame" or the failure)."""
    start = time.time()
    try:
        got = fetch()
    except RuntimeError as e:
        return time.time() - start, str(e)
    except Exception as e:      # the other clients' many exception types
        reason = getattr(e, "reason", None)
        return time.time() - start, type(e).__name__ + (
            " (%s)" % reason if reason is not None else "")
    seconds = time.time() - start
    if isinstance(got, str):
        return seconds, got
    return seconds, "frame" if np.array_equal(got, expected) else "wrong frame"


def trigger_filler(sock, port):
    """Has the filler queue its bytes before the call's first packet."""
    sock.sendto(b"go", (SERVER_ADDR, port))
    time.sleep(0.05)


def run_calls(names, port, uri, kind, count, filler_port):
    expected = expected_frame(kind)
    trigger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    results = {}
    for name in names:
        fetch = make_fetch(name, port, uri)
        calls, fds, rss = [], [open_fds()], []
        for i in range(count):
            if filler_port:
                trigger_filler(trigger, filler_port)
            seconds, what = timed_outcome(fetch, expected)
            calls.append([round(seconds, 4), what])
            if i == 0:
                rss.append(resident_kb())
        fds.append(open_fds())
        rss.append(resident_kb())
        results[name] = {"calls": calls, "fds": fds, "rss_kb": rss}
    trigger.close()
    return results


def main(argv):
    if len(argv) != 6:
        raise SystemExit(__doc__.split("\n\n")[1])
    names, port, uri, kind, count, filler_port = argv
    kind = tuple(int(v) for v in kind.split(","))
    print(json.dumps(run_calls(names.split(","), int(port), uri, kind, int(count),
                               int(filler_port))))


if __name__ == "__main__":
    main(sys.argv[1:])
