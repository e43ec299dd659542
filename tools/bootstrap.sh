#!/usr/bin/env bash
# Make a virtual environment and install its pinned dependencies.
#
#   PYTHON  interpreter to build for (default: CPython $PYVER from pyenv, then PATH)
#   PYVER   the CPython release series to look for when PYTHON is unset (default 2.7)
#   VENV    where the environment lives (default: .venv in the project)
#   REQS    requirements file (default: tools/requirements/py2.txt)
#
# Idempotent: an existing environment is kept, and pip runs again only when
# the requirements file changed since the last successful install.  An
# environment inside the project (the project's own, .venv and .venv-X.Y)
# imports the module built in place and the packages of python/ from any
# folder; the tools' environments, in the cache, see only what they install.
#
#   tools/bootstrap.sh --probe    only print the interpreter that would be used
set -euo pipefail
tool=bootstrap
source "$(dirname "$0")/common.sh"
cd "$top"
pyver=${PYVER:-2.7}
venv=${VENV:-.venv}
reqs=${REQS:-tools/requirements/py2.txt}

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
[ "${1:-}" = "--probe" ] && { echo "$python"; exit 0; }

want=$("$python" -c 'import sys; print(sys.version.split()[0])')
if [ -x "$venv/bin/python" ]; then
    have=$("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])' 2>/dev/null || echo none)
    if [ "$have" != "$want" ]; then
        say "$venv holds Python $have, wanted $want: making it anew"
        rm -rf "$venv"
    fi
fi
if [ ! -x "$venv/bin/python" ]; then
    say "making $venv with $python ($want)"
    mkdir -p "$(dirname "$venv")"
    make_venv "$python" "$venv"
fi

stamp="$venv/.requirements-installed"
if [ ! -f "$stamp" ] || ! cmp -s "$reqs" "$stamp"; then
    say "installing $reqs into $venv"
    # The machine's pip configuration names local indexes that may be
    # absent; their warnings are noise.
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$reqs" \
        2> >(grep -v 'is ignored: it is neither a file nor a directory' >&2)
    cp "$reqs" "$stamp"
fi

case "$(cd "$venv" && pwd)" in "$top"/*)
    site=$("$venv/bin/python" -c 'from distutils.sysconfig import get_python_lib; print(get_python_lib())')
    printf '%s\n' "$top" "$top/python" > "$site/lurvo-project.pth" ;;
esac
