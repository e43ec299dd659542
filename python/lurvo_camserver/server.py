"""The camera server's loop: one thread per connection, each reading the
request within a deadline and answering with the next frame of a source
(lurvo_camserver.frames), bounded by a number of requests, a duration and
SIGTERM or SIGINT."""
from __future__ import print_function

import collections
import errno
import os
import signal
import socket
import sys
import threading
import time

from lurvo_camserver.http import find_header_end, parse_request_line, text_reply

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 5557
DEFAULT_PATH = "/img.pgm"
MAX_REQUEST = 8192

_FIELDS = "host port path max_requests duration request_timeout send_timeout log"


class Settings(collections.namedtuple("Settings", _FIELDS)):
    """What a server is told: where it listens, the image's path, when it
    stops (after max_requests connections, after duration seconds; None
    for no bound), how long a client has for its request and the server
    for its answer, and whether it logs a line per request."""
    __slots__ = ()

    def __new__(cls, host=DEFAULT_HOST, port=DEFAULT_PORT, path=DEFAULT_PATH,
                max_requests=None, duration=None, request_timeout=2.0, send_timeout=10.0,
                log=False):
        return super(Settings, cls).__new__(cls, host, port, path, max_requests, duration,
                                            request_timeout, send_timeout, log)


class Server(object):
    def __init__(self, settings, source):
        self.settings = settings
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
        if not self.settings.log:
            return
        with self.log_lock:
            sys.stderr.write("%s %s:%d %s %s %s %d\n" % (
                time.strftime("%H:%M:%S"), client[0], client[1],
                method or "-", path or "-", status, nbytes))
            sys.stderr.flush()

    def read_request(self, conn):
        """The request head, or None if the client went silent (the
        deadline ran out) or the request grew past MAX_REQUEST."""
        deadline = time.time() + self.settings.request_timeout
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
            return None, None, 400, text_reply(400, "cannot parse the request line\n")
        method, path = parsed
        if method != "GET":
            return method, path, 405, text_reply(405, "only GET is served\n", ("Allow: GET",))
        if path.split("?", 1)[0] != self.settings.path:
            return method, path, 404, text_reply(
                404, "no image at %s (try %s)\n" % (path, self.settings.path))
        try:
            frame = self.source.response(self.next_frame_number())
        except Exception as e:
            # The server outlives a failing camera: the client is told,
            # and the reason goes where the operator looks.
            with self.log_lock:
                sys.stderr.write("lurvo_camserver: no frame for %s: %s: %s\n"
                                 % (path, type(e).__name__, e))
                sys.stderr.flush()
            return method, path, 500, text_reply(500, "no frame\n")
        return method, path, 200, frame

    def reply_to(self, head, how):
        """(method, path, status, reply) for a request read as `how`."""
        if how == "ok":
            return self.respond(head)
        if how == "timeout":
            return None, None, 408, text_reply(
                408, "no complete request within %g s\n" % self.settings.request_timeout)
        if how == "large":
            return None, None, 400, text_reply(400, "request longer than %d bytes\n" % MAX_REQUEST)
        return None, None, "closed", b""

    def handle(self, conn, client):
        method = path = None
        status, sent = "-", 0
        try:
            method, path, status, reply = self.reply_to(*self.read_request(conn))
            if reply:
                conn.settimeout(self.settings.send_timeout)
                conn.sendall(reply)
                sent = len(reply)
                self.linger(conn)
        except socket.error as e:
            status = "%s (%s)" % (status, os.strerror(e.errno) if e.errno else e)
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

    def accept_all(self, lsock):
        """Accepts and hands off connections until a bound or a signal;
        returns the handlers' threads and the count."""
        settings = self.settings
        deadline = time.time() + settings.duration if settings.duration else None
        handled = 0
        threads = []
        lsock.settimeout(0.1)
        while not self.stop.is_set():
            if deadline is not None and time.time() >= deadline:
                self.stop_reason = "duration %g s" % settings.duration
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
            if settings.max_requests and handled >= settings.max_requests:
                self.stop_reason = "%d requests" % handled
                break
        return threads, handled

    def serve(self, lsock):
        threads, handled = self.accept_all(lsock)
        lsock.close()
        # Let answers in progress finish, but not for long after a signal.
        settings = self.settings
        grace = 1.0 if self.stop.is_set() else (
            settings.request_timeout + settings.send_timeout + 1.0)
        end = time.time() + grace
        for t in threads:
            t.join(max(0.0, end - time.time()))
        if settings.log:
            sys.stderr.write("stopped (%s) after %d requests\n"
                             % (self.stop_reason or "signal", handled))
        return 0


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


def run(server):
    """Listens, says where, and serves until a bound or a signal."""
    if threading.current_thread().name == "MainThread":
        signal.signal(signal.SIGTERM, server.on_signal)
        signal.signal(signal.SIGINT, server.on_signal)
    lsock = listen(server.settings.host, server.settings.port)
    host, port = lsock.getsockname()[:2]
    sys.stdout.write("listening on %s:%d\n" % (host, port))
    sys.stdout.flush()
    return server.serve(lsock)
