"""Makes `import lurvo` load the build under test, and the product's Python
packages and the test kit importable, for this process and, through
PYTHONPATH, for its children: with LURVO_MODULE_DIR set (the sanitizer
build, an installed wheel) that folder comes first; this tree's folder
(the module built in place), its python/ folder and tests/ (the kit) come
next, ahead of whatever an environment's path file names, so that neither
the tree's own files nor another checkout's hide the ones under test.

Python 2.7's last pytest (4.6) reads no pyproject.toml: the markers of its
[tool.pytest.ini_options] are registered here for it."""
import os
import re
import sys

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
module_dir = os.environ.get("LURVO_MODULE_DIR")
paths = [p for p in [module_dir, ROOT, os.path.join(ROOT, "python"), TESTS] if p]
# Ahead of the rest of the path: an environment's path file may name
# another checkout (the one a scratch copy of make mutants was made from).
sys.path[:0] = [p for p in paths if p not in sys.path[:1]]
os.environ["PYTHONPATH"] = os.pathsep.join(
    paths + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])


# Under an emulator (tools/chroot.sh sets LURVO_EMULATOR: qemu-user for
# another architecture) the run keeps to what the architecture can change,
# the module and what it is built from.  These files test pure-Python
# tools, the same code on every architecture, which every native run
# tests; under qemu they took about half of the suite's time.
NATIVE_ONLY = {
    "test_signatures.py": "the type checker",
    "test_view.py": "the view",
    "test_camserver.py": "the camera server",
    "test_grab.py": "the grabber",
    "test_servers.py": "the real servers' packages",
    "test_run_demo.py": "the demo",
}


def pytest_collection_modifyitems(config, items):
    emulator = os.environ.get("LURVO_EMULATOR")
    if not emulator:
        return
    import pytest
    for item in items:
        what = NATIVE_ONLY.get(os.path.basename(item.nodeid.split("::")[0]))
        if what:
            item.add_marker(pytest.mark.skip(
                reason="%s: pure Python, tested on every native run, not under %s"
                       % (what, emulator)))


def pytest_configure(config):
    import pytest
    if int(pytest.__version__.split(".")[0]) >= 6:
        return
    with open(os.path.join(ROOT, "pyproject.toml")) as f:
        table = f.read().split("[tool.pytest.ini_options]", 1)[1]
    markers = re.search(r"markers = \[(.*?)\]", table, re.S).group(1)
    for line in re.findall(r'"([^"]+)"', markers):
        config.addinivalue_line("markers", line)
