#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer
# into build/asan-<Python X.Y> (./lurvo.so is left alone) and runs the whole
# test suite against that build, with the sanitizer runtime preloaded into
# the uninstrumented interpreter.  Any report fails the run.
#
#   VENV         the environment made by tools/bootstrap.sh (default .venv)
#   PYTEST_ARGS  passed on to pytest
#   LURVO_ASAN_DIR  where the instrumented module goes (default build/asan-X.Y)
set -euo pipefail
tool=sanitize
source "$(dirname "$0")/common.sh"
cd "$top"
py=$(venv_python)
version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
out=${LURVO_ASAN_DIR:-build/asan-$version}
case "$out" in /*) ;; *) out="$top/$out" ;; esac

# The compiler distutils uses for C++ links the matching runtime.
cxx=$("$py" -c 'from distutils import sysconfig; print(sysconfig.get_config_var("CXX").split()[0])')
runtime=$("$cxx" -print-file-name=libasan.so)
[ -f "$runtime" ] || { echo "sanitize: $cxx has no libasan.so" >&2; exit 1; }

LURVO_EXTRA_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g" \
    "$py" setup.py --quiet build_ext --force --build-lib "$out" --build-temp "$out/obj"

# Leaks: the interpreter and its extension modules keep memory until exit
# on purpose, so allocations made directly by them are suppressed.  Only
# the allocating frame is recorded (malloc_context_size=2), so a block
# that our own code allocates is matched on our frame and still reported.
# Reports go to files, one per process: pytest captures the standard
# error of a test, and a process that the sanitizer ends loses it.
supp="$top/tools/lsan.supp"
reports="$out/reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:malloc_context_size=2:allocator_may_return_null=1:exitcode=86:log_path=$reports/report"
export LSAN_OPTIONS="suppressions=$supp:print_suppressions=0:exitcode=86"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86:log_path=$reports/ubsan"
export LURVO_MODULE_DIR="$out"
# Run from the build folder: a child `python -c` looks in its working
# folder first, and must find the instrumented module there too.
cd "$out"
status=0
# Only the test run gets the runtime: the tools of this script would
# report their own leaks.
# shellcheck disable=SC2086
LD_PRELOAD="$runtime" "$py" -m pytest -q -p no:cacheprovider "$top/tests" ${PYTEST_ARGS:-} || status=$?

found=$(find "$reports" -type f | sort)
if [ -n "$found" ]; then
    for f in $found; do
        echo "=== sanitizer report $f"
        cat "$f"
    done
    echo "sanitize: $(echo "$found" | wc -l) sanitizer report(s), see above" >&2
    exit 1
fi
[ "$status" -eq 0 ] || { echo "sanitize: pytest failed ($status)" >&2; exit "$status"; }
echo "sanitize: Python $version: no sanitizer report"
