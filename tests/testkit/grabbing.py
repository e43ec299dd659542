"""What the grabber's tests share: scripted servers in processes of their
own (get_frame keeps the interpreter lock while it waits), frames that say
which they are, comparisons of outcomes, the state of a child process, and
the program of a parent whose children are under test."""
import time

import numpy as np

from testkit.processes import eventually
from testkit.responses import frame_response, http_response
from testkit.scripted_server import ScriptedServer
from testkit.stages import UNDER_EMULATOR

NOT_FOUND = http_response(b"", status=b"404 Not Found")
SILENT = [("sleep", 1.5)]           # past get_frame's one-second budget


def numbered(i):
    """A 2x1 frame whose samples tell which it is: i << 8."""
    return frame_response(2, 1, 255, [i, i])


def number_of(frame):
    return int(frame[0, 0]) >> 8


def server(*scripts, **kw):
    """A scripted server in a process of its own, bounded in time: longer
    under an emulator, where starting five grabbing children took longer
    than the native bound before the first grab."""
    kw.setdefault("duration", 60 if UNDER_EMULATOR else 15)
    return ScriptedServer(list(scripts), process=True, **kw)


def same(got, want):
    if isinstance(want, np.ndarray):
        return (isinstance(got, np.ndarray) and got.dtype == want.dtype
                and got.shape == want.shape and np.array_equal(got, want))
    return type(got) is type(want) and str(got) == str(want)


def state(pid):
    """The process's state letter, or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except IOError:
        return None


def gone(pid):
    return state(pid) in (None, "Z")


def await_ready(grabber):
    """Until the child runs (it answers READY first), so that what the test
    does next meets it in its grab."""
    assert eventually(lambda: (grabber._link.pump(), grabber._link.ready_at)[1] is not None, 30)
    time.sleep(0.1)


def sixteen_bit(i):
    return frame_response(1, 1, 65535, [i])


def page_faults(pid):
    with open("/proc/%d/stat" % pid) as f:
        return int(f.read().rsplit(")", 1)[1].split()[7])


PARENT = """
import sys, time
from lurvo_grab import Grabber
idle = Grabber("127.0.0.1", %d)
try:
    idle.grab()
except RuntimeError:
    pass
grabbers = [Grabber("127.0.0.1", %d) for _ in range(2)]
for g in grabbers:
    g.request()
time.sleep(0.5)
print(" ".join(str(g.pid) for g in grabbers + [idle]))
sys.stdout.flush()
%s
"""
