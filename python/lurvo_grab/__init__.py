"""lurvo's get_frame run in child processes, so that the caller's threads
never wait on the network.

get_frame keeps the interpreter lock for its whole call, up to its
one-second budget: threads cannot help, and every other thread of the
program stops meanwhile.  A Grabber runs one lurvo.cam in a child process
of its own, which writes each frame into shared memory; the caller only
waits on a socket, without the lock.

    from lurvo_grab import Grabber, grab_all

    with Grabber("127.0.0.1", 5557) as grabber:
        frame = grabber.grab("/img.pgm")        # as cam.get_frame returns it, or raises
        for frame in grabber.frames(latest=True):   # continuously, the newest each time
            ...

    frames = grab_all([cam1, cam2, cam3])       # all at once: the slowest camera's time

lurvo_grab.aio (Python 3) does the same for asyncio.  Standard library and
NumPy only; Python 2.7 and 3; Linux.

Each child is a fresh interpreter (python -m lurvo_grab.child), started by
subprocess on both Pythons, never a bare fork: on Python 2.7, which has no
other way to start a process, the forked copy runs only subprocess's few
lines before exec replaces it, so a lock another thread of this process
held at that moment (a GUI's, a logger's) cannot leave the child stuck.
"""
from lurvo_grab.grabber import Grabber
from lurvo_grab.many import as_ready, first_ready, grab_all
from lurvo_grab.stream import FrameStream

__all__ = ["Grabber", "FrameStream", "grab_all", "first_ready", "as_ready"]
