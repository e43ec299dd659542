"""Loopback servers that play scripted answers, for the tests.

A ScriptedServer listens on 127.0.0.1 on a free port and serves one script
per accepted connection, in order.  It stops by itself after the last script
or after `duration` seconds, whichever comes first.  It runs in a thread
(enough for calls made through ctypes, which release the interpreter lock)
or in a child process (needed for lurvo.cam.get_frame, which keeps the lock
through its network waits).

A script is a list of steps:
    ("send", data)      send bytes; a peer that went away ends the script
    ("sleep", seconds)  stay silent
    ("trickle", data, gap)  send one byte at a time, `gap` seconds apart
    ("repeat", data, count) send data count times (large answers, little memory)
    ("reset",)          close with an RST instead of a FIN
    ("call", function)  call function(), for a test to act at this point
                        (in the server's thread, or in its process)
Unless a script starts with NO_READ, the server first reads the request
(up to an empty line, for at most 1 s) and records it; it closes the
connection after the last step.
"""
from __future__ import print_function

import contextlib
import errno
import multiprocessing
try:
    import queue
except ImportError:  # Python 2
    import Queue as queue
import socket
import struct
import threading
import time
import warnings

# A forked child, on every Python: it takes the listening socket as it is,
# and its queue's semaphores leave nothing in /dev/shm (the forkserver that
# 3.14 starts by default keeps them there, named, until collected).
try:
    PROCESSES = multiprocessing.get_context("fork")
except AttributeError:  # Python 2: fork is all there is
    PROCESSES = multiprocessing

NO_READ = ("no-read",)
REQUEST_READ_TIMEOUT = 1.0


def _read_request(conn):
    conn.settimeout(REQUEST_READ_TIMEOUT)
    data = b""
    try:
        while b"\n\n" not in data and b"\r\n\r\n" not in data:
            chunk = conn.recv(4096)
            if not chunk:
                break
            data += chunk
    except socket.error:
        pass
    conn.settimeout(None)
    return data


def _play(conn, script):
    for step in script:
        kind = step[0]
        if kind == "send":
            conn.sendall(step[1])
        elif kind == "sleep":
            time.sleep(step[1])
        elif kind == "trickle":
            for i in range(len(step[1])):
                conn.sendall(step[1][i:i + 1])
                time.sleep(step[2])
        elif kind == "repeat":
            for _ in range(step[2]):
                conn.sendall(step[1])
        elif kind == "reset":      # a linger time of 0 makes the close send an RST
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        elif kind == "call":
            step[1]()
        elif kind != NO_READ[0]:
            raise ValueError("unknown step %r" % (kind,))


def _serve(listener, scripts, duration, report):
    deadline = time.time() + duration
    for script in scripts:
        left = deadline - time.time()
        if left <= 0:
            break
        listener.settimeout(left)
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            break
        try:
            if not (script and script[0] == NO_READ):
                report(_read_request(conn))
            _play(conn, script)
        except socket.error as e:
            if e.errno not in (errno.EPIPE, errno.ECONNRESET):
                raise
        finally:
            conn.close()
    listener.close()


class ScriptedServer(object):
    def __init__(self, scripts, process=False, duration=10.0, port=0):
        self.scripts = list(scripts)
        self.process = process
        self.duration = duration
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self.listener.bind(("127.0.0.1", port))
        except socket.error:
            self.listener.close()
            raise
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self._requests = []
        self._queue = None
        self._runner = None

    def __enter__(self):
        if self.process:
            self._queue = PROCESSES.Queue()
            runner, report = PROCESSES.Process, self._queue.put
        else:
            runner, report = threading.Thread, self._requests.append
        self._runner = runner(target=_serve,
                              args=(self.listener, self.scripts, self.duration, report))
        self._runner.daemon = True
        with warnings.catch_warnings():
            # Python 3.12 and later warn of any fork in a process with
            # threads (the grabber's launcher, a test's own): this child
            # only plays its scripts on sockets and takes no lock a thread
            # could hold.
            warnings.simplefilter("ignore", DeprecationWarning)
            self._runner.start()
        if self.process:
            self.listener.close()       # the child has its own copy
        return self

    def __exit__(self, *exc):
        self.stop(abandon=exc[0] is not None)
        return False

    def stop(self, abandon=False):
        """Waits for the server to finish its scripts (within its duration);
        a child process is ended at once when the test has failed."""
        if self._runner is None:
            return
        if self.process and abandon:
            self._runner.terminate()
        if self.process:
            # Drain while waiting: a child blocked on a full pipe never ends.
            deadline = time.time() + self.duration + 1.0
            while self._runner.is_alive() and time.time() < deadline:
                self._drain(0.05)
            if self._runner.is_alive():
                self._runner.terminate()
            self._runner.join(1.0)
            self._drain(0.05)
            self._queue.close()
        else:
            self._runner.join(self.duration + 1.0)
        self._runner = None

    def _drain(self, timeout):
        while True:
            try:
                self._requests.append(self._queue.get(timeout=timeout))
            except queue.Empty:
                return

    def requests(self):
        self.stop()
        return list(self._requests)


def serving(*responses, **kw):
    """A server in a child process (as get_frame needs) that answers each
    connection in turn with the next of the responses, whole."""
    return ScriptedServer([[("send", r)] for r in responses], process=True, **kw)


def closed_port():
    """A loopback port that nothing listens on."""
    with contextlib.closing(socket.socket(socket.AF_INET, socket.SOCK_STREAM)) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class DroppingListener(object):
    """A listener whose accept queue is full, so that the kernel drops
    further connection attempts as a host that drops packets would."""

    def __enter__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        self.fillers = []
        for _ in range(8):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", self.port))
            self.fillers.append(s)
        time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        for s in self.fillers:
            s.close()
        self.listener.close()
        return False
