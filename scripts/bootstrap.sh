#!/usr/bin/env bash
# Make the project's virtual environment and install its pinned dependencies.
#
#   PYTHON  interpreter to build for (default: CPython 2.7 from pyenv, then PATH)
#   VENV    where the environment lives (default: .venv in the project)
#   REQS    requirements file (default: requirements.txt)
#
# Idempotent: an existing environment is kept, and pip runs again only when
# the requirements file changed since the last successful install.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
venv=${VENV:-.venv}
reqs=${REQS:-requirements.txt}

die() { echo "bootstrap: $*" >&2; exit 1; }

has_headers() {
    "$1" -c 'import os, sysconfig, sys
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)' 2>/dev/null
}

find_python27() {
    local cand prefix
    if command -v pyenv >/dev/null 2>&1; then
        for v in 2.7.18 $(pyenv versions --bare 2>/dev/null | grep '^2\.7' || true); do
            prefix=$(pyenv prefix "$v" 2>/dev/null) || continue
            [ -x "$prefix/bin/python2.7" ] && { echo "$prefix/bin/python2.7"; return 0; }
        done
    fi
    for cand in python2.7 python2; do
        command -v "$cand" >/dev/null 2>&1 && { command -v "$cand"; return 0; }
    done
    return 1
}

python=${PYTHON:-}
if [ -z "$python" ]; then
    python=$(find_python27) || die "no CPython 2.7 found (tried pyenv 2.7.x, python2.7, python2); set PYTHON=/path/to/python"
fi
command -v "$python" >/dev/null 2>&1 || [ -x "$python" ] || die "PYTHON=$python is not an executable"
has_headers "$python" || die "$python has no development headers (Python.h); install them or choose another PYTHON"

# Python 3 has venv built in; Python 2.7 needs virtualenv, kept in a private
# folder so that the interpreter's own site-packages stay untouched.
make_venv() {
    if "$python" -c 'import sys; sys.exit(0 if sys.version_info[0] >= 3 else 1)'; then
        "$python" -m venv "$venv"
    else
        local tools=.bootstrap-virtualenv
        if [ ! -d "$tools/virtualenv" ]; then
            "$python" -m pip install --quiet --disable-pip-version-check \
                --target "$tools" 'virtualenv<20.22'
        fi
        PYTHONPATH="$tools" "$python" -m virtualenv --quiet "$venv"
    fi
}

want=$("$python" -c 'import sys; print(sys.version.split()[0])')
if [ -x "$venv/bin/python" ]; then
    have=$("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])' 2>/dev/null || echo none)
    if [ "$have" != "$want" ]; then
        echo "bootstrap: $venv holds Python $have, wanted $want: making it anew"
        rm -rf "$venv"
    fi
fi
if [ ! -x "$venv/bin/python" ]; then
    echo "bootstrap: making $venv with $python ($want)"
    make_venv
fi

stamp="$venv/.requirements-installed"
if [ ! -f "$stamp" ] || ! cmp -s "$reqs" "$stamp"; then
    echo "bootstrap: installing $reqs into $venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$reqs"
    cp "$reqs" "$stamp"
fi

# The module is built in place (setup.py build_ext --inplace); this makes it
# importable by the environment's Python from any folder.
site=$("$venv/bin/python" -c 'from distutils.sysconfig import get_python_lib; print(get_python_lib())')
echo "$top" > "$site/lurvo-project.pth"
