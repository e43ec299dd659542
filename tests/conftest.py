"""Makes `import lurvo` load the build that testkit/stages.py loads, and
`import testkit` find the project's tools: with LURVO_MODULE_DIR set (the
sanitizer build, an installed wheel) that folder comes first for this
process and, through PYTHONPATH, for its children; the project's folder
comes after it, so that its own build never hides the one under test."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
module_dir = os.environ.get("LURVO_MODULE_DIR")
if module_dir:
    sys.path.insert(0, module_dir)
if ROOT not in sys.path:
    sys.path.append(ROOT)
os.environ["PYTHONPATH"] = os.pathsep.join(
    [p for p in [module_dir, ROOT] if p]
    + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
