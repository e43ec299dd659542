"""Grabber: lurvo.cam(ip, port).get_frame, run in a child process of its
own, so that the calling thread waits without the interpreter lock and the
program's other threads keep running while a frame is on its way."""
from lurvo_grab import arguments, link, wire
from lurvo_grab.shared import Shared
from lurvo_grab.stream import FrameStream

MIN_SLOTS, MAX_SLOTS = 3, 32


class Grabber(object):
    """One camera, one child process.

        with Grabber("127.0.0.1", 5557) as grabber:
            frame = grabber.grab("/img.pgm")      # what cam.get_frame returns, or raises

    grab(uri) returns what lurvo.cam(ip, port).get_frame(uri) returns, an
    array of its own, or raises the same exception type with the same
    text.  request(uri) starts a grab and returns at once; result() takes
    it.  grab(uri, view=True) / result(view=True) hand out a read-only view
    into the shared slot instead, which saves copying the frame out; it is
    valid until this grabber hands out its next frame (the slot is then
    used again): copy it to keep it longer.  frames() grabs continuously
    (see FrameStream).

    Every wait is bounded: a child that gives no answer within `timeout`
    seconds (get_frame itself gives up after one) is ended by its PID, and
    the call raises RuntimeError saying so; a child that dies makes the
    call raise RuntimeError naming its exit status or signal.  The next
    call starts a new child.  An interrupted call (Ctrl-C) leaves its grab
    pending: result() takes it.  The child ends with close() (or the end of
    a `with` block), and with this process however it ends.  `slots`
    shared frame slots are made once (each takes memory for the largest
    frame get_frame can return, as frames first fill it).

    A grabber is for one thread at a time; use one grabber per camera, and
    grab_all()/first_ready() for several at once."""

    def __init__(self, ip="127.0.0.1", port=5557, slots=4, timeout=5.0):
        self._address = arguments.address(ip, port)
        if not MIN_SLOTS <= slots <= MAX_SLOTS:
            raise ValueError("slots must be %d to %d" % (MIN_SLOTS, MAX_SLOTS))
        if not timeout > 0:
            raise ValueError("timeout must be positive")
        self.timeout = float(timeout)
        self._shared = Shared(slots)
        self._free = list(range(slots))     # the parent's slots, holding nothing handed out
        self._view_slot = None              # the slot of the last view handed out
        self._pending = None                # (slot, since) of the requested grab
        self._stream = None
        self._link = None
        self._closed = False
        self._running()

    # -- the child --------------------------------------------------------
    @property
    def pid(self):
        """The child's process ID (None before a new one is started)."""
        return None if self._link is None or self._link.lost else self._link.pid

    @property
    def pending(self):
        """Whether a requested grab waits to be taken by result()."""
        return self._pending is not None

    def _running(self):
        """The link to a live child: the one there is, or a new one."""
        if self._closed:
            raise ValueError("the grabber is closed")
        current = self._link
        if current is not None and not current.lost and current.exited():
            current.close(wait=False)        # ended between calls: nothing was lost
            self._child_lost()
        if current is None or current.lost:
            self._link = link.Link(self._address, self._shared, self.timeout, self._child_lost)
        return self._link

    def _child_lost(self):
        """Everything that was lent to the child is the parent's again."""
        self._pending = None
        if self._stream is not None:
            self._stream._ended_with_child()
            self._stream = None
        self._free = [s for s in range(self._shared.slots) if s != self._view_slot]

    def _end_stream(self):
        if self._stream is not None:
            self._stream.close()

    # -- single grabs -----------------------------------------------------
    def request(self, uri="/img.pgm"):
        """Starts one get_frame(uri) in the child and returns at once."""
        data = arguments.uri_bytes(uri)
        self._end_stream()
        if self._pending is not None:
            raise RuntimeError("lurvo_grab: a grab is pending already: take it with result()")
        child = self._running()
        slot = self._free.pop()
        try:
            child.send((wire.GRAB, slot, self._shared.write_uri(data)))
        except BaseException:
            if not child.lost:
                self._free.append(slot)
            raise
        self._pending = (slot, link.now())

    def result(self, view=False):
        """The requested frame (a view if asked), or get_frame's exception."""
        if self._pending is None:
            raise RuntimeError("lurvo_grab: no grab is pending: request() one first")
        child = self._link
        return link.wait(lambda: self._poll_result(view), [child], self._result_deadline)

    def poll(self, view=False):
        """The requested frame (a view if asked) if it has come, else None,
        without waiting: for a caller that must never wait, such as a GUI's
        timer.  Raises what result() raises, once it has come to that."""
        if self._pending is None:
            raise RuntimeError("lurvo_grab: no grab is pending: request() one first")
        answer = self._poll_result(view)
        return None if answer is link.NOT_YET else answer

    def grab(self, uri="/img.pgm", view=False):
        self.request(uri)
        return self.result(view)

    def _result_deadline(self):
        return self._link.deadline(self._pending[1]) if self._pending else link.now()

    def _poll_result(self, view):
        """The requested grab's outcome if it has come, else NOT_YET."""
        child = self._link
        child.pump()
        done = child.first(wire.DONE)
        if done is None:
            child.check(self._pending[1])
            return link.NOT_YET
        self._pending = None
        return self._hand_out(done[1], view, self._free.append)

    def _hand_out(self, slot, view, give_back):
        """The outcome in slot, as the caller gets it: a copy (the slot goes
        back at once) or a view (the slot goes back when the next outcome
        is handed out), or the exception raised.  give_back(slot) returns a
        slot to whoever fills it next."""
        previous, self._view_slot = self._view_slot, None
        if previous is not None:
            give_back(previous)
        code, height, width, text = self._shared.outcome(slot)
        if code != wire.FRAME_CODE:
            give_back(slot)
            raise wire.rebuild(code, text)
        if view:
            self._view_slot = slot
            return self._shared.view(slot, height, width)
        frame = self._shared.copy(slot, height, width)
        give_back(slot)
        return frame

    # -- continuous grabbing ----------------------------------------------
    def frames(self, uri="/img.pgm", latest=False, view=False, on_error="skip"):
        """Frames grabbed back to back by the child (see FrameStream)."""
        data = arguments.uri_bytes(uri)
        if on_error not in FrameStream.ON_ERROR:
            raise ValueError("on_error must be one of %s" % ", ".join(FrameStream.ON_ERROR))
        self._end_stream()
        if self._pending is not None:
            raise RuntimeError("lurvo_grab: a grab is pending: take it with result() first")
        child = self._running()
        self._shared.reset()
        lent, self._free = self._free, []
        kind = wire.STREAM_LATEST if latest else wire.STREAM
        self._stream = FrameStream(self, child, self._shared, latest, view, on_error)
        child.send((kind, 0, self._shared.write_uri(data)), *[(wire.RELEASE, s) for s in lent])
        return self._stream

    def _stream_stopped(self):
        self._stream = None
        self._free = [s for s in range(self._shared.slots) if s != self._view_slot]

    # -- the end ----------------------------------------------------------
    def close(self):
        """Ends the child; safe to call again.  Views handed out stay
        readable."""
        if self._closed:
            return
        self._closed = True
        if self._link is not None:
            busy = self._pending is not None or self._stream is not None
            self._link.close(wait=not busy)     # a busy child's work is of no use now
            if self._stream is not None:
                self._stream._ended_with_child()
            self._stream = self._pending = None
        self._shared.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
