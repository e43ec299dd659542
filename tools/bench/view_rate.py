"""How the view keeps up, on a virtual screen (Xvfb, tests/testkit/screen.py),
in one run, its window at the size it opens with (an 800x640 image area):

  * shown: frames shown per second from a 1280x1024 16-bit camera on
    loopback (the bench's C++ server, build/frame_server, unpaced), and
    beside it the frames grabbed per second;
  * stalled and gone: the longest gap of a timer of the window's own event
    loop, asked to run every millisecond, while the camera takes the
    connection and never answers (a listener that is never read) and while
    nothing listens at its port; the same gap while frames are shown.

    make bench-view                 (VIEW_BENCH_ARGS="--seconds N")
    .venv/bin/python tools/bench/view_rate.py [--seconds N]

It prints figures; it checks nothing but that the frame shown is the one
served.
"""
from __future__ import division, print_function

import argparse
import contextlib
import os
import shutil
import socket
import sys
import tempfile
import time

import numpy as np

from project import built           # first: it puts the project on the path
from bench_server import FrameServer, Kind
from report import machine
from testkit.scripted_server import closed_port
from testkit.screen import Screen, turn

KIND = Kind(0, "1280x1024 16-bit", 1280, 1024, 65535)


class Gaps(object):
    """A timer of the window's event loop, every millisecond: the longest
    time between two of its runs since the last reset()."""

    def __init__(self, root):
        self.root = root
        self.reset()
        root.after(1, self._run)

    def reset(self):
        self.longest, self.last = 0.0, time.time()

    def _run(self):
        now = time.time()
        self.longest = max(self.longest, now - self.last)
        self.last = now
        self.root.after(1, self._run)


def phase(tk, window, port, uri, seconds):
    """(frames shown, grabbed, longest gap, last frame) of a View on port
    over seconds, counted after a second to settle."""
    root = tk.Tk()
    try:
        view = window.View(root, port=port, uri=uri)
        root.after(0, view.tick)
        gaps = Gaps(root)
        turn(root, 1.0, pause=0.0005)
        shown, grabbed = view.shown, view.grabbed
        gaps.reset()
        turn(root, seconds, pause=0.0005)
        result = (view.shown - shown, view.grabbed - grabbed, gaps.longest, view.frame)
        view.end(0)
        return result
    finally:
        root.destroy()


@contextlib.contextmanager
def stalled_port():
    """A port whose connections the kernel takes and nobody ever reads."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        listener.bind(("127.0.0.1", 0))
        listener.listen(64)
        yield listener.getsockname()[1]
    finally:
        listener.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="the length of each phase")
    args = parser.parse_args(argv)
    folder = tempfile.mkdtemp(prefix="lurvo-bench-view-")
    with Screen() as screen:
        os.environ["DISPLAY"] = screen.display
        from lurvo_view import window
        tk = window.tk
        server = FrameServer(built("frame_server", "frame_server.cpp"), [KIND], folder)
        try:
            shown, grabbed, shown_gap, frame = phase(tk, window, server.port, KIND.uri, args.seconds)
        finally:
            server.stop()
            shutil.rmtree(folder, ignore_errors=True)
        if frame is None or not np.array_equal(frame, KIND.expected):
            sys.exit("view_rate: the frame shown is not the one served")
        with stalled_port() as port:
            stalled_gap = phase(tk, window, port, "/img.pgm", args.seconds)[2]
        gone_gap = phase(tk, window, closed_port(), "/img.pgm", args.seconds)[2]
    print(machine())
    print("lurvo_view, %s camera on loopback, image area 800x640, %.0f s a phase"
          % (KIND.name, args.seconds))
    print("  frames shown     %6.1f /s  (grabbed %.1f /s)" % (shown / args.seconds,
                                                            grabbed / args.seconds))
    print("  longest gap of a 1 ms timer of the window:")
    for name, gap in (("frames shown", shown_gap), ("camera stalled", stalled_gap),
                      ("camera gone", gone_gap)):
        print("    %-14s %6.1f ms" % (name, gap * 1000))


if __name__ == "__main__":
    main()
