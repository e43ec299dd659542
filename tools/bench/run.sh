#!/usr/bin/env bash
# Runs a benchmark of tools/bench/ under the bench environment: Python 2.7
# with the module's pinned NumPy and the peers get_frame is set against
# (requests, OpenCV, Pillow) and matplotlib for the charts, from
# tools/requirements/bench.txt.  The environment lives in the cache
# (tools/common.sh), as $cache/venv-bench, made or brought up to date first.
#
#   tools/bench/run.sh SCRIPT [ARGS...]     e.g. frame_rate.py --calls 20
#
#   PYTHON  the Python 2.7 interpreter to make the environment with (as for
#           tools/bootstrap.sh)
#
# The script is run by its path, so that it finds its neighbours; it puts
# the project on its own path (tools/bench/project.py), as an environment
# in the cache has no path file to the project.
set -euo pipefail
tool=bench
source "$(dirname "$0")/../common.sh"
[ $# -gt 0 ] || { echo "usage: $0 SCRIPT [ARGS...]" >&2; exit 2; }
script=$top/tools/bench/$1
shift
[ -f "$script" ] || die "no benchmark $script"

venv=$cache/venv-bench
VENV="$venv" REQS=tools/requirements/bench.txt "$top/tools/bootstrap.sh"
exec "$venv/bin/python" "$script" "$@"
