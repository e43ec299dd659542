"""The demo job around the module: server start and stop, summary, PNG.
Where a test needs get_frame to fail, or the module to be missing, a
stand-in module named lurvo comes first on PYTHONPATH."""
from __future__ import print_function, division

import errno
import os
import re
import signal
import sys

import pytest

from testkit import ROOT
from testkit.processes import run_cli
from testkit.scripted_server import DroppingListener

DEMO = os.path.join(ROOT, "demo", "run_demo.py")

FAILING = b'''
class cam(object):
    def __init__(self, *args):
        pass

    def get_frame(self, *args):
        raise RuntimeError("stand-in told to fail")
'''


def run_demo(tmpdir, args, stand_in=None, timeout=60):
    """Runs the demo in tmpdir with the module under test, or with the
    source `stand_in` in its place."""
    env = dict(os.environ)
    if stand_in is not None:
        tmpdir.join("lurvo.py").write_binary(stand_in)
        env["PYTHONPATH"] = os.pathsep.join([str(tmpdir), env.get("PYTHONPATH", "")])
    return run_cli(args, timeout, argv=[sys.executable, DEMO], env=env, cwd=str(tmpdir))


def server_pid(out):
    m = re.search(r"^server: +pid (\d+) ", out, re.M)
    assert m, out
    return int(m.group(1))


def assert_gone(pid):
    """The server must be stopped and reaped, not left running."""
    try:
        os.kill(pid, 0)
    except OSError as e:
        assert e.errno == errno.ESRCH
        return
    os.kill(pid, signal.SIGKILL)
    raise AssertionError("server pid %d still runs" % pid)


@pytest.mark.parametrize("bits, top", [(8, 0xff00), (12, 0xfff0), (16, 0xffff)])
def test_demo_summarises_frames_writes_png_and_stops_server(tmpdir, bits, top):
    status, out, err = run_demo(tmpdir, [
        "--seconds", "0.5", "--bits", str(bits), "--width", "64",
        "--height", "48", "--out", "pics/last.png"])
    assert status == 0, err
    assert_gone(server_pid(out))
    assert "shape:      (48, 64)" in out
    assert "dtype:      uint16" in out
    assert "min/max:    0 / %d" % top in out
    frames = int(re.search(r"^frames: +(\d+) in", out, re.M).group(1))
    assert frames >= 2
    assert re.search(r"^rate: +[0-9.]+ frames/s$", out, re.M)
    assert re.search(r"^array: +[0-9.]+ MB/s \(6144 bytes per frame\)$",
                     out, re.M)
    assert re.search(r"^PGM: +[0-9.]+ MB/s \(%d bytes per frame on the wire\)$"
                     % (len("P5\n64 48\n%d\n" % ((1 << bits) - 1))
                        + 64 * 48 * (1 if bits == 8 else 2)), out, re.M)
    png = tmpdir.join("pics", "last.png").read_binary()
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    assert png[12:16] == b"IHDR"
    assert png[16:26] == b"\x00\x00\x00\x40\x00\x00\x00\x30\x10\x00"


def test_demo_failing_grab_reports_and_still_stops_server(tmpdir):
    status, out, err = run_demo(tmpdir, ["--seconds", "0.5", "--width", "8", "--height", "8"],
                                stand_in=FAILING)
    assert status == 1
    assert "get_frame failed after 0 frames: stand-in told to fail" in err
    assert_gone(server_pid(out))


def test_demo_fixed_port_in_use_is_reported(tmpdir):
    with DroppingListener() as holder:                  # a port in use
        status, out, err = run_demo(tmpdir, ["--port", str(holder.port)])
    assert status == 1
    assert "port %d on 127.0.0.1 is in use" % holder.port in err
    assert "the demo server did not start" in err


def test_demo_without_the_module_says_how_to_build_it(tmpdir):
    status, out, err = run_demo(
        tmpdir, [], stand_in=b"raise ImportError('no module named lurvo')\n")
    assert status == 1
    assert "lurvo is not built: run make build" in err
    assert out == ""
