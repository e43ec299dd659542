# What the scripts of tools/ share; sourced, with `tool` set to the name
# that prefixes the script's messages:
#
#   top     the project's folder (the one holding tools/)
#   cache   where what is made outside the project's own files is kept: the
#           Debian chroots, the environments of the tools, Python 2.7's
#           virtualenv.  $LURVO_CACHE, by default ~/.cache/lurvo
#           ($XDG_CACHE_HOME/lurvo when that is set); `make clean-cache`
#           empties it.  Never inside the checkout: pip and `python -m build`
#           copy the tree, and a chroot holds device nodes and mounts.
#   sudo    "sudo" for the commands that need root, when not root
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${LURVO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lurvo}
case "$cache" in "$top"|"$top"/*)
    echo "${tool:-tools}: LURVO_CACHE=$cache lies inside the checkout; choose a folder outside it" >&2
    exit 1 ;;
esac
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

say() { echo "${tool:-tools}: $*"; }
die() { echo "${tool:-tools}: $*" >&2; exit 1; }

# Runs a chatty command with its output kept aside in $log (a file the
# script chose), shown only on failure.
quietly() {
    if ! "$@" >"${log:?}" 2>&1; then
        cat "$log" >&2
        die "failed: $*"
    fi
}

python3_or_later() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info[0] >= 3 else 1)'
}

# make_venv PYTHON FOLDER: Python 3 has venv built in; Python 2.7 gets the
# virtualenv kept in the cache (installed there on first use), so that the
# interpreter's own site-packages stay untouched.
make_venv() {
    if python3_or_later "$1"; then
        "$1" -m venv "$2"
        # Python 3.6 brings pip 18.1, which knows no manylinux2014 wheel
        # and takes the newest release from an index that lists no
        # Requires-Python (a local mirror) even where it cannot run;
        # pip 20.3's resolver steps back instead.  21.3 is 3.6's last.
        if ! "$2/bin/python" -c 'import sys, pip; sys.exit(tuple(map(int, pip.__version__.split(".")[:2])) < (20, 3))'; then
            "$2/bin/python" -m pip install --quiet --disable-pip-version-check 'pip>=20.3,<22'
        fi
        return
    fi
    local tools=$cache/virtualenv
    if [ ! -d "$tools/virtualenv" ]; then
        "$1" -m pip install --quiet --disable-pip-version-check --target "$tools" 'virtualenv<20.22'
    fi
    PYTHONPATH="$tools" "$1" -m virtualenv --quiet "$2"
}

# The interpreter of the environment $VENV (default .venv), a folder of the
# project or an absolute path.
venv_python() {
    local venv=${VENV:-.venv}
    case "$venv" in /*) echo "$venv/bin/python" ;; *) echo "$top/$venv/bin/python" ;; esac
}
