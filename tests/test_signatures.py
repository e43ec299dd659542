"""What tools read from the module on Python 3: the signatures
inspect.signature gives, and the type stub, which accepts the intended use,
flags misuse and agrees with the module as it is at run time.  (The doc
strings, exact on every interpreter, are tested with the module's other
attributes.)"""
import inspect
import os
import re
import subprocess
import sys
import tempfile

import pytest

import lurvo
from testkit import ROOT
from testkit.stages import UNDER_SANITIZER

pytestmark = pytest.mark.skipif(sys.version_info[0] < 3,
                                reason="text signatures and type stubs are Python 3's")
STUBS = os.path.join(ROOT, "python")
# What the grabber's stub leaves out on purpose: its inner modules.
GRAB_ALLOWLIST = os.path.join(ROOT, "tests", "grab_stub.allowlist")


@pytest.mark.parametrize("obj,text", [
    (lurvo.cam, "(ip='127.0.0.1', port=5557)"),
    (lurvo.cam.get_frame, "(self, uri='/img.pgm', /)"),
    (lurvo.cam().get_frame, "(uri='/img.pgm', /)"),
])
def test_signature(obj, text):
    assert str(inspect.signature(obj)) == text


def mypy(args, env=None, **kw):
    """(status, output) of mypy run with `args`.  Under the sanitizer the
    type checker keeps the runtime (it imports the instrumented module) but
    not the leak check at its exit: a type checker's leaks say nothing of
    the module, and LeakSanitizer's tracer has crashed in that big process."""
    pytest.importorskip("mypy")
    try:
        import numpy.typing  # noqa: F401
    except ImportError:
        import numpy
        pytest.skip("the stub's arrays are numpy.typing's, which came with NumPy 1.20 "
                    "(this is %s, the newest of Python 3.6)" % numpy.__version__)
    env = dict(os.environ if env is None else env)
    if UNDER_SANITIZER:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    proc = subprocess.run([sys.executable, "-m"] + args, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, env=env, **kw)
    return proc.returncode, proc.stdout.decode()


def check_types(source):
    folder = tempfile.mkdtemp()
    os.symlink(os.path.join(STUBS, "lurvo-stubs", "__init__.pyi"), os.path.join(folder, "lurvo.pyi"))
    os.symlink(os.path.join(STUBS, "lurvo_grab-stubs"), os.path.join(folder, "lurvo_grab"))
    path = os.path.join(folder, "use.py")
    with open(path, "w") as f:
        f.write(source)
    return mypy(["mypy", "--no-incremental", "--strict", path],
                env=dict(os.environ, MYPYPATH=folder), cwd=folder)


@pytest.mark.parametrize("args", [["lurvo"], ["lurvo_grab", "--allowlist", GRAB_ALLOWLIST]],
                         ids=["lurvo", "lurvo_grab"])
def test_stub_agrees_with_the_module_at_run_time(tmp_path, args):
    code, out = mypy(["mypy.stubtest"] + args, cwd=str(tmp_path))
    assert code == 0, out


def test_intended_use_type_checks():
    code, out = check_types(
        "import lurvo\n"
        "import numpy as np\n"
        "import numpy.typing as npt\n"
        "cam = lurvo.cam('127.0.0.1', 5557)\n"
        "frame: npt.NDArray[np.uint16] = cam.get_frame('/img.pgm')\n"
        "other = lurvo.cam(ip='10.0.0.1', port=1).get_frame()\n"
        "version: str = lurvo.__version__\n"
        "import lurvo_grab\n"
        "from lurvo_grab import aio\n"
        "with lurvo_grab.Grabber('127.0.0.1', 5557, timeout=2.0) as grabber:\n"
        "    grabbed: npt.NDArray[np.uint16] = grabber.grab('/img.pgm', view=True)\n"
        "    for answer in grabber.frames(latest=True, on_error='yield'):\n"
        "        print(answer, grabber.pid)\n"
        "    outcomes = lurvo_grab.grab_all([grabber], '/img.pgm')\n"
        "    index, first = lurvo_grab.first_ready([grabber])\n"
        "async def main(g: lurvo_grab.Grabber) -> None:\n"
        "    frame = await aio.grab(g)\n"
        "    async for f in aio.frames(g):\n"
        "        print(f)\n")
    assert code == 0, out


MISUSES = [
    "lurvo.cam(port='5557')",
    "lurvo.cam('127.0.0.1', 5557).get_frame(uri='/img.pgm')",
    "lurvo.cam(host='127.0.0.1')",
    "x: str = lurvo.cam().get_frame()",
    "lurvo_grab.Grabber('127.0.0.1', '5557')",
    "lurvo_grab.Grabber().grab(uri=5)",
    "n: str = lurvo_grab.Grabber().frames().dropped",
]


@pytest.fixture(scope="module")
def misuse_report():
    """(status, output, line of each misuse, lines with an error) of one
    type check of every misuse, each in a function of its own: one run of
    mypy, whose start takes most of its time, for all of them."""
    source = "import lurvo\nimport lurvo_grab\n"
    lines = {}
    for i, misuse in enumerate(MISUSES):
        source += "def case_%d() -> None:\n" % i
        lines[misuse] = source.count("\n") + 1
        source += "    %s\n" % misuse
    code, out = check_types(source)
    flagged = set(int(n) for n in re.findall(r"use\.py:(\d+): error:", out))
    return code, out, lines, flagged


@pytest.mark.parametrize("line", MISUSES)
def test_misuse_is_flagged(misuse_report, line):
    code, out, lines, flagged = misuse_report
    assert code == 1 and lines[line] in flagged, out
