#!/usr/bin/env python
"""Grab frames without stopping this process's other threads: lurvo_grab
runs get_frame in a child process, and this thread waits without the
interpreter lock.  Here a second thread counts every millisecond while the
frames come, and the count keeps going.

    python examples/grab_in_child.py --port 5557 --frames 10
"""
from __future__ import print_function

import argparse
import sys
import threading
import time

from lurvo_grab import Grabber


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
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

    counter = threading.Thread(target=count)
    with Grabber(args.ip, args.port) as grabber:
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
