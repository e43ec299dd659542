"""The examples, run as a user runs them: a server for one's own camera
(examples/own_camera.py), whose frames get_frame, a Grabber and the
grabbing example (examples/grab_in_child.py) all take."""
import os
import subprocess
import sys

import numpy as np

import lurvo
from lurvo_grab import Grabber
from testkit import ROOT
from testkit.processes import Server, wait_exit

EXAMPLES = os.path.join(ROOT, "examples")


def test_own_camera_example_serves_get_frame_the_grabber_and_its_script():
    with Server(argv=[sys.executable, os.path.join(EXAMPLES, "own_camera.py"), "--port", "0",
                      "--max-requests", "5", "--duration", "30"]) as server:
        frames = [lurvo.cam("127.0.0.1", server.port).get_frame()]
        with Grabber("127.0.0.1", server.port) as grabber:
            grabber.request()
            frames.append(grabber.result())
        out = subprocess.check_output([sys.executable, os.path.join(EXAMPLES, "grab_in_child.py"),
                                       "--port", str(server.port), "--frames", "3"])
        assert wait_exit(server.proc, 10) == 0
    assert out.decode().startswith("3 frames of 1280x1024 uint16 in ")
    gradient = np.add.outer(np.arange(1024), np.arange(1280))
    for step, frame in enumerate(frames):       # 12-bit samples, moved up to bit 15
        assert frame.dtype == np.uint16 and np.array_equal(frame, (gradient + step) % 4096 * 16)
