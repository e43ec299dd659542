"""FrameStream: the frames a grabber's child grabs back to back, into the
slots lent to it, while the caller handles the last one."""
import time

from lurvo_grab import link, wire
from lurvo_grab.shared import COUNTERS, DROPPED, FAILED, GRABBED, NO_SLOT

END = object()
# The child holds the lock of the newest slot for microseconds: a claim
# that finds it held tries again this many times, sleeping (without the
# interpreter lock) in between, before it waits on the socket once more.
LOCK_TRIES, LOCK_SLEEP = 20, 0.0002


class FrameStream(object):
    """Iterates over frames grabbed continuously: Grabber.frames(uri,
    latest, view, on_error).

    latest=False gives every outcome in the order grabbed: the child fills
    the free slots ahead of the caller and waits when the caller falls
    behind.  latest=True gives the newest outcome when the caller asks: the
    child keeps grabbing, and an outcome the caller has not taken when a
    newer one arrives is dropped.

    on_error says what a failed grab (get_frame's exception) does:
    "skip" (the default) leaves it out, counted in `failed`; "yield" gives
    the exception object in the frame's place; "raise" raises it and ends
    the iteration.  A lost child (dead, or ended at the bound) always
    raises RuntimeError and ends it; the grabber's next call starts
    another.

    grabbed, failed and dropped count the stream's frames grabbed, grabs
    failed and outcomes dropped, readable at any time (frozen when the
    stream ends).  view=True hands out read-only views into the slots
    (valid until the next frame is handed out), else copies.  The stream
    ends with close(), at the end of a `with` block, or when the grabber
    is used for anything else."""

    ON_ERROR = ("skip", "yield", "raise")

    def __init__(self, grabber, child, shared, latest, view, on_error):
        self._grabber = grabber
        self._link = child
        self._shared = shared
        self._latest = latest
        self._view = view
        self._on_error = on_error
        self._counts = None             # frozen at the end
        self._stopping = False
        self._since = link.now()

    # -- counters ---------------------------------------------------------
    def _count(self, which):
        if self._counts is not None:
            return self._counts[which]
        return self._shared.count(which)

    @property
    def grabbed(self):
        return self._count(GRABBED)

    @property
    def failed(self):
        return self._count(FAILED)

    @property
    def dropped(self):
        return self._count(DROPPED)

    @property
    def ended(self):
        return self._counts is not None or self._stopping

    def _freeze(self):
        if self._counts is None:
            self._counts = dict((c, self._shared.count(c)) for c in COUNTERS)

    def _ended_with_child(self):
        self._freeze()

    # -- the next frame ---------------------------------------------------
    def __iter__(self):
        return self

    def __next__(self):
        answer = self._wait(self.step)
        if answer is END:
            raise StopIteration
        return answer

    next = __next__

    def begin(self):
        """Starts the wait for the next frame (its bound counts from here)."""
        self._since = link.now()

    def _wait(self, step):
        self.begin()
        return link.wait(step, [self._link], self.deadline)

    def deadline(self):
        return self._link.deadline(self._since)

    def _lend(self, slot):
        self._link.send((wire.RELEASE, slot))

    def step(self):
        """The next outcome as the caller gets it, NOT_YET, or END."""
        if self.ended:
            return END
        self._link.pump()
        while True:
            slot = self._next_slot()
            if slot is link.NOT_YET:
                self._link.check(self._since)
                return link.NOT_YET
            # The child has answered: a skipped failure counts as much as
            # a frame, or a camera that is down for longer than the bound
            # would have its child ended for giving no answer.
            self._since = link.now()
            try:
                return self._grabber._hand_out(slot, self._view, self._lend)
            except Exception as error:      # the grab failed: get_frame's exception
                if self._on_error == "yield":
                    return error
                if self._on_error == "raise":
                    self._request_stop()
                    raise

    def _next_slot(self):
        if not self._latest:
            message = self._link.first(wire.FRAME)
            return link.NOT_YET if message is None else message[1]
        # The child publishes a slot before it sends NEWS: a NEWS that
        # comes after this claim wakes the wait on the socket.
        for _ in range(LOCK_TRIES):
            slot = self._shared.claim_newest()
            if slot is not None:
                return link.NOT_YET if slot == NO_SLOT else slot
            time.sleep(LOCK_SLEEP)
        return link.NOT_YET

    # -- the end ----------------------------------------------------------
    def _request_stop(self):
        if not self._stopping and self._counts is None:
            self._stopping = True
            self._since = link.now()
            self._link.send((wire.STOP,))

    def stop_step(self):
        """Ends the stream: True once the child has stopped, else NOT_YET.
        Outcomes that come meanwhile are dropped unseen."""
        if self._counts is not None:
            return True
        self._request_stop()
        self._link.pump()
        while True:
            message = self._link.first(wire.FRAME)
            if message is None:
                break
        if self._link.first(wire.STOPPED) is None:
            self._link.check(self._since)
            return link.NOT_YET
        self._freeze()
        self._grabber._stream_stopped()
        return True

    def close(self):
        """Ends the stream (waits, bounded, for the child's current grab)."""
        if self._counts is None:
            link.wait(self.stop_step, [self._link], self.deadline)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self._counts is None and not self._link.lost:
            self.close()
