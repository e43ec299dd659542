#!/usr/bin/env bash
# Installs the project with pip, as a user would, into throw-away
# environments for Python 2.7 and one Python 3, and imports it from outside
# the source tree.  Python 2.7's virtualenv comes from `make build`.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
py3=${PY3:-3.11}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

check() {  # environment python, label
    (cd "$scratch" && "$1" -c 'import lurvo, sys
assert lurvo.__file__.startswith(sys.prefix), lurvo.__file__
assert lurvo.__version__ == "MAJOR_VERSION.MINOR_VERSION"
print("install-check: %s: %s" % (sys.version.split()[0], lurvo.__file__))')
}

python2=$(PYVER=2.7 "$top/scripts/bootstrap.sh" --probe)
PYTHONPATH="$top/.bootstrap-virtualenv" "$python2" -m virtualenv --quiet "$scratch/py2"
"$scratch/py2/bin/pip" install --quiet --disable-pip-version-check --no-python-version-warning "$top"
check "$scratch/py2/bin/python"

python3=$(PYVER=$py3 "$top/scripts/bootstrap.sh" --probe)
"$python3" -m venv "$scratch/py3"
"$scratch/py3/bin/pip" install --quiet --disable-pip-version-check "$top"
check "$scratch/py3/bin/python"
test -f "$("$scratch/py3/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/lurvo-stubs/__init__.pyi"
echo "install-check: type stub installed"
