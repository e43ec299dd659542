"""Frames per second that the Python camera server delivers to get_frame,
1280x1024 16-bit, served three ways by lurvo_camserver:

  * function: serve() with a function that returns the same array each
    time, so each request writes the PGM and the response anew;
  * pattern:  the demo server's test pattern (a counter band made per
    request, joined with a prebuilt rest);
  * file:     the demo server's --dir mode with one file, a response made
    once at start-up, the most a Python server of this kind can do.

    make bench-camserver                 (CAMSERVER_BENCH_ARGS=--calls N)
    .venv/bin/python tools/bench/camserver_rate.py [--calls N]

Each server runs in a process of its own, bounded by --duration and
--max-requests, and is stopped by its PID; the calls alternate between the
servers in rounds, so drift of the machine spreads over all of them.  The
first frame of each is checked against what was served before anything is
timed.  This prints figures; on a shared machine they vary from run to run.
"""
from __future__ import division, print_function

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np

import project  # noqa: F401  first: it puts the project on the path, the servers' too
import lurvo
from lurvo_camserver import pgm_bytes

WIDTH, HEIGHT, MAXVAL = 1280, 1024, 65535
ROUNDS = 10
SERVER_SECONDS = 300

FUNCTION_SERVER = """
import numpy as np
import lurvo_camserver
frame = np.random.RandomState(5).randint(0, 65536, (%d, %d)).astype(np.uint16)
lurvo_camserver.serve(lambda: (frame, 65535), port=0, max_requests=%d, duration=%d)
"""


def samples():
    return np.random.RandomState(5).randint(0, MAXVAL + 1, (HEIGHT, WIDTH)).astype(np.uint16)


class Served(object):
    """One server process on a free loopback port."""

    def __init__(self, name, argv, expected):
        self.name, self.expected, self.seconds = name, expected, []
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE)
        line = self.proc.stdout.readline().decode("ascii")
        if not line.startswith("listening on 127.0.0.1:"):
            self.stop()
            raise SystemExit("%s server did not start: %r" % (name, line))
        self.cam = lurvo.cam("127.0.0.1", int(line.rsplit(":", 1)[1]))

    def check(self):
        frame = self.cam.get_frame()
        if self.expected is not None and not np.array_equal(frame, self.expected):
            raise SystemExit("%s server: the frame differs from what was served" % self.name)

    def time_calls(self, count):
        for _ in range(count):
            started = time.time()
            self.cam.get_frame()
            self.seconds.append(time.time() - started)

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            self.proc.wait()
        self.proc.stdout.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=200,
                        help="get_frame calls timed per server (default %(default)s)")
    args = parser.parse_args(argv)
    if args.calls < ROUNDS:
        parser.error("--calls must be %d or more" % ROUNDS)
    requests = args.calls + 1
    bounds = ["--port", "0", "--max-requests", str(requests), "--duration", str(SERVER_SECONDS)]
    demo = [sys.executable, "-m", "lurvo_camserver"] + bounds
    folder = tempfile.mkdtemp(prefix="camserver-rate-")
    servers = []
    try:
        with open(os.path.join(folder, "frame.pgm"), "wb") as f:
            f.write(pgm_bytes(samples(), MAXVAL))
        servers.append(Served("function", [sys.executable, "-c", FUNCTION_SERVER % (
            HEIGHT, WIDTH, requests, SERVER_SECONDS)], samples()))
        servers.append(Served("pattern", demo + ["--width", str(WIDTH), "--height", str(HEIGHT),
                                                 "--bits", "16"], None))
        servers.append(Served("file", demo + ["--dir", folder], samples()))
        for server in servers:
            server.check()
        for _ in range(ROUNDS):
            for server in servers:
                server.time_calls(args.calls // ROUNDS)
    finally:
        for server in servers:
            server.stop()
        shutil.rmtree(folder)
    print("lurvo_camserver, %dx%d 16-bit frames to get_frame over loopback, "
          "%d calls each, Python %d.%d:" % ((WIDTH, HEIGHT, args.calls // ROUNDS * ROUNDS)
                                             + sys.version_info[:2]))
    for server in servers:
        median = float(np.median(server.seconds))
        print("  %-9s %6.1f frames/s (median %.1f ms a frame)"
              % (server.name, len(server.seconds) / sum(server.seconds), median * 1000))


if __name__ == "__main__":
    main()
