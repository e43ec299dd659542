"""get_frame called many times, every way a call can end: the descriptor
count stays where it was, resident memory stays flat and, on Python 3, no
Python object outlives its call.  Under `make sanitize` the resident-memory
check is LeakSanitizer's, at exit: the sanitizer's quarantine keeps freed
blocks resident on purpose."""
import gc

import lurvo
from testkit import stages
from testkit.mixed_calls import KINDS, LONG_URI, TOO_LONG, run_mixed, serve_mixed
from testkit.responses import STATUS_OK
from testkit.scripted_server import DroppingListener, ScriptedServer, closed_port
from testkit.stages import (BUDGET, CONNECT_TIMEOUT, CONNECTION_REFUSED, RECEIVE_TIMEOUT,
                            UNDER_SANITIZER, open_fds, outcome, resident_kb)

try:
    import tracemalloc
except ImportError:  # Python 2
    tracemalloc = None

WARM_UP = 1000
CALLS = 10000
# A leak of the 1 kB error buffer alone would be 10 MB over the calls.
RSS_SLACK_KB = 1024
SILENT = [("send", STATUS_OK), ("sleep", BUDGET + 0.2)]


def test_ten_thousand_mixed_calls():
    with serve_mixed(WARM_UP + CALLS, duration=120) as srv:
        cam = lurvo.cam("127.0.0.1", srv.port)
        refused = lurvo.cam("127.0.0.1", closed_port())
        assert run_mixed(cam, refused, 0, WARM_UP) == []
        fds, rss = open_fds(), resident_kb()
        assert run_mixed(cam, refused, WARM_UP, CALLS) == []
        grown = resident_kb() - rss
        assert open_fds() == fds
    if not UNDER_SANITIZER:
        assert grown < RSS_SLACK_KB, "resident memory grew by %d kB" % grown


def python_memory():
    """Bytes held by blocks that get_frame's calls allocated (their Python
    frame is in testkit/stages.py), or 0 where tracemalloc is missing."""
    if tracemalloc is None:
        return 0
    gc.collect()                # which empties the free lists too
    snapshot = tracemalloc.take_snapshot().filter_traces(
        [tracemalloc.Filter(True, stages.__file__)])
    return sum(stat.size for stat in snapshot.statistics("filename"))


def test_no_outcome_keeps_python_memory_or_descriptors():
    # Each quick outcome once to warm up and 20 times measured, the two
    # timeouts once each: a single message object left behind (57 bytes
    # or more) is too much.
    repeat = 21
    scripts = [script for script, _ in KINDS for _ in range(repeat)] + [SILENT]
    with ScriptedServer(scripts, process=True, duration=60) as srv, DroppingListener() as dropping:
        cam = lurvo.cam("127.0.0.1", srv.port)
        refused = lurvo.cam("127.0.0.1", closed_port())
        rows = [(cam, (), expected, repeat) for _, expected in KINDS]
        rows += [(refused, (), CONNECTION_REFUSED, repeat),
                 (refused, (LONG_URI,), TOO_LONG, repeat),
                 (cam, (), RECEIVE_TIMEOUT, 1),
                 (lurvo.cam("127.0.0.1", dropping.port), (), CONNECT_TIMEOUT, 1)]
        if tracemalloc:
            tracemalloc.start()
        try:
            for i, (camera, uri, expected, calls) in enumerate(rows):
                if calls > 1:
                    assert outcome(camera, *uri) == expected
                fds, held = open_fds(), python_memory()
                for _ in range(calls - (calls > 1)):
                    assert (i, outcome(camera, *uri)) == (i, expected)
                assert (i, open_fds(), python_memory() - held < 50) == (i, fds, True)
        finally:
            if tracemalloc:
                tracemalloc.stop()
