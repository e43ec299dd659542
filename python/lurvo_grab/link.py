"""A grabber's end of one child: the messages from it, and every wait for
them, each bounded.

A wait sleeps in poll() on the socket, which releases the interpreter
lock, so the caller's other threads run meanwhile.  It ends when what it
waits for has come; when the child ends (end of file: RuntimeError naming
its exit status or signal); or at the bound: `timeout` seconds after the
wait began, or after the child said it was ready if that came later
(START_SECONDS for it to start), when the child is ended by its PID and
RuntimeError says so.  Either way the link is lost and the grabber starts
another child at its next call.
"""
import collections
import errno
import select
import socket
import time

from lurvo_grab import process, wire

now = getattr(time, "monotonic", time.time)     # Python 2 has only the wall clock

# For a fresh interpreter to import NumPy and lurvo, on a busy machine.
START_SECONDS = 30.0
# For a child that closed its socket to be gone.
REAP_SECONDS = 2.0


class NotYet(object):
    """What a step gives while its answer has not come."""

    def __repr__(self):
        return "NOT_YET"


NOT_YET = NotYet()


class Link(object):
    def __init__(self, address, shared, timeout, on_lost):
        self.proc, self.sock = process.start(address[0], address[1], shared)
        self.pid = self.proc.pid
        self.timeout = timeout
        self.started = now()
        self.ready_at = None
        self.reader = wire.Reader()
        self.queue = collections.deque()        # DONE, FRAME, STOPPED, in order
        self.lost = False
        self._on_lost = on_lost

    def fileno(self):
        return self.sock.fileno()

    def exited(self):
        return self.proc.poll() is not None

    def deadline(self, since):
        if self.ready_at is None:
            return self.started + START_SECONDS
        return max(since, self.ready_at) + self.timeout

    def check(self, since):
        """Ends the child if it has not answered in time (raises)."""
        if now() >= self.deadline(since):
            process.kill(self.proc)
            self._lose("gave no answer within %.1f s, and was ended with SIGKILL" % (
                self.timeout if self.ready_at is not None else START_SECONDS))

    def send(self, *messages):
        data = b"".join(wire.pack(*m) for m in messages)
        since = now()
        while data:
            try:
                data = data[self.sock.send(data):]
            except socket.error as e:
                if e.errno in (errno.EAGAIN, errno.EWOULDBLOCK):
                    self.check(since)
                    poll([self], 0.01, select.POLLOUT)
                elif e.errno in (errno.EPIPE, errno.ECONNRESET):
                    self._died()
                elif e.errno != errno.EINTR:
                    raise

    def pump(self):
        """Takes in whatever the child has sent, without waiting."""
        while True:
            try:
                data = self.sock.recv(65536)
            except socket.error as e:
                if e.errno in (errno.EAGAIN, errno.EWOULDBLOCK):
                    return
                if e.errno == errno.ECONNRESET:
                    data = b""
                elif e.errno == errno.EINTR:
                    continue
                else:
                    raise
            if not data:
                self._died()
            for message in self.reader.feed(data):
                if message[0] == wire.READY:
                    self.ready_at = now()
                elif message[0] != wire.NEWS:   # NEWS only wakes the wait
                    self.queue.append(message)

    def first(self, kind):
        """The oldest message if it is of this kind (taken), else None."""
        if self.queue and self.queue[0][0] == kind:
            return self.queue.popleft()
        return None

    def _died(self):
        status = process.reap(self.proc, REAP_SECONDS)
        self._lose(process.exit_text(status))

    def _lose(self, what):
        self.lost = True
        self.sock.close()
        self._on_lost()
        raise RuntimeError("lurvo_grab: the grabbing child (pid %d) %s" % (self.pid, what))

    def close(self, wait):
        """Closes the socket; the child, at end of file, ends by itself
        (waited for up to timeout seconds if wait, else ended at once)."""
        if self.lost:
            return
        self.lost = True
        self.sock.close()
        if wait:
            process.reap(self.proc, self.timeout)
        else:
            process.kill(self.proc)


def poll(links, seconds, events=select.POLLIN):
    """Sleeps until one of the links' sockets is ready or seconds pass;
    a signal ends the sleep early (the caller looks again)."""
    poller = select.poll()
    for link in links:
        poller.register(link.fileno(), events)
    try:
        poller.poll(max(0, int(seconds * 1000 + 0.999)))
    except select.error as e:           # Python 2 does not retry an interrupted poll
        if e.args[0] != errno.EINTR:
            raise


def wait(step, links, deadline):
    """Calls step() until it gives an answer, sleeping on the links in
    between; deadline() is when step() will raise for want of one."""
    while True:
        answer = step()
        if answer is not NOT_YET:
            return answer
        poll(links, deadline() - now())
