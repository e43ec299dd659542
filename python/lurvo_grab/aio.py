"""lurvo_grab for asyncio (Python 3): the wait for a grab, or for the next
frame of a stream, is the event loop's own: it watches the child's socket
(loop.add_reader) and keeps the bound with a timer of its own
(loop.call_later).  No thread pool, no thread.

    from lurvo_grab import Grabber, aio

    frame = await aio.grab(grabber, "/img.pgm")
    frames = await aio.grab_all([grabber1, grabber2])
    async with aio.frames(grabber, latest=True) as stream:
        async for frame in stream:
            ...

The functions return futures (awaitables): each raises what its
synchronous counterpart raises.  A grabber has one waiter at a time.
Written without async syntax, so that Python 2 can compile the package
whole; it imports only on Python 3.
"""
import asyncio

from lurvo_grab import link, many
from lurvo_grab.stream import END

__all__ = ["grab", "result", "grab_all", "frames", "Frames"]

# Python 3.6 has no get_running_loop(); there get_event_loop(), called from
# a coroutine or a callback of the loop, gives the loop that runs it.
_running_loop = getattr(asyncio, "get_running_loop", asyncio.get_event_loop)


def _watch(waiter, step, deadline):
    """A future of step()'s answer: step() is tried now, whenever the
    child's socket has something to read, and at deadline() (when it
    raises for want of an answer)."""
    loop = _running_loop()
    future = loop.create_future()
    child = waiter._link
    if getattr(waiter, "_watched", False):
        raise RuntimeError("lurvo_grab: this grabber is awaited already")
    fd, timer, finished = child.fileno(), [None], [False]

    def finish(_=None):
        if finished[0]:
            return
        finished[0] = True
        waiter._watched = False
        loop.remove_reader(fd)
        if timer[0] is not None:
            timer[0].cancel()

    def check():
        if future.done():
            return
        try:
            answer = step()
        except Exception as e:
            finish()
            future.set_exception(e)
            return
        if answer is link.NOT_YET:
            if timer[0] is not None:
                timer[0].cancel()
            timer[0] = loop.call_later(max(0.0, deadline() - link.now()), check)
            return
        finish()
        future.set_result(answer)

    waiter._watched = True
    loop.add_reader(fd, check)
    future.add_done_callback(finish)        # also when the awaiting task is cancelled
    check()
    return future


def result(grabber, view=False):
    """Awaits the grab that grabber.request() started."""
    if not grabber.pending:
        raise RuntimeError("lurvo_grab: no grab is pending: request() one first")
    return _watch(grabber, lambda: grabber._poll_result(view), grabber._result_deadline)


def _no_stream(grabber):
    if grabber._stream is not None:
        raise RuntimeError("lurvo_grab: the grabber's stream runs: close it first "
                           "(await stream.aclose())")


def grab(grabber, uri="/img.pgm", view=False):
    """Awaitable grabber.grab(uri, view)."""
    _no_stream(grabber)
    grabber.request(uri)
    return result(grabber, view)


def _ready(value=None):
    done = _running_loop().create_future()
    done.set_result(value)
    return done


def _then(future, value):
    """A future that ends as future does, with value for its result."""
    after = _running_loop().create_future()

    def done(f):
        if f.cancelled():
            after.cancel()
        elif f.exception() is not None:
            after.set_exception(f.exception())
        else:
            after.set_result(value)
    future.add_done_callback(done)
    return after


def _settled(future):
    """A future of the outcome: the result, or the exception as a value."""
    settled = _running_loop().create_future()

    def done(f):
        if f.cancelled():
            settled.cancel()
        else:
            settled.set_result(f.exception() if f.exception() is not None else f.result())
    future.add_done_callback(done)
    return settled


def grab_all(grabbers, uri="/img.pgm", view=False):
    """Awaitable lurvo_grab.grab_all: a list of frames or exceptions."""
    grabbers = many._distinct(grabbers)
    for grabber in grabbers:
        _no_stream(grabber)
    failed = many.start_each(grabbers, uri)
    return asyncio.gather(*[_ready(failed[i]) if i in failed else _settled(result(g, view))
                            for i, g in enumerate(grabbers)])


class Frames(object):
    """An async iterator over a grabber's FrameStream (Grabber.frames):
    `async for frame in aio.frames(grabber)`; aclose() (or the end of an
    `async with` block) ends the stream."""

    def __init__(self, grabber, uri="/img.pgm", latest=False, view=False, on_error="skip"):
        _no_stream(grabber)
        self._grabber = grabber
        self.stream = grabber.frames(uri, latest, view, on_error)

    def __aiter__(self):
        return self

    def __anext__(self):
        self.stream.begin()
        return _watch(self._grabber, self._next_step, self.stream.deadline)

    def _next_step(self):
        answer = self.stream.step()
        if answer is END:
            raise StopAsyncIteration
        return answer

    def aclose(self):
        """Ends the stream (awaitable)."""
        if self.stream._counts is not None:
            return _ready()
        return _then(_watch(self._grabber, self.stream.stop_step, self.stream.deadline), None)

    def __aenter__(self):
        return _ready(self)

    def __aexit__(self, *exc):
        return _then(self.aclose(), False)     # False: an exception of the block goes on


frames = Frames
