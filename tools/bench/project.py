"""Makes the project importable by a benchmark, which imports this first:
the module built in place (ROOT), the product's Python packages
(ROOT/python) and the test kit (ROOT/tests), ahead of anything else on the
path.  The bench environment lives in the cache, outside the checkout,
with no path file to the project (tools/bench/run.sh), so the benchmarks
say where it is themselves; PYTHONPATH carries the module and the packages
to the Python children they start (camera servers, the link lab's client,
the peak-memory probes).

    BUILD     where the Makefile builds the bench's C++ programs
    built()   the path of one of them, refused when missing or stale"""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PYTHON_PACKAGES = os.path.join(ROOT, "python")
TESTS = os.path.join(ROOT, "tests")
BUILD = os.path.join(ROOT, "build")
SOURCES = os.path.join(ROOT, "tools", "bench")

for _path in (TESTS, PYTHON_PACKAGES, ROOT):
    if _path not in sys.path:
        sys.path.insert(0, _path)
os.environ["PYTHONPATH"] = os.pathsep.join(
    [ROOT, PYTHON_PACKAGES] + [p for p in [os.environ.get("PYTHONPATH")] if p])


def built(name, source):
    """build/`name`, made by the Makefile from tools/bench/`source`
    (make bench builds every one); exits with what to run when it is
    missing or older than its source."""
    path = os.path.join(BUILD, name)
    src = os.path.join(SOURCES, source)
    if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(src):
        raise SystemExit("build/%s is missing or older than tools/bench/%s: "
                         "run make build/%s (make bench builds it)" % (name, source, name))
    return path
