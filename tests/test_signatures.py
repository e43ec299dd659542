"""What tools read from the module on Python 3: the signatures
inspect.signature gives, and the type stub, which accepts the intended use,
flags misuse and agrees with the module as it is at run time.  (The doc
strings, exact on every interpreter, are tested with the module's other
attributes.)"""
import inspect
import os
import subprocess
import sys
import tempfile

import pytest

import lurvo
from testkit import ROOT

pytestmark = pytest.mark.skipif(sys.version_info[0] < 3,
                                reason="text signatures and type stubs are Python 3's")
STUB = os.path.join(ROOT, "python", "lurvo-stubs", "__init__.pyi")


@pytest.mark.parametrize("obj,text", [
    (lurvo.cam, "(ip='127.0.0.1', port=5557)"),
    (lurvo.cam.get_frame, "(self, uri='/img.pgm', /)"),
    (lurvo.cam().get_frame, "(uri='/img.pgm', /)"),
])
def test_signature(obj, text):
    assert str(inspect.signature(obj)) == text


def mypy(args, **kw):
    """(status, output) of mypy run with `args`."""
    pytest.importorskip("mypy")
    proc = subprocess.run([sys.executable, "-m"] + args, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, **kw)
    return proc.returncode, proc.stdout.decode()


def check_types(source):
    folder = tempfile.mkdtemp()
    os.symlink(STUB, os.path.join(folder, "lurvo.pyi"))
    path = os.path.join(folder, "use.py")
    with open(path, "w") as f:
        f.write(source)
    return mypy(["mypy", "--no-incremental", "--strict", path],
                env=dict(os.environ, MYPYPATH=folder), cwd=folder)


def test_stub_agrees_with_the_module_at_run_time(tmp_path):
    code, out = mypy(["mypy.stubtest", "lurvo"], cwd=str(tmp_path))
    assert code == 0, out


def test_intended_use_type_checks():
    code, out = check_types(
        "import lurvo\n"
        "import numpy as np\n"
        "import numpy.typing as npt\n"
        "cam = lurvo.cam('127.0.0.1', 5557)\n"
        "frame: npt.NDArray[np.uint16] = cam.get_frame('/img.pgm')\n"
        "other = lurvo.cam(ip='10.0.0.1', port=1).get_frame()\n"
        "version: str = lurvo.__version__\n")
    assert code == 0, out


@pytest.mark.parametrize("line", [
    "lurvo.cam(port='5557')",
    "lurvo.cam('127.0.0.1', 5557).get_frame(uri='/img.pgm')",
    "lurvo.cam(host='127.0.0.1')",
    "x: str = lurvo.cam().get_frame()",
])
def test_misuse_is_flagged(line):
    code, out = check_types("import lurvo\n" + line + "\n")
    assert code == 1 and "error:" in out, out
