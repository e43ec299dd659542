"""examples/grab_in_child.py: frames grabbed in a child process come back
as get_frame returns them, and the child and its shared memory do not
outlive the parent."""
import os
import subprocess
import sys

import numpy as np

import lurvo
from testkit import ROOT
from testkit.processes import Server, end, eventually, read_line, wait_exit
from testkit.responses import frame_response, http_response
from testkit.scripted_server import closed_port, serving
from testkit.stages import caught

EXAMPLES = os.path.join(ROOT, "examples")
sys.path.insert(0, EXAMPLES)
from grab_in_child import ChildGrabber  # noqa: E402

SHM = "/dev/shm"

# Each response is served twice: to the child, then to get_frame here.
RESPONSES = [
    frame_response(2, 2, 255, [1, 2, 3, 4]),
    frame_response(3, 2, 4095, [0, 1, 2, 4094, 4095, 7]),
    # an 8-bit frame near the largest a response buffer holds
    frame_response(1620, 1618, 255, (np.arange(1620 * 1618) % 251).astype(np.uint8).tobytes()),
    http_response(b"", status=b"404 Not Found"),
    frame_response(1, 1, 255, [0], content_type=b"image/png"),
]


def equal(a, b):
    if isinstance(a, np.ndarray) and isinstance(b, np.ndarray):
        return a.dtype == b.dtype and np.array_equal(a, b)
    return a == b


def test_frames_and_failures_match_get_frame():
    with serving(*[r for r in RESPONSES for _ in (0, 1)], duration=20) as srv:
        cam = lurvo.cam("127.0.0.1", srv.port)
        got, want = [], []
        with ChildGrabber("127.0.0.1", srv.port) as grabber:
            for i, _ in enumerate(RESPONSES):
                uri = "/frame%d.pgm" % i
                got.append(caught(grabber.grab, uri))
                want.append(caught(cam.get_frame, uri))
        requests = srv.requests()
    # compared at the end: a frame must not change with the next one
    for i, (a, b) in enumerate(zip(got, want)):
        assert equal(a, b), (i, a, b)
    assert grabber.process.exitcode == 0
    assert requests == [b"GET /frame%d.pgm HTTP/1.0\n\n" % i
                        for i in range(len(RESPONSES)) for _ in (0, 1)]


def test_own_camera_example_serves_get_frame_the_grabber_and_its_script():
    with Server(argv=[sys.executable, os.path.join(EXAMPLES, "own_camera.py"), "--port", "0",
                      "--max-requests", "5", "--duration", "30"]) as server:
        frames = [lurvo.cam("127.0.0.1", server.port).get_frame()]
        with ChildGrabber("127.0.0.1", server.port) as grabber:
            grabber.request()
            frames.append(grabber.result())
        out = subprocess.check_output([sys.executable, os.path.join(EXAMPLES, "grab_in_child.py"),
                                       "--port", str(server.port), "--frames", "3"])
        assert wait_exit(server.proc, 10) == 0
    assert out.decode().startswith("3 frames of 1280x1024 uint16 in ")
    gradient = np.add.outer(np.arange(1024), np.arange(1280))
    for step, frame in enumerate(frames):       # 12-bit samples, moved up to bit 15
        assert frame.dtype == np.uint16 and np.array_equal(frame, (gradient + step) % 4096 * 16)


def state(pid):
    """The process's state letter, or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except IOError:
        return None


def test_child_ends_with_a_killed_parent_and_leaves_no_shared_memory():
    parent_code = (
        "import sys\n"
        "sys.path.insert(0, %r)\n"
        "from grab_in_child import ChildGrabber\n"
        "grabber = ChildGrabber('127.0.0.1', %d)\n"
        "try:\n"
        "    grabber.grab()\n"
        "except RuntimeError:\n"
        "    pass\n"
        "print(grabber.process.pid)\n"
        "sys.stdout.flush()\n"
        "sys.stdin.read()\n" % (EXAMPLES, closed_port()))
    before = set(os.listdir(SHM))
    parent = subprocess.Popen([sys.executable, "-c", parent_code],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        line = read_line(parent.stdout.fileno(), 30)
        child = int(line)
        assert state(child) not in (None, "Z")
    finally:
        end(parent)
    assert eventually(lambda: state(child) in (None, "Z"), 10), "the child outlived its parent"
    # Other processes of the machine come and go in /dev/shm: only what
    # stays counts.
    assert eventually(lambda: not set(os.listdir(SHM)) - before, 3, step=0.1)

