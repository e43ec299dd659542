"""The type stub accepts the intended use and flags misuse (Python 3); its
agreement with the module at run time is checked in test_signatures.py."""
import os
import subprocess
import sys
import tempfile

import pytest

from testkit import ROOT

pytestmark = pytest.mark.skipif(sys.version_info[0] < 3, reason="type stubs are for Python 3")
STUB = os.path.join(ROOT, "lurvo-stubs", "__init__.pyi")


def mypy(source):
    pytest.importorskip("mypy")
    folder = tempfile.mkdtemp()
    os.symlink(STUB, os.path.join(folder, "lurvo.pyi"))
    path = os.path.join(folder, "use.py")
    with open(path, "w") as f:
        f.write(source)
    env = dict(os.environ, MYPYPATH=folder)
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--strict", path],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, cwd=folder)
    return proc.returncode, proc.stdout.decode()


def test_intended_use_type_checks():
    code, out = mypy(
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
    code, out = mypy("import lurvo\n" + line + "\n")
    assert code == 1 and "error:" in out, out
