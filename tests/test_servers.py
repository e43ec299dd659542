"""Real HTTP servers from Debian's packages (and Python's own) serving PGM
files to get_frame, each with its file from examples/servers/, and again without the
lines there that lurvo needs (each after a "lurvo:" comment): the README's
Camera servers table, as run."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import numpy as np
import pytest

import lurvo
from testkit import ROOT, unavailable
from testkit.processes import plain_env, wait_exit
from testkit.scripted_server import closed_port
from testkit.stages import caught
from lurvo_camserver.pgm import pgm_bytes

FRAME = "the frame"
LF_REFUSED = ("HTTP response: 400 Bad Request",) * 2
KINDS = [("/frame8.pgm", 480, 640, 255), ("/frame16.pgm", 1024, 1280, 65535)]
SERVERS = [  # name, Debian package, command, file in servers/, what get_frame
    # gives for each kind with the file, and without its lurvo lines
    ("nginx", "nginx", ["/usr/sbin/nginx", "-p", "{run}", "-c", "{conf}"], "nginx.conf",
     (FRAME, FRAME), (FRAME, "buffer too small (2621441, need 1310720)")),
    ("lighttpd", "lighttpd", ["/usr/sbin/lighttpd", "-D", "-f", "{conf}"], "lighttpd.conf",
     (FRAME, FRAME), LF_REFUSED),
    ("apache2", "apache2", ["/usr/sbin/apache2", "-X", "-d", "{run}", "-f", "{conf}"],
     "apache2.conf", (FRAME, FRAME), LF_REFUSED),
    ("busybox httpd", "busybox", ["/bin/busybox", "httpd", "-f", "-p", "127.0.0.1:{port}",
                                  "-h", "{root}", "-c", "{conf}"], "busybox-httpd.conf",
     (FRAME, FRAME), None),
    ("webfs", "webfs", ["/usr/bin/webfsd", "-F", "-i", "127.0.0.1", "-p", "{port}",
                        "-r", "{root}", "-m", "{conf}"], "mime.types", (FRAME, FRAME), None),
    ("mini_httpd", "mini-httpd", ["/usr/sbin/mini_httpd", "-D", "-h", "127.0.0.1", "-p", "{port}",
                                  "-d", "{root}", "-l", "{run}/access.log"], None,
     ("HTTP response: 200 Ok",) * 2, None),
    ("python http.server", None, [sys.executable, "{conf}", "127.0.0.1", "{port}", "{root}"],
     "python_http.py", (FRAME, FRAME), None),
]
CASES = [(row, False) for row in SERVERS] + [(row, True) for row in SERVERS if row[5]]


pytestmark = pytest.mark.servers
CONFIGURATIONS = os.path.join(ROOT, "examples", "servers")


def render(name, run, fill, without_lurvo_lines):
    """The file with its port and paths filled in, maybe without each line
    after a "lurvo:" comment."""
    with open(os.path.join(CONFIGURATIONS, name)) as f:
        lines = f.read().replace("@PORT@", str(fill["port"])).replace(
            "@ROOT@", fill["root"]).replace("@RUN@", run).splitlines(True)
    with open(os.path.join(run, name), "w") as f:
        f.writelines(line for i, line in enumerate(lines) if not (
            without_lurvo_lines and i and "# lurvo:" in lines[i - 1]))
    return f.name


def start(argv, run, port):
    """The server as a child of `timeout`, which ends it within two minutes
    whatever happens to the test; returned once it listens."""
    proc = subprocess.Popen(["timeout", "-k", "5", "120"] + argv, cwd=run, env=plain_env())
    deadline = time.time() + 15
    while time.time() < deadline and proc.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            return proc
        except socket.error:
            time.sleep(0.05)
    stop(proc)
    raise AssertionError("%s did not listen on %d" % (argv, port))


def stop(proc):
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)       # timeout hands it on to the server
        if wait_exit(proc, 10) is None:
            with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
                for child in f.read().split():
                    os.kill(int(child), signal.SIGKILL)
            os.kill(proc.pid, signal.SIGKILL)
    proc.wait()


@pytest.mark.parametrize("row, without_lurvo_lines", CASES,
                         ids=[r[0] + " without lurvo lines" * w for r, w in CASES])
def test_server_serves_both_frame_kinds_as_the_readme_says(row, without_lurvo_lines):
    name, package, command, conf, as_configured, without = row
    if not os.path.exists(command[0]):
        unavailable("%s is not installed: tools/packages.sh servers installs it" % package)
    expected = without if without_lurvo_lines else as_configured
    run = tempfile.mkdtemp(prefix="lurvo-server-")
    try:
        os.chmod(run, 0o755)                    # servers that drop root read the frames too
        fill = dict(root=os.path.join(run, "www"), run=run)
        os.mkdir(fill["root"])
        rng, frames = np.random.RandomState(17), {}
        for uri, height, width, maxval in KINDS:
            samples = rng.randint(0, maxval + 1, (height, width)).astype(
                np.uint8 if maxval <= 255 else np.uint16)
            with open(fill["root"] + uri, "wb") as f:
                f.write(pgm_bytes(samples, maxval))
            frames[uri] = samples.astype(np.uint16) << (16 - maxval.bit_length())
        fill["port"] = closed_port()
        fill["conf"] = conf and render(conf, run, fill, without_lurvo_lines)
        proc = start([arg.format(**fill) for arg in command], run, fill["port"])
        try:
            got = [caught(lurvo.cam("127.0.0.1", fill["port"]).get_frame, kind[0])
                   for kind in KINDS]
        finally:
            stop(proc)
        for (uri, _, _, _), want, frame in zip(KINDS, expected, got):
            if want == FRAME:
                assert isinstance(frame, np.ndarray), (uri, frame)
                assert frame.dtype == np.uint16 and np.array_equal(frame, frames[uri]), uri
            else:
                assert frame == want, uri
    finally:
        shutil.rmtree(run, ignore_errors=True)
