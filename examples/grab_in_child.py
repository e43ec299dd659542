#!/usr/bin/env python
"""Grab frames in a child process, so that the threads of this one keep
running while a frame is on its way.

get_frame keeps the interpreter lock for the whole call, up to its
one-second budget: every other thread of the process that calls it waits
meanwhile.  Here a child process calls it, with a lock of its own, and
writes each frame into shared memory; this process only waits on a pipe,
which releases its lock, and copies the frame out.

    with ChildGrabber("127.0.0.1", 5557) as grabber:
        frame = grabber.grab("/img.pgm")     # as cam.get_frame would return it

    grabber.request("/img.pgm")              # or: start the next frame ...
    ...                                      # ... work on the last one ...
    frame = grabber.result()                 # ... and take it

Standard library and NumPy only; Python 2.7 and 3.  The shared block is
anonymous memory that ends with the last process using it, and the child
ends when this process closes the grabber or ends itself, however it ends:
its end of the pipe then reports end of file to the child.
"""
from __future__ import print_function

import ctypes
import multiprocessing
import sys
import time
from multiprocessing.sharedctypes import RawArray

import numpy as np

# The largest frame get_frame can return: its response buffer holds
# 2,621,696 bytes, so at most that many 8-bit samples.
MAX_SAMPLES = 2621696

# A child started afresh rather than forked: a fork copies the state of
# every other thread of this process (a GUI's, say) in the middle of what
# it was doing.  Python 2.7 can only fork.
try:
    CONTEXT = multiprocessing.get_context("spawn")
except AttributeError:
    CONTEXT = multiprocessing


def _serve(conn, parent_end, shared, ip, port):
    """The child: one frame per request, until the parent's end closes."""
    parent_end.close()       # a forked child holds a copy: end of file needs it closed
    import lurvo
    cam = lurvo.cam(ip, port)
    samples = np.ctypeslib.as_array(shared)
    while True:
        try:
            uri = conn.recv()
        except (EOFError, IOError):
            return
        try:
            frame = cam.get_frame(uri)
        except Exception as e:                   # handed to the parent to raise
            conn.send(("error", e))
            continue
        samples[:frame.size] = frame.ravel()
        conn.send(("frame", frame.shape))


class ChildGrabber(object):
    """lurvo.cam(ip, port).get_frame, run in a child process."""

    def __init__(self, ip="127.0.0.1", port=5557):
        self._shared = RawArray(ctypes.c_uint16, MAX_SAMPLES)
        self._samples = np.ctypeslib.as_array(self._shared)
        self._conn, child_end = CONTEXT.Pipe()
        self.process = CONTEXT.Process(
            target=_serve, args=(child_end, self._conn, self._shared, ip, port))
        self.process.daemon = True
        self.process.start()
        child_end.close()

    def request(self, uri="/img.pgm"):
        """Starts one get_frame(uri) in the child and returns at once."""
        self._conn.send(uri)

    def result(self):
        """The requested frame as a new array, or get_frame's exception."""
        try:
            kind, value = self._conn.recv()
        except EOFError:
            raise RuntimeError("the grabbing process ended")
        if kind == "error":
            raise value
        height, width = value
        return self._samples[:height * width].reshape(height, width).copy()

    def grab(self, uri="/img.pgm"):
        self.request(uri)
        return self.result()

    def close(self):
        self._conn.close()
        self.process.join(5)
        if self.process.is_alive():
            self.process.terminate()
            self.process.join()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def main(argv):
    """Grabs frames from a camera server while a thread of this process
    counts: the count keeps going while the frames are on their way."""
    import argparse
    import threading
    parser = argparse.ArgumentParser(description=main.__doc__)
    parser.add_argument("--ip", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5557)
    parser.add_argument("--uri", default="/img.pgm")
    parser.add_argument("--frames", type=int, default=10)
    args = parser.parse_args(argv)
    if args.frames < 1:
        parser.error("--frames must be 1 or more")

    ticks = [0]
    done = threading.Event()

    def count():
        while not done.wait(0.001):
            ticks[0] += 1

    with ChildGrabber(args.ip, args.port) as grabber:
        counter = threading.Thread(target=count)
        counter.start()
        started = time.time()
        try:
            for _ in range(args.frames):
                frame = grabber.grab(args.uri)
        finally:
            done.set()
            counter.join()
        seconds = time.time() - started
    print("%d frames of %dx%d %s in %.2f s; the other thread counted %d times meanwhile"
          % (args.frames, frame.shape[1], frame.shape[0], frame.dtype, seconds, ticks[0]))


if __name__ == "__main__":
    main(sys.argv[1:])
