"""Ten thousand mixed get_frame calls leave the descriptor count where it
was and resident memory flat.  Under `make sanitize` the memory check is
LeakSanitizer's, at exit: the sanitizer's quarantine keeps freed blocks
resident on purpose."""
import os

from mixed_calls import run_mixed, serve_mixed
from scripted_server import closed_port
from stages import UNDER_SANITIZER

import lurvo

WARM_UP = 1000
CALLS = 10000
# A leak of the 1 kB error buffer alone would be 10 MB over the calls.
RSS_SLACK_KB = 1024


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def resident_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS"):
                return int(line.split()[1])


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
