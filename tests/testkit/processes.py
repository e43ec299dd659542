"""Child processes: reading their first lines, waiting for their end,
each bounded in time, and ending them by their PID; the demo camera server
among them, on a free loopback port, always bounded by --duration, and
plain-socket clients."""
from __future__ import print_function, division

import contextlib
import os
import re
import select
import signal
import socket
import subprocess
import sys
import time

from testkit import with_packages

# The demo camera server, run as a program (PYTHONPATH: with_packages).
CAMSERVER = [sys.executable, "-m", "lurvo_camserver"]
HOST = "127.0.0.1"
FRAME_REQUEST = b"GET /img.pgm HTTP/1.0\n\n"
# Put before a program's argv: the program gets SIGKILL when the thread
# that started it ends, for one that has no bound of its own in time.
ENDS_WITH_US = ["setpriv", "--pdeathsig", "KILL"]


def plain_env(**changes):
    """The environment, with `changes`, for programs that are not under
    test: without a preloaded sanitizer runtime, which would report the
    program's own leaks."""
    env = dict((k, v) for k, v in os.environ.items() if k != "LD_PRELOAD")
    env.update(changes)
    return with_packages(env)


def read_line(fd, timeout):
    buf = b""
    deadline = time.time() + timeout
    while b"\n" not in buf:
        left = deadline - time.time()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            buf += chunk
    return buf.decode("ascii", "replace")


def eventually(condition, timeout, step=0.02):
    """Whether condition() holds, checked every `step` seconds until it
    does or `timeout` seconds have passed."""
    deadline = time.time() + timeout
    while not condition() and time.time() < deadline:
        time.sleep(step)
    return condition()


def wait_exit(proc, timeout):
    """The exit status, or None if the process still runs after timeout."""
    eventually(lambda: proc.poll() is not None, timeout)
    return proc.poll()


def end(proc, close_pipes=True):
    """Ends the process by its PID if it still runs, reaps it, and closes
    the pipes to it."""
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    for pipe in (proc.stdin, proc.stdout, proc.stderr):
        if pipe and close_pipes:
            pipe.close()


def child_env():
    """The environment without PYTHONUNBUFFERED, so a missing flush of the
    first line shows as it would for a user."""
    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)
    return with_packages(env)


class Server(object):
    """The server on --port 0, or the program `argv` that prints the same
    first line; stops by itself after --duration (30 s unless the test
    gives one: the last one given counts) and is ended by its PID on stop()."""

    def __init__(self, *args, **kw):
        argv = kw.pop("argv", CAMSERVER + ["--port", "0", "--duration", "30"])
        kw.setdefault("env", child_env())
        self.proc = subprocess.Popen(argv + list(args), stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, **kw)
        first_line = read_line(self.proc.stdout.fileno(), 15)
        m = re.match(r"listening on 127\.0\.0\.1:(\d+)\n$", first_line)
        if not m:
            end(self.proc, close_pipes=False)
            err = self.proc.stderr.read()
            self.stop()
            raise AssertionError("server did not start: first line %r, "
                                 "stderr %r" % (first_line, err))
        self.port = int(m.group(1))

    def stop(self):
        end(self.proc)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def run_cli(args, timeout=20, argv=CAMSERVER, **popen_args):
    """Runs the server (or another program, `argv`) to its end, ended by its
    PID after `timeout`; returns (status, stdout text, stderr text)."""
    popen_args.setdefault("env", child_env())
    proc = subprocess.Popen(list(argv) + list(args),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen_args)
    status = wait_exit(proc, timeout)
    end(proc, close_pipes=False)
    out, err = proc.communicate()
    return status, out.decode("ascii", "replace"), err.decode("ascii", "replace")


def receive_all(sock, timeout=10):
    """Reads until the peer closes."""
    deadline = time.time() + timeout
    parts = []
    while time.time() < deadline:
        chunk = sock.recv(1 << 16)
        if not chunk:
            return b"".join(parts)
        parts.append(chunk)
    raise AssertionError("server did not close within %s s" % timeout)


def connection(port, timeout=10):
    """A connection to the server, closed when the `with` block ends."""
    return contextlib.closing(socket.create_connection((HOST, port), timeout=timeout))


def exchange(port, request=FRAME_REQUEST, timeout=10):
    """Sends request and reads until the server closes."""
    with connection(port, timeout) as s:
        s.sendall(request)
        return receive_all(s, timeout)


def split_response(data):
    """(status line, header lines, body); header lines must end in CRLF."""
    head, sep, body = data.partition(b"\r\n\r\n")
    assert sep, "no empty line ends the header: %r" % data[:200]
    lines = head.split(b"\r\n")
    return lines[0], lines[1:], body
