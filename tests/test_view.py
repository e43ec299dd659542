"""The live view, on a virtual screen (Xvfb) of its own, with camera servers
in processes of their own: what the window shows (read off the screen),
its status line while a camera fails and once it is back, the files it
saves, and each way of ending it, after which no process is left."""
from __future__ import division

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from testkit import unavailable, with_packages
from testkit.grabbing import SILENT, gone, server
from testkit.processes import ENDS_WITH_US, Server, eventually, wait_exit, end
from testkit.responses import http_response
from testkit.scripted_server import closed_port
from testkit.stages import CONNECTION_REFUSED, RECEIVE_TIMEOUT
from testkit.screen import Screen, ask_to_close, send_key, window_of

try:
    from lurvo_view import picture
    from lurvo_view.window import View, tk
except ImportError as missing:          # an interpreter built without Tk
    pytestmark = pytest.mark.skip(reason="this Python has no Tk: %s" % missing)

from lurvo_camserver.pgm import parse_pgm, pgm_bytes
from test_png16 import read_png16

# A 40x30 frame of distinct 16-bit samples: 1001 + 50 * its index.
FRAME = (1001 + 50 * np.arange(30 * 40)).reshape(30, 40).astype(np.uint16)
WRONG_TYPE = http_response(pgm_bytes(FRAME, 65535), content_type=b"text/plain")


@pytest.fixture(scope="module")
def screen():
    for program in ("Xvfb", "xdotool"):
        if not any(os.access(os.path.join(folder, program), os.X_OK)
                   for folder in os.environ.get("PATH", "").split(os.pathsep)):
            unavailable("%s is not installed (tools/packages.sh view)" % program)
    with Screen() as s:
        saved = os.environ.get("DISPLAY")
        os.environ["DISPLAY"] = s.display
        yield s
        if saved is None:
            del os.environ["DISPLAY"]
        else:
            os.environ["DISPLAY"] = saved


@pytest.fixture
def frames_folder(tmpdir):
    tmpdir.join("frame.pgm").write_binary(pgm_bytes(FRAME, 65535))
    return str(tmpdir)


def camera(folder, *args):
    """The camera server serving FRAME, on --port 0 unless args say."""
    return Server("--dir", folder, "--duration", "30", *args)


class Driven(object):
    """A View in this process, its event loop turned by until()."""

    def __init__(self, port, uri="/img.pgm", folder="."):
        self.root = tk.Tk()
        self.view = View(self.root, port=port, uri=uri, folder=folder)
        self.root.after(0, self.view.tick)

    def until(self, condition, seconds=15):
        deadline = time.time() + seconds
        while time.time() < deadline:
            started = time.time()
            self.root.update()
            self.longest = max(getattr(self, "longest", 0.0), time.time() - started)
            if condition():
                return True
            time.sleep(0.005)
        return False

    def status(self):
        return self.view.status.cget("text")

    def close(self):
        self.view.end(0)
        self.root.destroy()


@pytest.fixture
def driven():
    made = []
    yield lambda *a, **kw: made.append(Driven(*a, **kw)) or made[-1]
    for d in made:
        d.close()


# -- from frame to picture ----------------------------------------------------

@pytest.mark.parametrize("frame,box,size", [
    ((1024, 1280), (640, 800), (640, 800)),
    ((100, 50), (300, 300), (300, 150)),
    ((1, 1000), (10, 10), (1, 10)),        # never less than a pixel
])
def test_fit_keeps_the_aspect(frame, box, size):
    assert picture.fit(frame[0], frame[1], box[0], box[1]) == size


@pytest.mark.parametrize("samples,pixels,picks", [
    (2, 4, [0, 0, 1, 1]),       # each sample twice
    (4, 2, [1, 3]),             # the sample under each pixel's centre
    (3, 2, [0, 2]),
    (5, 5, [0, 1, 2, 3, 4]),
])
def test_each_shown_pixel_takes_the_sample_under_its_centre(samples, pixels, picks):
    scaler = picture.Scaler((samples, 1), (pixels, 1))
    assert list(scaler.rows) == picks
    assert scaler(np.arange(samples, dtype=np.uint16).reshape(samples, 1))[:, 0].tolist() == picks


@pytest.mark.parametrize("samples,bounds", [
    (list(range(1000)), (9, 990)),
    ([0] + [1000] * 198 + [65535], (1000, 1000)),     # an outlier each side is left out
    ([7], (7, 7)),
])
def test_stretch_bounds_are_the_percentiles(samples, bounds):
    assert picture.stretch_bounds(np.array(samples, dtype=np.uint16)) == bounds


@pytest.mark.parametrize("low,high,grey", [
    (100, 200, {0: 0, 100: 0, 120: 51, 199: 252, 200: 255, 65535: 255}),
    (500, 500, {0: 128, 500: 128, 65535: 128}),          # a flat picture is mid-grey
])
def test_stretch_table(low, high, grey):
    table = picture.stretch_table(low, high)
    assert dict((s, int(table[s])) for s in grey) == grey


@pytest.mark.parametrize("samples,bits", [
    ([0x0100, 0xff00], 8), ([0x0010, 0x8000], 12), ([1, 2], 16), ([0, 0], 1),
])
def test_bit_depth_from_the_lowest_bit_set(samples, bits):
    assert picture.bit_depth(np.array(samples, dtype=np.uint16)) == bits


# -- the window ---------------------------------------------------------------

