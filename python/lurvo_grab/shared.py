"""The memory a grabber and its child share: one file without a name,
mapped by both, that holds

    control   the stream's counters (frames grabbed, grabs failed, outcomes
              dropped) and the newest slot of a latest-only stream, which
              a record lock on the file's first byte guards
    uri       the uri of the grab or stream the child starts next
    slot i    an outcome header (a frame's shape, or an exception's code
              and text) and room for the largest frame get_frame returns

The file is a memfd, or where there is none a file unlinked as soon as it
is made: nothing appears in /dev/shm, whichever process ends first and
however it ends, and the memory goes with the last mapping.  A page takes
memory only once a frame has filled it, and keeps it from then on, so the
per-frame path allocates nothing.

The parent never unmaps the file itself: a view handed to the caller keeps
the mapping alive through its base, and the mapping goes when the last of
them does, so that a view outliving its grabber never points at nothing.
"""
import ctypes
import errno
import fcntl
import mmap
import os
import struct
import tempfile

import numpy as np

from lurvo_grab.limits import BUFFER_SIZE, MAX_SAMPLES

PAGE = mmap.PAGESIZE


def _whole_pages(size):
    return (size + PAGE - 1) // PAGE * PAGE


# A uri of BUFFER_SIZE bytes or more makes a request that cannot fit
# get_frame's buffer, so a longer one cut to this size is refused alike.
URI_SIZE = _whole_pages(BUFFER_SIZE)
CONTROL_SIZE = PAGE
# code (0: a frame), height, width, text length; the text follows.
HEADER = struct.Struct("<IIII")
TEXT_SIZE = PAGE - HEADER.size
SLOT_SIZE = PAGE + _whole_pages(2 * MAX_SAMPLES)

# The words of the control block.
GRABBED, FAILED, DROPPED, NEWEST = range(4)
NO_SLOT = -1
COUNTERS = (GRABBED, FAILED, DROPPED)


def file_size(slots):
    return CONTROL_SIZE + URI_SIZE + slots * SLOT_SIZE


def _memfd():
    """A memfd closed on exec, or None where the system has none."""
    create = getattr(os, "memfd_create", None)
    if create is not None:
        return create("lurvo_grab", os.MFD_CLOEXEC)
    try:
        libc_create = ctypes.CDLL(None, use_errno=True).memfd_create
    except AttributeError:
        return None
    fd = libc_create(b"lurvo_grab", 1)          # MFD_CLOEXEC
    return fd if fd >= 0 else None


def _unlinked_file():
    folder = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryFile(dir=folder) as f:    # unlinked at once
        fd = os.dup(f.fileno())
    fcntl.fcntl(fd, fcntl.F_SETFD, fcntl.fcntl(fd, fcntl.F_GETFD) | fcntl.FD_CLOEXEC)
    return fd


def anonymous_file(size):
    fd = _memfd()
    if fd is None:
        fd = _unlinked_file()
    os.ftruncate(fd, size)
    return fd


class Shared(object):
    """The mapping of the shared file: made by the parent (fd None) or
    opened by the child on the descriptor it was given."""

    def __init__(self, slots, fd=None):
        self.slots = slots
        size = file_size(slots)
        self.fd = anonymous_file(size) if fd is None else fd
        self._map = mmap.mmap(self.fd, size)
        self._control = np.frombuffer(self._map, np.int64, 4, 0)
        self._samples = [np.frombuffer(self._map, np.uint16, MAX_SAMPLES, self._slot(i) + PAGE)
                         for i in range(slots)]

    @staticmethod
    def _slot(i):
        return CONTROL_SIZE + URI_SIZE + i * SLOT_SIZE

    # -- the uri ---------------------------------------------------------
    def write_uri(self, data):
        """Writes the uri's bytes; returns how many were written."""
        if len(data) > URI_SIZE:
            data = data[:_utf8_boundary(data, URI_SIZE)]
        self._map[CONTROL_SIZE:CONTROL_SIZE + len(data)] = data
        return len(data)

    def read_uri(self, length):
        return self._map[CONTROL_SIZE:CONTROL_SIZE + length]

    # -- outcomes (the child writes, the parent reads) --------------------
    def put_frame(self, i, frame):
        self._samples[i][:frame.size] = frame.reshape(-1)
        HEADER.pack_into(self._map, self._slot(i), 0, frame.shape[0], frame.shape[1], 0)

    def put_error(self, i, code, text):
        text = text[:TEXT_SIZE]
        start = self._slot(i) + HEADER.size
        self._map[start:start + len(text)] = text
        HEADER.pack_into(self._map, self._slot(i), code, 0, 0, len(text))

    def outcome(self, i):
        """(code, height, width, text bytes) of the slot's last grab."""
        code, height, width, length = HEADER.unpack_from(self._map, self._slot(i))
        start = self._slot(i) + HEADER.size
        return code, height, width, self._map[start:start + length] if length else b""

    def view(self, i, height, width):
        """The frame in the slot, in place; read-only, for it is shared."""
        frame = self._samples[i][:height * width].reshape(height, width)
        frame.flags.writeable = False
        return frame

    def copy(self, i, height, width):
        return self._samples[i][:height * width].reshape(height, width).copy()

    # -- the control block ------------------------------------------------
    def count(self, which):
        return int(self._control[which])

    def add(self, which):
        self._control[which] += 1

    def reset(self):
        """Zero counters and no newest slot; only while the child is idle."""
        self._control[:] = (0, 0, 0, NO_SLOT)

    def swap_newest(self, slot):
        """Makes slot the newest and returns the one it replaces (child)."""
        fcntl.lockf(self.fd, fcntl.LOCK_EX, 1, 0, 0)
        try:
            old = int(self._control[NEWEST])
            self._control[NEWEST] = slot
        finally:
            fcntl.lockf(self.fd, fcntl.LOCK_UN, 1, 0, 0)
        return old

    def claim_newest(self):
        """Takes the newest slot away from the child (parent): the slot,
        NO_SLOT when there is none, or None when the child holds the lock
        (for a few microseconds; the parent never waits for it, so a
        stopped child cannot stop the parent)."""
        try:
            fcntl.lockf(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 0, 0)
        except (IOError, OSError) as e:
            if e.errno in (errno.EACCES, errno.EAGAIN):
                return None
            raise
        try:
            slot = int(self._control[NEWEST])
            self._control[NEWEST] = NO_SLOT
        finally:
            fcntl.lockf(self.fd, fcntl.LOCK_UN, 1, 0, 0)
        return slot

    def close(self):
        """Closes the descriptor; the mapping goes with the last reference
        to it (views included)."""
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def _utf8_boundary(data, end):
    """end, moved back to the start of a UTF-8 sequence, so that a cut
    uri still decodes."""
    tail = bytearray(data[end - 3:end + 1])
    cut = len(tail) - 1
    while cut > 0 and tail[cut] & 0xC0 == 0x80:
        cut -= 1
    return end - (len(tail) - 1 - cut)
