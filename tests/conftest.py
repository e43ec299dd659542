"""Makes `import lurvo` load the build under test, and the product's Python
packages and the test kit importable, for this process and, through
PYTHONPATH, for its children: with LURVO_MODULE_DIR set (the sanitizer
build, an installed wheel) that folder comes first; the project's folder
(the module built in place), its python/ folder and tests/ (the kit) come
after it, so that the project's own files never hide the ones under test.

Python 2.7's last pytest (4.6) reads no pyproject.toml: the markers of its
[tool.pytest.ini_options] are registered here for it."""
import os
import re
import sys

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
module_dir = os.environ.get("LURVO_MODULE_DIR")
paths = [p for p in [module_dir, ROOT, os.path.join(ROOT, "python"), TESTS] if p]
if module_dir:
    sys.path.insert(0, module_dir)
for p in paths[1 if module_dir else 0:]:
    if p not in sys.path:
        sys.path.append(p)
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