def on_screen(screen, d):
    """The image area's pixels as the screen shows them (grey: one channel)."""
    view, canvas = d.view, d.view.canvas
    x, y = canvas.winfo_rootx() + view.offset[0], canvas.winfo_rooty() + view.offset[1]
    height, width = view.scaler.shown
    pixels = screen.picture()[y:y + height, x:x + width]
    assert (pixels == pixels[:, :, :1]).all(), "the picture is not grey"
    return pixels[:, :, 0]


@pytest.mark.screen
@pytest.mark.parametrize("keys,full_range", [([], False), (["r"], True), (["r", "r"], False)])
def test_the_window_shows_the_frame_scaled_to_fit(screen, driven, frames_folder, keys, full_range):
    with camera(frames_folder) as cam:
        d = driven(cam.port)
        assert d.until(lambda: d.view.shown > 0), d.status()
        for key in keys:
            d.root.event_generate("<Key-%s>" % key)
        # 40x30 in the 800x640 area: 20 pixels a sample, 800x600, centred.
        assert d.view.scaler.shown == (600, 800) and d.view.offset == (0, 20)
        shown = np.repeat(np.repeat(FRAME, 20, axis=0), 20, axis=1)
        want = (shown >> 8 if full_range else
                picture.stretch_table(*picture.stretch_bounds(shown)).take(shown))
        assert d.until(lambda: np.array_equal(on_screen(screen, d), want), 5)
        # The sample under the pointer: column 3, row 2, from pixel (70, 20 + 50).
        d.view.canvas.event_generate("<Motion>", x=70, y=70)
        assert d.until(lambda: d.status().endswith(" | x 3 y 2: %d" % FRAME[2, 3]), 5), d.status()
        assert " fps shown, " in d.status() and "| 40x30, 16 bit, min 1001 max 60951 | %s |" % (
            "full range" if full_range else "stretch 1-99%") in d.status()


FAILING = [
    ("gone", None, CONNECTION_REFUSED),
    ("stalled", SILENT, RECEIVE_TIMEOUT),
    ("wrong path", [("send", http_response(b"", status=b"404 Not Found"))],
     "HTTP response: 404 Not Found"),
    ("bad response", [("send", WRONG_TYPE)], "wrong content type"),
]


def failure_shown(d, text):
    return d.until(lambda: d.status().startswith(text + "; trying again every second"), 15)


@pytest.mark.screen
@pytest.mark.parametrize("name,script,text", FAILING, ids=[f[0] for f in FAILING])
def test_a_failing_camera_is_shown_and_tried_once_a_second(screen, driven, frames_folder,
                                                           name, script, text):
    if script is None:          # then the camera comes back
        port = closed_port()
        d = driven(port)
        assert failure_shown(d, text), d.status()
        with camera(frames_folder, "--port", str(port)):
            assert d.until(lambda: d.view.shown > 0 and "fps shown" in d.status(), 10), \
                d.status()
        return
    with server(*[script] * 10) as failing:
        d = driven(failing.port)
        assert failure_shown(d, text), d.status()
        # The failed grab, then one a second: two more in 2.5 s.  The
        # window never waited for any of them.
        d.until(lambda: False, 2.5)
        d.view.end(0)
        failing.stop(abandon=True)
        tries = len(failing.requests())
    assert d.longest < 0.5
    if name != "stalled":       # each of those takes a second of its own
        assert tries == 1 + 2


@pytest.mark.screen
def test_s_saves_the_frame_as_received(screen, driven, frames_folder, tmpdir):
    with camera(frames_folder) as cam:
        d = driven(cam.port, folder=str(tmpdir))
        assert d.until(lambda: d.view.shown > 0), d.status()
        d.root.event_generate("<Key-s>")
        assert d.until(lambda: "saved " in d.status(), 5), d.status()
    png, pgm = d.status().split("saved ", 1)[1].split(" and ")
    assert os.path.dirname(png) == str(tmpdir) and pgm == png[:-4] + ".pgm"
    assert np.array_equal(read_png16(png)[1], FRAME)
    width, height, maxval, raster = parse_pgm(open(pgm, "rb").read())
    assert (width, height, maxval) == (40, 30, 65535)
    assert np.array_equal(np.frombuffer(raster, ">u2").reshape(30, 40), FRAME)


# -- the program and its ends -------------------------------------------------

def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                if entry.isdigit() and int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (IOError, ValueError):
            pass
    return found


def close_by(way, screen, proc, window):
    if way == "close":
        ask_to_close(screen.display, window)
    elif way == "SIGINT":
        os.kill(proc.pid, signal.SIGINT)
    else:
        send_key(screen.display, window, way)


@pytest.mark.screen
@pytest.mark.parametrize("way,status", [("close", 0), ("q", 0), ("Escape", 0), ("SIGINT", 130)])
def test_every_way_of_ending_leaves_no_process(screen, frames_folder, way, status):
    shm = set(os.listdir("/dev/shm"))
    with camera(frames_folder) as cam:
        proc = subprocess.Popen(ENDS_WITH_US + [sys.executable, "-m", "lurvo_view",
                                                "--port", str(cam.port)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=with_packages(dict(os.environ, DISPLAY=screen.display)))
        try:
            window = window_of(screen.display, "lurvo view: 127.0.0.1:%d/img.pgm" % cam.port)
            assert eventually(lambda: children(proc.pid), 20)
            grabbing = children(proc.pid)
            time.sleep(0.3)
            close_by(way, screen, proc, window)
            ended = wait_exit(proc, 10)
        finally:
            end(proc, close_pipes=False)
        out, err = proc.communicate()
    assert (ended, out, err) == (status, b"", b"")
    assert all(gone(pid) for pid in grabbing)
    assert set(os.listdir("/dev/shm")) == shm
