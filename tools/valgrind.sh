#!/usr/bin/env bash
# Runs a few hundred mixed get_frame calls (tests/testkit/mixed_calls.py) under
# valgrind's memcheck, against a build with debug information in
# build/valgrind, and fails if memcheck finds an invalid access or a
# definite leak attributed to our code (see tools/valgrind_summary.py).
# The interpreter's own findings are counted and shown, not judged.
#
#   VENV            the environment (default .venv)
#   VALGRIND_CALLS  how many calls (default 300)
set -euo pipefail
tool=valgrind
source "$(dirname "$0")/common.sh"
cd "$top"
py=$(venv_python)
out="$top/build/valgrind"
calls=${VALGRIND_CALLS:-300}

"$top/tools/packages.sh" valgrind

LURVO_EXTRA_FLAGS="-g" \
    "$py" setup.py --quiet build_ext --force --build-lib "$out" --build-temp "$out/obj"

rm -f "$out/memcheck.xml"
# The server of the calls is a forked child of the same program; its
# findings are the interpreter's alone, so it stays silent.
cd "$out"
PYTHONPATH="$out" LURVO_MODULE_DIR="$out" valgrind --tool=memcheck --leak-check=full \
    --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=40 \
    --child-silent-after-fork=yes --xml=yes --xml-file="$out/memcheck.xml" \
    "$py" "$top/tests/testkit/mixed_calls.py" "$calls"
"$py" "$top/tools/valgrind_summary.py" "$out/memcheck.xml" "$out/lurvo.so"
