#!/usr/bin/env python
"""A camera server for lurvo: answers "GET <path>" with a binary PGM frame.

Serving your own camera's frames: give serve() (or main(), for the same
command line as the demo) a function that returns the next frame, either
as a 2-D NumPy array of uint8 or uint16 with its maxval, or as the bytes
of a binary PGM:

    import lurvo_camserver

    def grab():
        return camera.read(), 4095          # say, 12-bit samples in uint16

    lurvo_camserver.serve(grab, port=5557)  # or: lurvo_camserver.main(frames=grab)

Each frame goes out as a PGM in the one header form lurvo accepts, in an
HTTP/1.0 response whose header block is small enough for a 1280x1024
16-bit frame in lurvo's buffer; the connection is closed after it.  The
function is called once per request, one call at a time, on the thread
that answers the request.  When it raises, or returns something that is
no frame, the client gets "500 Internal Server Error", the reason goes to
stderr as one line, and the server goes on serving.  It stops after
max_requests connections or duration seconds when they are given, and on
SIGTERM or SIGINT when it runs on the main thread.

Run as a program, it is the demo camera server.

Without --dir it serves a moving synthetic test pattern, each request the
next frame.  A frame is, from top to bottom:

  * a counter band (the top rows, at most 16): the frame number in binary,
    most significant bit on the left, one block of columns per bit (up to
    32 bits); a block is maxval for a 1 and 0 for a 0;
  * below it a diagonal ramp, sample (x, y) rising from 0 at the top left
    to maxval at the bottom right, crossed by a vertical bar at maxval
    that steps across the width over 16 frames.

With --dir DIR it serves the .pgm files of DIR in name order, cycling.

Every response is HTTP/1.0 and the connection is closed after it.  The
module uses only the standard library (and NumPy for the arrays a frame
function returns) and runs on Python 2.7 and 3.
"""
from __future__ import print_function, division

import argparse
import array
import errno
import os
import signal
import socket
import sys
import threading
import time

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 5557
DEFAULT_PATH = "/img.pgm"
PHASES = 16
MAX_SIDE = 8192
MAX_PIXELS = 4096 * 4096
MAX_REQUEST = 8192
COUNTER_BITS = 32
WHITESPACE = b" \t\r\n\x0b\x0c"

STATUS_TEXT = {
    200: "OK",
    400: "Bad Request",
    404: "Not Found",
    405: "Method Not Allowed",
    408: "Request Timeout",
    500: "Internal Server Error",
}


def maxval_for_bits(bits):
    return (1 << bits) - 1


def encode_samples(values, maxval):
    """Raw PGM samples: one byte each up to maxval 255, else two bytes
    big-endian."""
    if maxval <= 255:
        return bytes(bytearray(values))
    a = array.array("H", values)
    if sys.byteorder == "little":
        a.byteswap()
    return a.tobytes() if hasattr(a, "tobytes") else a.tostring()


def pgm_header(width, height, maxval):
    """The one header form lurvo accepts: no comments, one space between
    width and height, LF line ends."""
    return ("P5\n%d %d\n%d\n" % (width, height, maxval)).encode("ascii")


def pgm_parts(samples, maxval):
    """The header and raster of a binary PGM in the strict form, from a
    2-D NumPy array of uint8 or uint16 samples, none above maxval: one
    byte a sample up to maxval 255, else two, big-endian."""
    import numpy as np
    samples = np.asarray(samples)
    if samples.ndim != 2 or samples.dtype not in (np.uint8, np.uint16):
        raise ValueError("a frame is a 2-D array of uint8 or uint16, not %d-D %s"
                         % (samples.ndim, samples.dtype))
    maxval = int(maxval)
    if not 1 <= maxval <= 65535:
        raise ValueError("maxval %d is outside 1..65535" % maxval)
    height, width = samples.shape
    if width < 1 or height < 1:
        raise ValueError("size %dx%d is empty" % (width, height))
    # A pass over every sample, skipped where the type cannot exceed maxval.
    if maxval < np.iinfo(samples.dtype).max:
        top = int(samples.max())
        if top > maxval:
            raise ValueError("a sample is %d, above maxval %d" % (top, maxval))
    raster = samples.astype(">u1" if maxval <= 255 else ">u2", copy=False)
    return pgm_header(width, height, maxval), raster.tobytes()


def pgm_bytes(samples, maxval):
    """pgm_parts joined: the PGM file's bytes."""
    return b"".join(pgm_parts(samples, maxval))


