"""Makes `import lurvo` load the build that tests/stages.py loads, so that
a LURVO_MODULE_DIR build is the one under test everywhere, child
processes included (they get it through PYTHONPATH)."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from stages import ROOT, module_dir  # noqa: E402

if module_dir() != ROOT:
    sys.path.insert(0, module_dir())
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [module_dir()] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
