"""Makes `import lurvo` load the build that tests/stages.py loads: the one
in LURVO_MODULE_DIR (the sanitizer build, an installed wheel), else the
one built in place in the project.  That folder comes first for this
process and, through PYTHONPATH, for its children, which find the tests'
own helpers there too: a child started afresh must not depend on the
environment having a path file that names the project."""
import os
import sys

TESTS = os.path.dirname(os.path.abspath(__file__))
module_dir = os.environ.get("LURVO_MODULE_DIR") or os.path.dirname(TESTS)
sys.path.insert(0, module_dir)
os.environ["PYTHONPATH"] = os.pathsep.join(
    [module_dir, TESTS] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
