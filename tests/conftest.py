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


def pytest_configure(config):
    import pytest
    if int(pytest.__version__.split(".")[0]) >= 6:
        return
    with open(os.path.join(ROOT, "pyproject.toml")) as f:
        table = f.read().split("[tool.pytest.ini_options]", 1)[1]
    markers = re.search(r"markers = \[(.*?)\]", table, re.S).group(1)
    for line in re.findall(r'"([^"]+)"', markers):
        config.addinivalue_line("markers", line)