def http_head(status, content_type, length, extra=()):
    lines = ["HTTP/1.0 %d %s" % (status, STATUS_TEXT[status]),
             "Content-Type: " + content_type,
             "Content-Length: %d" % length]
    lines.extend(extra)
    return ("\r\n".join(lines) + "\r\n\r\n").encode("ascii")


class Pattern(object):
    """Frames of the synthetic test pattern.  The ramp and bar of all
    phases are built once at start-up; only the counter band is made per
    request, so serving costs one join of a few megabytes."""

    def __init__(self, width, height, bits):
        self.width = width
        self.height = height
        self.maxval = maxval_for_bits(bits)
        self.bps = 1 if self.maxval <= 255 else 2
        self.band = min(16, max(1, height // 8))
        self.nbits = min(COUNTER_BITS, width)
        self.block = width // self.nbits
        self.header = pgm_header(width, height, self.maxval)
        self.frame_size = len(self.header) + width * height * self.bps
        self.head = http_head(200, "image/x-portable-graymap", self.frame_size)
        self.lower = self._build_phases()

    def _build_phases(self):
        w, h, bps, maxval = self.width, self.height, self.bps, self.maxval
        # Sample (x, y) is ramp[x + y]: each row is a slice of one long
        # ramp, which keeps start-up fast without numpy.
        n = w + h - 1
        top = max(1, n - 1)
        ramp = encode_samples([i * maxval // top for i in range(n)], maxval)
        rowlen = w * bps
        base = bytearray(b"".join(ramp[y * bps:y * bps + rowlen]
                                  for y in range(self.band, h)))
        bar_w = max(1, w // 32)
        bar = encode_samples([maxval] * bar_w, maxval)
        phases = []
        for p in range(PHASES):
            frame = bytearray(base)
            x0 = min(p * w // PHASES, w - bar_w) * bps
            for r in range(h - self.band):
                off = r * rowlen + x0
                frame[off:off + len(bar)] = bar
            phases.append(bytes(frame))
        return phases

    def counter_band(self, number):
        values = []
        for k in range(self.nbits - 1, -1, -1):
            on = (number >> k) & 1
            values.extend([self.maxval if on else 0] * self.block)
        values.extend([0] * (self.width - len(values)))
        return encode_samples(values, self.maxval) * self.band

    def response(self, number):
        return b"".join((self.head, self.header, self.counter_band(number),
                         self.lower[number % PHASES]))


def parse_pgm(data, check_samples=True):
    """Reads a binary PGM in any header form netpbm allows (comments,
    any whitespace) and returns (width, height, maxval, raster).  Raises
    ValueError with the reason.  The samples are checked against maxval
    unless check_samples is false (a pure-Python pass over every sample
    is too slow to make per frame)."""
    if data[:2] != b"P5":
        raise ValueError("not a binary PGM (starts with %r, expected 'P5')"
                         % data[:2])
    pos, n = 2, len(data)
    values = []
    for name in ("width", "height", "maxval"):
        while pos < n:
            c = data[pos:pos + 1]
            if c in WHITESPACE:
                pos += 1
            elif c == b"#":
                while pos < n and data[pos:pos + 1] not in b"\r\n":
                    pos += 1
            else:
                break
        start = pos
        while pos < n and data[pos:pos + 1].isdigit():
            pos += 1
        if start == pos:
            raise ValueError("no %s in the header" % name)
        values.append(int(data[start:pos]))
    width, height, maxval = values
    if pos >= n or data[pos:pos + 1] not in WHITESPACE:
        raise ValueError("no whitespace after maxval")
    pos += 1
    if width < 1 or height < 1:
        raise ValueError("size %dx%d is empty" % (width, height))
    if not 1 <= maxval <= 65535:
        raise ValueError("maxval %d is outside 1..65535" % maxval)
    bps = 1 if maxval <= 255 else 2
    want = width * height * bps
    got = n - pos
    if got < want:
        raise ValueError("raster is %d bytes, %dx%d needs %d"
                         % (got, width, height, want))
    if got > want:
        extra = got - want
        raise ValueError("%d byte%s after the raster (only one image per "
                         "file is served)" % (extra, "" if extra == 1 else "s"))
    raster = data[pos:]
    if not check_samples:
        return width, height, maxval, raster
    if bps == 1:
        top = max(bytearray(raster))
    else:
        a = array.array("H")
        if hasattr(a, "frombytes"):
            a.frombytes(raster)
        else:
            a.fromstring(raster)
        if sys.byteorder == "little":
            a.byteswap()
        top = max(a)
    if top > maxval:
        raise ValueError("a sample is %d, above maxval %d" % (top, maxval))
    return width, height, maxval, raster


class DirFrames(object):
    """The .pgm files of a folder, checked and held in memory, each with
    its header rewritten in the strict form."""

    def __init__(self, folder):
        names = sorted(f for f in os.listdir(folder)
                       if f.lower().endswith(".pgm")
                       and os.path.isfile(os.path.join(folder, f)))
        if not names:
            raise ValueError("%s holds no .pgm file" % folder)
        self.names = names
        self.responses = []
        for name in names:
            path = os.path.join(folder, name)
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except (IOError, OSError) as e:
                raise ValueError("cannot read %s: %s" % (path, e.strerror or e))
            try:
                width, height, maxval, raster = parse_pgm(data)
            except ValueError as e:
                raise ValueError("%s: %s" % (path, e))
            body = pgm_header(width, height, maxval) + raster
            head = http_head(200, "image/x-portable-graymap", len(body))
            self.responses.append(head + body)

    def response(self, number):
        return self.responses[number % len(self.responses)]


class FunctionFrames(object):
    """Frames from a function of the user's, one call per request; calls
    are made one at a time, so the function need not be thread-safe."""

    def __init__(self, frames):
        self.frames = frames
        self.lock = threading.Lock()

    def response(self, number):
        with self.lock:
            frame = self.frames()
        if isinstance(frame, (bytes, bytearray)):
            width, height, maxval, raster = parse_pgm(bytes(frame), check_samples=False)
            header = pgm_header(width, height, maxval)
        elif isinstance(frame, tuple) and len(frame) == 2:
            header, raster = pgm_parts(*frame)
        else:
            raise TypeError("a frame function returns (array, maxval) or PGM "
                            "bytes, not %s" % type(frame).__name__)
        head = http_head(200, "image/x-portable-graymap", len(header) + len(raster))
        return b"".join((head, header, raster))


def find_header_end(buf):
    """Index just past the empty line that ends the request, or -1.
    Lines may end in LF or CRLF."""
    ends = [i for i in (buf.find(b"\n\n"), buf.find(b"\n\r\n")) if i >= 0]
    if not ends:
        return -1
    i = min(ends)
    return i + (2 if buf[i:i + 2] == b"\n\n" else 3)


def parse_request_line(head):
    """Returns (method, path) or None when the request line is not
    "<METHOD> <path> HTTP/<x>.<y>"."""
    line = head.split(b"\n", 1)[0]
    if line.endswith(b"\r"):
        line = line[:-1]
    parts = line.split(b" ")
    if len(parts) != 3:
        return None
    method, path, version = parts
    if not method.isalpha() or not method.isupper():
        return None
    if not path.startswith(b"/"):
        return None
    if not (version.startswith(b"HTTP/") and len(version) == 8
            and version[5:6].isdigit() and version[6:7] == b"."
            and version[7:8].isdigit()):
        return None
    try:
        return method.decode("ascii"), path.decode("ascii")
    except UnicodeDecodeError:
        return None


class Server(object):
    def __init__(self, args, source):
        self.args = args
        self.source = source
        self.stop = threading.Event()
        self.stop_reason = None
        self.frame_lock = threading.Lock()
        self.frame_number = 0
        self.log_lock = threading.Lock()

    def next_frame_number(self):
        with self.frame_lock:
            n = self.frame_number
            self.frame_number += 1
            return n

    def log(self, client, method, path, status, nbytes):
        if not self.args.log:
            return
        with self.log_lock:
            sys.stderr.write("%s %s:%d %s %s %s %d\n" % (
                time.strftime("%H:%M:%S"), client[0], client[1],
                method or "-", path or "-", status, nbytes))
            sys.stderr.flush()

    def read_request(self, conn):
        """The request head, or None if the client went silent (the
        deadline ran out) or the request grew past MAX_REQUEST."""
        deadline = time.time() + self.args.request_timeout
        buf = b""
        while True:
            end = find_header_end(buf)
            if end >= 0:
                return buf[:end], "ok"
            if len(buf) > MAX_REQUEST:
                return buf, "large"
            left = deadline - time.time()
            if left <= 0:
                return buf, "timeout"
            conn.settimeout(left)
            try:
                chunk = conn.recv(4096)
            except socket.timeout:
                return buf, "timeout"
            if not chunk:
                return buf, "closed"
            buf += chunk

    def respond(self, head):
        parsed = parse_request_line(head)
        if parsed is None:
            return None, None, 400, self.text_reply(
                400, "cannot parse the request line\n")
        method, path = parsed
        if method != "GET":
            return method, path, 405, self.text_reply(
                405, "only GET is served\n", ("Allow: GET",))
        if path.split("?", 1)[0] != self.args.path:
            return method, path, 404, self.text_reply(
                404, "no image at %s (try %s)\n" % (path, self.args.path))
        try:
            frame = self.source.response(self.next_frame_number())
        except Exception as e:
            # The server outlives a failing camera: the client is told,
            # and the reason goes where the operator looks.
            with self.log_lock:
                sys.stderr.write("lurvo_camserver: no frame for %s: %s: %s\n"
                                 % (path, type(e).__name__, e))
                sys.stderr.flush()
            return method, path, 500, self.text_reply(500, "no frame\n")
        return method, path, 200, frame

    @staticmethod
    def text_reply(status, text, extra=()):
        body = text.encode("ascii", "replace")
        return http_head(status, "text/plain; charset=us-ascii", len(body),
                         extra) + body

    def handle(self, conn, client):
        method = path = None
        status, sent = "-", 0
        try:
            head, how = self.read_request(conn)
            if how == "ok":
                method, path, status, reply = self.respond(head)
            elif how == "timeout":
                status, reply = 408, self.text_reply(
                    408, "no complete request within %g s\n"
                    % self.args.request_timeout)
            elif how == "large":
                status, reply = 400, self.text_reply(
                    400, "request longer than %d bytes\n" % MAX_REQUEST)
            else:
                status, reply = "closed", b""
            if reply:
                conn.settimeout(self.args.send_timeout)
                conn.sendall(reply)
                sent = len(reply)
                self.linger(conn)
        except socket.error as e:
            status = "%s (%s)" % (status, os.strerror(e.errno) if e.errno
                                  else e)
        finally:
            conn.close()
            self.log(client, method, path, status, sent)

    @staticmethod
    def linger(conn):
        """Half-close, then read until the client closes: closing a socket
        with unread input resets the connection, and the client could lose
        the end of the frame."""
        conn.shutdown(socket.SHUT_WR)
        conn.settimeout(1.0)
        drained = 0
        try:
            while drained < 65536:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                drained += len(chunk)
        except socket.error:
            pass

    def on_signal(self, signum, frame):
        self.stop_reason = "signal %d" % signum
        self.stop.set()

    def serve(self, lsock):
        args = self.args
        deadline = time.time() + args.duration if args.duration else None
        handled = 0
        threads = []
        lsock.settimeout(0.1)
        while not self.stop.is_set():
            if deadline is not None and time.time() >= deadline:
                self.stop_reason = "duration %g s" % args.duration
                break
            try:
                conn, client = lsock.accept()
            except socket.timeout:
                continue
            except socket.error as e:
                if e.errno == errno.EINTR:
                    continue
                raise
            handled += 1
            t = threading.Thread(target=self.handle, args=(conn, client))
            t.daemon = True
            t.start()
            threads = [x for x in threads if x.is_alive()] + [t]
            if args.max_requests and handled >= args.max_requests:
                self.stop_reason = "%d requests" % handled
                break
        lsock.close()
        # Let answers in progress finish, but not for long after a signal.
        grace = 1.0 if self.stop.is_set() else (
            args.request_timeout + args.send_timeout + 1.0)
        end = time.time() + grace
        for t in threads:
            t.join(max(0.0, end - time.time()))
        if args.log:
            sys.stderr.write("stopped (%s) after %d requests\n"
                             % (self.stop_reason or "signal", handled))
        return 0


def positive_int(limit):
    def check(text):
        try:
            v = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not a whole number" % text)
        if not 1 <= v <= limit:
            raise argparse.ArgumentTypeError("%d is outside 1..%d" % (v, limit))
        return v
    return check


def port_number(text):
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a port number" % text)
    if not 0 <= v <= 65535:
        raise argparse.ArgumentTypeError("%d is outside 0..65535" % v)
    return v


def positive_seconds(text):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number of seconds" % text)
    if not v > 0 or v != v or v == float("inf"):
        raise argparse.ArgumentTypeError("%r must be above 0" % text)
    return v


def make_parser():
    p = argparse.ArgumentParser(
        prog="lurvo_camserver.py",
        description="Demo camera server for lurvo: answers GET <path> over "
                    "HTTP/1.0 with a binary PGM frame (a moving test pattern, "
                    "or the .pgm files of a folder) and closes the connection.")
    p.add_argument("--host", default=DEFAULT_HOST,
                   help="address to listen on (default %(default)s)")
    p.add_argument("--port", type=port_number, default=DEFAULT_PORT,
                   help="port to listen on; 0 picks a free one (default "
                        "%(default)s). The first line on stdout is always "
                        "'listening on HOST:PORT'")
    p.add_argument("--path", default=DEFAULT_PATH,
                   help="path of the image (default %(default)s); any other "
                        "path gets 404")
    p.add_argument("--width", type=positive_int(MAX_SIDE), default=1280,
                   help="pattern width (default %(default)s)")
    p.add_argument("--height", type=positive_int(MAX_SIDE), default=1024,
                   help="pattern height (default %(default)s)")
    p.add_argument("--bits", type=int, choices=(8, 12, 16), default=16,
                   help="pattern sample depth: maxval 255, 4095 or 65535 "
                        "(default %(default)s)")
    p.add_argument("--dir", metavar="DIR",
                   help="serve the .pgm files of DIR in name order, cycling, "
                        "instead of the pattern")
    p.add_argument("--log", action="store_true",
                   help="print one line per request to stderr")
    p.add_argument("--max-requests", type=positive_int(10 ** 9), metavar="N",
                   help="stop after N connections")
    p.add_argument("--duration", type=positive_seconds, metavar="S",
                   help="stop after S seconds")
    p.add_argument("--request-timeout", type=positive_seconds, default=2.0,
                   metavar="S",
                   help="time a client has to send its request (default "
                        "%(default)s); a late one gets 408")
    p.add_argument("--send-timeout", type=positive_seconds, default=10.0,
                   metavar="S", help=argparse.SUPPRESS)
    return p


def listen(host, port):
    """A listening socket, or exits with a clear message."""
    try:
        infos = socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM)
    except socket.gaierror as e:
        sys.stderr.write("lurvo_camserver: cannot resolve host %s: %s\n"
                         % (host, e.strerror))
        sys.exit(1)
    family, socktype, proto, _, addr = infos[0]
    s = socket.socket(family, socktype, proto)
    # Lets a restart reuse a port whose old connections linger in
    # TIME_WAIT; on Linux it still refuses a port another socket listens on.
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind(addr)
        s.listen(64)
    except socket.error as e:
        s.close()
        if e.errno == errno.EADDRINUSE:
            sys.stderr.write("lurvo_camserver: port %d on %s is in use\n"
                             % (port, host))
        else:
            sys.stderr.write("lurvo_camserver: cannot listen on %s:%d: %s\n"
                             % (host, port, e.strerror or e))
        sys.exit(1)
    return s


def valid_path(path):
    """A path that a request line can carry as it is."""
    return path.startswith("/") and " " not in path


def main(argv=None, frames=None):
    """The demo server's command line; with frames, a function as serve()
    takes it, serves that function's frames instead of the pattern."""
    parser = make_parser()
    args = parser.parse_args(argv)
    if not valid_path(args.path):
        parser.error("--path must start with / and hold no space")
    if frames is not None:
        source = FunctionFrames(frames)
    elif args.dir is not None:
        if not os.path.isdir(args.dir):
            parser.error("--dir %s is not a folder" % args.dir)
        try:
            source = DirFrames(args.dir)
        except (ValueError, OSError) as e:
            parser.error("--dir: %s" % e)
    else:
        if args.width * args.height > MAX_PIXELS:
            parser.error("--width x --height is above %d pixels" % MAX_PIXELS)
        source = Pattern(args.width, args.height, args.bits)

    return run(Server(args, source))


def run(server):
    if threading.current_thread().name == "MainThread":
        signal.signal(signal.SIGTERM, server.on_signal)
        signal.signal(signal.SIGINT, server.on_signal)
    lsock = listen(server.args.host, server.args.port)
    host, port = lsock.getsockname()[:2]
    sys.stdout.write("listening on %s:%d\n" % (host, port))
    sys.stdout.flush()
    return server.serve(lsock)


def serve(frames, host=DEFAULT_HOST, port=DEFAULT_PORT, path=DEFAULT_PATH,
          max_requests=None, duration=None, request_timeout=2.0, log=False):
    """Serves frames() to GET path on host:port until max_requests
    connections or duration seconds (each when given) or a signal, then
    returns 0.  frames returns (2-D uint8 or uint16 array, maxval) or PGM
    bytes.  Port 0 picks a free port; the first line on stdout is always
    'listening on HOST:PORT'."""
    if not valid_path(path):
        raise ValueError("path %r must start with / and hold no space" % path)
    settings = argparse.Namespace(
        host=host, port=port, path=path, max_requests=max_requests,
        duration=duration, request_timeout=request_timeout, send_timeout=10.0,
        log=log)
    return run(Server(settings, FunctionFrames(frames)))


if __name__ == "__main__":
    sys.exit(main())
