"""What tools read from the module on Python 3: the signatures
inspect.signature gives, and the type stub checked against the module as
it is at run time.  (The doc strings, exact on every interpreter, are
tested with the module's other attributes.)"""
import inspect
import subprocess
import sys

import pytest

import lurvo

pytestmark = pytest.mark.skipif(sys.version_info[0] < 3, reason="text signatures are Python 3's")


@pytest.mark.parametrize("obj,text", [
    (lurvo.cam, "(ip='127.0.0.1', port=5557)"),
    (lurvo.cam.get_frame, "(self, uri='/img.pgm', /)"),
    (lurvo.cam().get_frame, "(uri='/img.pgm', /)"),
])
def test_signature(obj, text):
    assert str(inspect.signature(obj)) == text


def test_stub_agrees_with_the_module_at_run_time(tmp_path):
    pytest.importorskip("mypy")
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "lurvo"],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          cwd=str(tmp_path))
    assert proc.returncode == 0, proc.stdout.decode()
