#!/usr/bin/env bash
# Make the project's virtual environment and install its pinned dependencies.
#
#   PYTHON  interpreter to build for (default: CPython $PYVER from pyenv, then PATH)
#   PYVER   the CPython release series to look for when PYTHON is unset (default 2.7)
#   VENV    where the environment lives (default: .venv in the project)
#   REQS    requirements file (default: requirements.txt)
#
# Idempotent: an existing environment is kept, and pip runs again only when
# the requirements file changed since the last successful install.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
pyver=${PYVER:-2.7}
venv=${VENV:-.venv}
reqs=${REQS:-requirements.txt}

die() { echo "bootstrap: $*" >&2; exit 1; }

has_headers() {
    "$1" -c 'import os, sysconfig, sys
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)' 2>/dev/null
}

find_python() {
    local cand prefix v
    if command -v pyenv >/dev/null 2>&1; then
        for v in $(pyenv versions --bare 2>/dev/null | grep -E "^${pyver//./\\.}(\\.[0-9]+)?$" | sort -t. -k3 -n -r); do
            prefix=$(pyenv prefix "$v" 2>/dev/null) || continue
            [ -x "$prefix/bin/python$pyver" ] && { echo "$prefix/bin/python$pyver"; return 0; }
        done
    fi
    for cand in "python$pyver" "python${pyver%%.*}"; do
        if command -v "$cand" >/dev/null 2>&1 \
            && [ "$("$cand" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$pyver" ]; then
            command -v "$cand"; return 0
        fi
    done
    return 1
}

python=${PYTHON:-}
if [ -z "$python" ]; then
    python=$(find_python) || die "no CPython $pyver found (tried pyenv $pyver.x, python$pyver, python${pyver%%.*}); set PYTHON=/path/to/python"
fi
command -v "$python" >/dev/null 2>&1 || [ -x "$python" ] || die "PYTHON=$python is not an executable"
has_headers "$python" || die "$python has no development headers (Python.h); install them or choose another PYTHON"
# --probe: only tell whether a usable interpreter is there.
[ "${1:-}" = "--probe" ] && { echo "$python"; exit 0; }

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
    # The machine's pip configuration names local indexes that may be
    # absent; their warnings are noise.
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$reqs" \
        2> >(grep -v 'is ignored: it is neither a file nor a directory' >&2)
    cp "$reqs" "$stamp"
fi

# The module is built in place (setup.py build_ext --inplace); this makes it
# importable by the environment's Python from any folder.
site=$("$venv/bin/python" -c 'from distutils.sysconfig import get_python_lib; print(get_python_lib())')
echo "$top" > "$site/lurvo-project.pth"
