"""Makes `import lurvo` load the build that tests/stages.py loads: with
LURVO_MODULE_DIR set (the sanitizer build, for one), that folder comes
first for this process and, through PYTHONPATH, for its children, which
find the tests' own helpers there too."""
import os
import sys

module_dir = os.environ.get("LURVO_MODULE_DIR")
if module_dir:
    sys.path.insert(0, module_dir)
os.environ["PYTHONPATH"] = os.pathsep.join(
    [p for p in [module_dir, os.path.dirname(os.path.abspath(__file__))] if p]
    + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
