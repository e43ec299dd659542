"""The grabbing child: one lurvo.cam, its frames written into the shared
slots, started by lurvo_grab.process as

    python -m lurvo_grab.child IP_HEX PORT PARENT_PID SLOTS

with the socket to its parent as standard input and the shared memory file
as standard output.  get_frame keeps this process's interpreter lock for
the whole call, which stops nobody: this process does nothing else.

It ends when its parent closes the socket or ends: at end of file on the
socket, read between grabs, and at once by PR_SET_PDEATHSIG, which the
kernel delivers even while a grab holds it (a SIGKILLed parent closes no
socket in time for that).  Between two grabs of a stream it reads what the
parent sent without waiting, and waits only when it has no slot to fill.
"""
import binascii
import collections
import ctypes
import errno
import os
import select
import signal
import socket
import sys

from lurvo_grab import wire
from lurvo_grab.shared import DROPPED, FAILED, GRABBED, NO_SLOT, Shared

PR_SET_PDEATHSIG = 1


def _end_with_parent(parent_pid):
    """SIGKILL when the parent ends; and if it has ended already, before
    this could be asked for, end now."""
    try:
        ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except AttributeError:          # not Linux: end of file alone ends the child
        pass
    if os.getppid() != parent_pid:
        os._exit(0)


# glibc's mallopt parameters: the size above which a block is a mapping of
# its own, and the free space at the top of the heap past which it shrinks.
M_TRIM_THRESHOLD, M_MMAP_THRESHOLD = -1, -3


def _keep_freed_memory():
    """Has malloc keep the memory get_frame frees for its next call.  Each
    call allocates a receive buffer and an array of megabytes and frees
    them; glibc hands such blocks back to the kernel (a mapping of their
    own, or the heap's top trimmed) until its sliding threshold has grown
    past them, so that the first frames, and each frame larger than any
    before it, would fault their pages in again: over a thousand page
    faults a frame, most of the time of a grab.  This process does nothing else, so keeping a few
    frames' worth of memory costs nothing."""
    try:
        libc = ctypes.CDLL(None)
        libc.mallopt(M_MMAP_THRESHOLD, 32 << 20)
        libc.mallopt(M_TRIM_THRESHOLD, 256 << 20)
    except AttributeError:          # not glibc: its own policy stands
        pass


def _take_descriptors():
    """(socket, shared memory descriptor) from standard input and output,
    which then point at /dev/null: nothing printed lands in a frame."""
    sock = socket.fromfd(0, socket.AF_UNIX, socket.SOCK_STREAM)
    shared_fd = os.dup(1)
    null = os.open(os.devnull, os.O_RDWR)
    os.dup2(null, 0)
    os.dup2(null, 1)
    os.close(null)
    return sock, shared_fd


class Child(object):
    def __init__(self, cam, shared, sock):
        self.cam = cam
        self.shared = shared
        self.sock = sock
        self.reader = wire.Reader()
        self.commands = collections.deque()
        self.poller = select.poll()
        self.poller.register(sock.fileno(), select.POLLIN)

    def send(self, kind, slot=0):
        self.sock.sendall(wire.pack(kind, slot))

    def notify(self):
        """NEWS, unless the socket is full of it already: the parent, which
        reads them all at once, needs only one to wake."""
        try:
            self.sock.send(wire.pack(wire.NEWS), socket.MSG_DONTWAIT)
        except socket.error as e:
            if e.errno not in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EINTR):
                raise

    def _read(self, block):
        """Reads what the parent sent (waiting for it if block); ends the
        process at end of file.  False when nothing was there."""
        while True:
            try:
                if not block and not self.poller.poll(0):
                    return False
                data = self.sock.recv(65536)
                break
            except (socket.error, select.error) as e:
                if e.args[0] != errno.EINTR:
                    raise
        if not data:
            sys.exit(0)
        self.commands.extend(self.reader.feed(data))
        return True

    def next_command(self, block):
        while not self.commands:
            if not self._read(block):
                return None
        return self.commands.popleft()

    def uri(self, length):
        data = self.shared.read_uri(length)
        return data.decode("utf-8") if wire.PY3 else data

    def grab(self, slot, uri):
        try:
            frame = self.cam.get_frame(uri)
        except Exception as e:          # the parent raises it again
            self.shared.put_error(slot, *wire.describe(e))
            self.shared.add(FAILED)
            return
        self.shared.put_frame(slot, frame)
        self.shared.add(GRABBED)

    def run(self):
        self.send(wire.READY)
        while True:
            kind, slot, value = self.next_command(block=True)
            if kind == wire.GRAB:
                self.grab(slot, self.uri(value))
                self.send(wire.DONE, slot)
            elif kind in (wire.STREAM, wire.STREAM_LATEST):
                self.stream(self.uri(value), kind == wire.STREAM_LATEST)
            elif kind == wire.STOP:         # a stream that had ended already
                self.send(wire.STOPPED)

    def stream(self, uri, latest):
        """Grabs into each slot lent, back to back, until STOP."""
        free = collections.deque()
        while True:
            command = self.next_command(block=not free)
            if command is not None:
                kind, slot, _ = command
                if kind == wire.RELEASE:
                    free.append(slot)
                elif kind == wire.STOP:
                    break
                continue
            slot = free.popleft()
            self.grab(slot, uri)
            if latest:
                self.publish(slot, free)
            else:
                self.send(wire.FRAME, slot)
        if latest and self.shared.swap_newest(NO_SLOT) != NO_SLOT:
            self.shared.add(DROPPED)
        self.send(wire.STOPPED)

    def publish(self, slot, free):
        """Makes slot the newest outcome; the one it replaces, which the
        parent never took, is dropped and its slot filled again."""
        replaced = self.shared.swap_newest(slot)
        if replaced != NO_SLOT:
            free.append(replaced)
            self.shared.add(DROPPED)
        self.notify()


def main(argv):
    ip_hex, port, parent_pid, slots = argv
    _end_with_parent(int(parent_pid))
    _keep_freed_memory()
    sock, shared_fd = _take_descriptors()
    shared = Shared(int(slots), fd=shared_fd)
    ip = binascii.unhexlify(ip_hex)
    import lurvo
    cam = lurvo.cam(ip.decode("utf-8") if wire.PY3 else ip, int(port))
    try:
        Child(cam, shared, sock).run()
    except socket.error as e:           # the parent went away mid-answer
        if e.errno not in (errno.EPIPE, errno.ECONNRESET):
            raise


if __name__ == "__main__":
    main(sys.argv[1:])
