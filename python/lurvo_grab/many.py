"""Several cameras at once: one grab started on each grabber, all running
together, so that taking them all lasts about as long as the slowest
camera, never the sum of their times.

A grabber that has a grab pending already (request() called, or left by
an earlier first_ready) takes part with that grab instead of a new one."""
from lurvo_grab import arguments, link


def _distinct(grabbers):
    grabbers = list(grabbers)
    if len(set(map(id, grabbers))) != len(grabbers):
        raise ValueError("a grabber is listed twice")
    return grabbers


def start_each(grabbers, uri):
    """Starts a grab on each grabber without one pending; returns the
    exceptions of those that could not start, by index.  A uri that
    get_frame would refuse raises here, once for all."""
    arguments.uri_bytes(uri)
    failed = {}
    for i, grabber in enumerate(grabbers):
        if not grabber.pending:
            try:
                grabber.request(uri)
            except Exception as e:
                failed[i] = e
    return failed


def outcome(call, *args):
    """What call returns, or the exception it raises."""
    try:
        return call(*args)
    except Exception as e:
        return e


def grab_all(grabbers, uri="/img.pgm", view=False):
    """One frame from each grabber, in their order: each the frame (a view
    if asked) or the exception its grab raised."""
    grabbers = _distinct(grabbers)
    failed = start_each(grabbers, uri)
    return [failed[i] if i in failed else outcome(g.result, view) for i, g in enumerate(grabbers)]


def first_ready(grabbers, uri="/img.pgm", view=False):
    """(index, frame or exception) of whichever grabber has its frame first.
    A grab is started on each grabber without one pending; the others' grabs
    stay pending, for the next call (or their result()) to take, so that

        while True:
            i, frame = first_ready(grabbers)

    keeps every camera busy and takes each frame as it comes."""
    grabbers = _distinct(grabbers)
    failed = start_each(grabbers, uri)
    if failed:
        first = min(failed)
        return first, failed[first]

    def step():
        for i, grabber in enumerate(grabbers):
            answer = outcome(grabber._poll_result, view)
            if answer is not link.NOT_YET:
                return i, answer
        return link.NOT_YET

    def deadline():
        return min(g._result_deadline() for g in grabbers)

    return link.wait(step, [g._link for g in grabbers], deadline)


def as_ready(grabbers, uri="/img.pgm", view=False):
    """Yields (index, frame or exception) for every grabber, in the order
    their frames come."""
    grabbers = _distinct(grabbers)
    failed = start_each(grabbers, uri)
    for i in sorted(failed):
        yield i, failed[i]
    left = [i for i in range(len(grabbers)) if i not in failed]
    while left:
        at, answer = first_ready([grabbers[i] for i in left], uri, view)
        yield left.pop(at), answer
