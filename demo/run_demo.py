#!/usr/bin/env python
"""The lurvo demo: starts the bundled camera server on a free port, grabs
frames with lurvo for a few seconds, prints what came back and how fast,
and writes the last frame as a 16-bit greyscale PNG.

The server always runs as a child process and is stopped by its PID when
the demo ends, however it ends."""
from __future__ import print_function, division

import argparse
import errno
import os
import select
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The bundled camera server and PNG writer, packages of python/; installed
# ones win.
PACKAGES = os.path.join(ROOT, "python")
PATH = "/img.pgm"
HOST = "127.0.0.1"
START_TIMEOUT = 15.0

# The module is built in place at the top of the project; appended so that
# an interpreter's own path still wins.
for folder in (ROOT, PACKAGES):
    if folder not in sys.path:
        sys.path.append(folder)


class DemoError(Exception):
    pass


def import_lurvo():
    try:
        import lurvo
    except ImportError as e:
        raise DemoError("lurvo is not built: run make build (%s)" % e)
    return lurvo


def positive_seconds(text):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number of seconds" % text)
    if not 0 < v < 3600:
        raise argparse.ArgumentTypeError("%r is outside (0, 3600)" % text)
    return v


def make_parser():
    p = argparse.ArgumentParser(
        prog="run_demo.py",
        description="Start the demo camera server, grab frames with lurvo, "
                    "print a summary and write the last frame as a PNG.")
    p.add_argument("--seconds", type=positive_seconds, default=3.0,
                   help="how long to grab frames (default %(default)s)")
    p.add_argument("--bits", type=int, choices=(8, 12, 16), default=16,
                   help="sample depth the server sends (default %(default)s)")
    p.add_argument("--width", type=int, default=1280,
                   help="frame width (default %(default)s)")
    p.add_argument("--height", type=int, default=1024,
                   help="frame height (default %(default)s)")
    p.add_argument("--port", type=int, default=0,
                   help="server port; 0 (default) picks a free one")
    p.add_argument("--out", default=os.path.join("out", "last_frame.png"),
                   help="where to write the last frame (default %(default)s)")
    return p


def read_first_line(proc, timeout):
    """The server's first stdout line, read without blocking past the
    deadline; None if the server exits or stays silent."""
    fd = proc.stdout.fileno()
    buf = b""
    deadline = time.time() + timeout
    while b"\n" not in buf:
        left = deadline - time.time()
        if left <= 0:
            return None
        try:
            ready, _, _ = select.select([fd], [], [], left)
        except select.error as e:
            if e.args[0] == errno.EINTR:
                continue
            raise
        if not ready:
            continue
        chunk = os.read(fd, 4096)
        if not chunk:
            return None
        buf += chunk
    return buf.split(b"\n", 1)[0].decode("ascii", "replace")


def start_server(args):
    cmd = [sys.executable, "-m", "lurvo_camserver", "--host", HOST, "--port", str(args.port),
           "--bits", str(args.bits), "--width", str(args.width),
           "--height", str(args.height),
           # A bound of its own, should this process die without stopping it.
           "--duration", str(args.seconds + 60)]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([p for p in [env.get("PYTHONPATH"), PACKAGES] if p])
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, env=env)
    line = read_first_line(proc, START_TIMEOUT)
    prefix = "listening on "
    if line is None or not line.startswith(prefix):
        stop_server(proc)
        raise DemoError("the demo server did not start (exit status %s); "
                        "its message, if any, is above" % proc.returncode)
    port = int(line.rsplit(":", 1)[1])
    return proc, port


def stop_server(proc):
    """SIGTERM to the server's PID, then SIGKILL if it has not gone within
    a few seconds.  Returns its exit status."""
    if proc.poll() is None:
        try:
            os.kill(proc.pid, signal.SIGTERM)
        except OSError:
            pass
        deadline = time.time() + 5.0
        while proc.poll() is None and time.time() < deadline:
            time.sleep(0.02)
        if proc.poll() is None:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()
    if proc.stdout is not None:
        proc.stdout.close()
    return proc.returncode


def pgm_size(width, height, bits):
    header = len("P5\n%d %d\n%d\n" % (width, height, (1 << bits) - 1))
    return header + width * height * (1 if bits == 8 else 2)


def grab(lurvo, port, seconds):
    """Frames for `seconds`: returns (count, elapsed, last, identical),
    identical counting frames equal to the one before (the server sends a
    different frame each time)."""
    import numpy as np
    cam = lurvo.cam(HOST, port)
    count = identical = 0
    last = None
    start = time.time()
    while True:
        try:
            frame = cam.get_frame(PATH)
        except RuntimeError as e:
            raise DemoError("get_frame failed after %d frames: %s" % (count, e))
        count += 1
        if last is not None and np.array_equal(frame, last):
            identical += 1
        last = frame
        elapsed = time.time() - start
        if elapsed >= seconds:
            return count, elapsed, last, identical


def report(args, count, elapsed, last, identical):
    mb = 1e6
    fps = count / elapsed
    wire = pgm_size(args.width, args.height, args.bits)
    print("frames:     %d in %.2f s" % (count, elapsed))
    print("shape:      %s" % (last.shape,))
    print("dtype:      %s" % last.dtype)
    print("min/max:    %d / %d (last frame)" % (last.min(), last.max()))
    print("rate:       %.1f frames/s" % fps)
    print("array:      %.1f MB/s (%d bytes per frame)"
          % (fps * last.nbytes / mb, last.nbytes))
    print("PGM:        %.1f MB/s (%d bytes per frame on the wire)"
          % (fps * wire / mb, wire))
    problems = []
    if last.shape != (args.height, args.width):
        problems.append("shape is %s, the server sends %dx%d"
                        % (last.shape, args.width, args.height))
    # The pattern holds both 0 and maxval; shifted to the top of 16 bits
    # maxval becomes maxval << (16 - bits).
    top = ((1 << args.bits) - 1) << (16 - args.bits)
    if int(last.max()) != top or int(last.min()) != 0:
        problems.append("expected min/max 0 / %d for %d-bit samples"
                        % (top, args.bits))
    if identical:
        problems.append("%d frames equal to the frame before" % identical)
    return problems


def main(argv=None):
    args = make_parser().parse_args(argv)
    proc = None
    try:
        lurvo = import_lurvo()
        proc, port = start_server(args)
        print("server:     pid %d on %s:%d, %dx%d, %d bits"
              % (proc.pid, HOST, port, args.width, args.height, args.bits))
        count, elapsed, last, identical = grab(lurvo, port, args.seconds)
        problems = report(args, count, elapsed, last, identical)
        folder = os.path.dirname(args.out)
        if folder and not os.path.isdir(folder):
            os.makedirs(folder)
        from lurvo_view.png16 import write_png16
        write_png16(args.out, last)
        print("last frame: %s" % args.out)
        for p in problems:
            print("warning:    %s" % p, file=sys.stderr)
        return 1 if problems else 0
    except DemoError as e:
        print("run_demo: %s" % e, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("run_demo: interrupted", file=sys.stderr)
        return 130
    finally:
        if proc is not None:
            status = stop_server(proc)
            if status not in (0, -signal.SIGTERM):
                print("run_demo: the server exited with status %s" % status,
                      file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
