"""What the tests, the benchmarks and the scripts of make valgrind share:
the module's stages through ctypes (stages), the responses a camera
server sends (responses), a loopback server that plays them (scripted_server),
child processes and the demo camera server among them (processes), every
quick way a call can end (mixed_calls), what a Python user would write
instead of get_frame (peers) and a shaped, lossy link between two network
namespaces (link_lab, its client side lab_client).

Importing the package loads nothing: stages loads the module under test
when it is imported, and some callers (the link lab's filler) must not.  It
only makes the product's Python packages (python/, where the camera server's
PGM writer lives) importable, after whatever comes first on the path."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PYTHON_PACKAGES = os.path.join(ROOT, "python")
if PYTHON_PACKAGES not in sys.path:
    sys.path.append(PYTHON_PACKAGES)


def with_packages(env):
    """env, with the product's Python packages at the end of PYTHONPATH, for
    a child that imports them (an installed copy on the path still wins)."""
    paths = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    if PYTHON_PACKAGES not in paths:
        env["PYTHONPATH"] = os.pathsep.join(paths + [PYTHON_PACKAGES])
    return env


def unavailable(reason):
    """Skips the test for want of something the machine lacks (root, a
    package); with LURVO_EVERY_TEST set (make test, make ci) fails it
    instead, so that a missing piece never passes for a skipped test."""
    import pytest
    if os.environ.get("LURVO_EVERY_TEST"):
        pytest.fail(reason + " (LURVO_EVERY_TEST is set: every test must run)")
    pytest.skip(reason)
