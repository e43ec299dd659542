"""What lurvo_grab gains over get_frame called in turn, and what it costs,
with 1280x1024 16-bit frames from the bench's C++ camera server
(build/frame_server), all in one run:

  * cameras: N servers each paced to 100 Mbit/s (a camera behind its own
    link, about 210 ms a frame), N = 4 and 8: rounds of get_frame called
    on each camera in turn, alternating with rounds of grab_all over one
    Grabber a camera; the frame rate of each, their ratio, and the longest
    gap of a thread that wakes every millisecond meanwhile;
  * stream: one paced camera, frames() against the pace's own frame rate
    (the response's bytes at 100 Mbit/s);
  * loopback: one unpaced server, get_frame, grab and grab(view=True)
    interleaved, the median of each and the ratios to get_frame; from the
    bench's C++ server (the fastest there is: the ratios at their worst)
    and from the Python camera server (python -m lurvo_camserver --dir).

    make bench-grab                 (GRAB_BENCH_ARGS="--rounds N --calls N")
    .venv/bin/python tools/bench/grab_rate.py [--rounds N] [--calls N]

It prints figures; it checks nothing but that every frame equals the one
served.
"""
from __future__ import division, print_function

import argparse
import shutil
import sys
import tempfile
import threading
import time

import numpy as np

from project import built           # first: it puts the project on the path
import lurvo
from lurvo_grab import Grabber, grab_all
from bench_server import FrameServer, Kind
from report import machine
from testkit.processes import Server

RATE = 100 * 10 ** 6
CAMERAS = (4, 8)
KIND = Kind(0, "1280x1024 16-bit", 1280, 1024, 65535)


class Ticker(object):
    """A thread that wakes every millisecond; gap() is the longest time
    between two of its wakes since the last reset()."""

    def __init__(self):
        self._longest = 0.0
        self._last = time.time()
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run)
        self._thread.daemon = True
        self._thread.start()

    def _run(self):
        while not self._done.wait(0.001):
            now = time.time()
            self._longest = max(self._longest, now - self._last)
            self._last = now

    def reset(self):
        self._last, self._longest = time.time(), 0.0

    def gap(self):
        return self._longest

    def stop(self):
        self._done.set()
        self._thread.join()


def check(frame):
    if not np.array_equal(frame, KIND.expected):
        raise SystemExit("a frame differs from the one served")


def timed(call, ticker):
    """(seconds, the ticker's longest gap) of call(), whose frames are
    checked after the clock has stopped."""
    ticker.reset()
    started = time.time()
    frames = call()
    seconds, gap = time.time() - started, ticker.gap()
    for frame in frames:
        check(frame)
    return seconds, gap


def cameras(servers, count, rounds, ticker):
    """get_frame on each in turn against grab_all (copies, and views),
    rounds interleaved: {way: (frames per second, longest gap)}."""
    cams = [lurvo.cam("127.0.0.1", s.port) for s in servers[:count]]
    grabbers = [Grabber("127.0.0.1", s.port) for s in servers[:count]]
    try:
        for frame in grab_all(grabbers, KIND.uri):     # the children started, and checked
            check(frame)
        ways = {"get_frame in turn": lambda: [c.get_frame(KIND.uri) for c in cams],
                "grab_all": lambda: grab_all(grabbers, KIND.uri),
                "grab_all, views": lambda: grab_all(grabbers, KIND.uri, view=True)}
        seen = dict((way, []) for way in ways)
        for _ in range(rounds):
            for way, call in sorted(ways.items()):
                seen[way].append(timed(call, ticker))
    finally:
        for grabber in grabbers:
            grabber.close()
    return dict((way, (count * len(runs) / sum(s for s, _ in runs), max(g for _, g in runs)))
                for way, runs in seen.items())


def stream(server, count):
    """Frames per second of frames() from one paced camera."""
    with Grabber("127.0.0.1", server.port) as grabber:
        with grabber.frames(KIND.uri, view=True) as frames:
            check(next(frames))
            started, taken = time.time(), 0
            for frame in frames:
                taken += 1
                if taken == count:
                    break
            seconds = time.time() - started
        if frames.failed:
            raise SystemExit("%d grabs of the stream failed" % frames.failed)
    return count / seconds


def loopback(port, calls):
    """Median seconds a frame of get_frame, grab and a view, interleaved."""
    cam = lurvo.cam("127.0.0.1", port)
    with Grabber("127.0.0.1", port) as grabber:
        ways = [("get_frame", lambda: cam.get_frame(KIND.uri)),
                ("grab", lambda: grabber.grab(KIND.uri)),
                ("grab, view", lambda: grabber.grab(KIND.uri, view=True))]
        for _, call in ways:
            check(call())
        seconds = dict((name, []) for name, _ in ways)
        for _ in range(calls):
            for name, call in ways:
                started = time.time()
                call()
                seconds[name].append(time.time() - started)
    return [(name, float(np.median(seconds[name]))) for name, _ in ways]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=6, help="rounds of each way (default 6)")
    parser.add_argument("--calls", type=int, default=300,
                        help="loopback calls of each way, and frames of the stream / 10 "
                             "(default 300)")
    args = parser.parse_args(argv)
    if args.rounds < 1 or args.calls < 10:
        parser.error("--rounds must be 1 or more and --calls 10 or more")
    binary = built("frame_server", "frame_server.cpp")
    folder = tempfile.mkdtemp(prefix="lurvo-grab-bench-")
    servers, ticker = [], Ticker()
    try:
        paced = [FrameServer(binary, [KIND], folder, rate=RATE) for _ in range(max(CAMERAS))]
        servers.extend(paced)
        unpaced = FrameServer(binary, [KIND], folder)
        servers.append(unpaced)
        results = [(count, cameras(paced, count, args.rounds, ticker)) for count in CAMERAS]
        streamed = stream(paced[0], max(10, args.calls // 10))
        local = [("the bench's C++ server", loopback(unpaced.port, args.calls))]
        with Server("--dir", folder, "--path", KIND.uri, "--duration", "600") as camserver:
            local.append(("the Python camera server", loopback(camserver.port, args.calls)))
    finally:
        ticker.stop()
        for server in servers:
            server.stop()
        shutil.rmtree(folder, ignore_errors=True)
    report(args, results, streamed, local)


def report(args, results, streamed, local):
    # The response as the server sends it: its header block and the PGM.
    head = ("HTTP/1.0 200 OK\r\nContent-Type: image/x-portable-graymap\r\n"
            "Content-Length: %d\r\n\r\n" % len(KIND.pgm))
    pace = RATE / 8 / (len(head) + len(KIND.pgm))
    print("lurvo_grab, %s frames, Python %d.%d, %s" % ((KIND.name,) + sys.version_info[:2]
                                                     + (machine(),)))
    print("\ncameras at 100 Mbit/s each, %d rounds of each way, interleaved:" % args.rounds)
    for count, ways in results:
        turn = ways["get_frame in turn"]
        print("  %d cameras: get_frame in turn %5.1f frames/s (longest gap of a 1 ms thread "
              "%4.0f ms)" % (count, turn[0], turn[1] * 1000))
        for way in ("grab_all", "grab_all, views"):
            rate, gap = ways[way]
            print("    %-15s %5.1f frames/s (gap %4.1f ms): %.2f x, %.3f x N"
                  % (way, rate, gap * 1000, rate / turn[0], rate / turn[0] / count))
    print("\none camera at 100 Mbit/s, frames(): %.2f frames/s, %.3f x the pace's %.2f frames/s"
          % (streamed, streamed / pace, pace))
    print("\none camera on loopback, unpaced, %d calls of each, interleaved (median a frame):"
          % args.calls)
    for server, ways in local:
        base = ways[0][1]
        print("  from %s:" % server)
        for name, seconds in ways:
            print("    %-10s %6.2f ms  %.2f x get_frame" % (name, seconds * 1000, seconds / base))


if __name__ == "__main__":
    main()
