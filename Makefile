# Strings the steps together; the work is done by scripts/ (environments,
# sanitizer, fuzz and valgrind runs) and setup.py (the module).
#
#   make build         Python 2.7 environment (.venv), dependencies and the module,
#                      importable by .venv/bin/python
#   make test          everything: the suite on Python 2.7 and 3.11, the wheel checks
#                      (here and in the chroots), the suite under ASan+UBSan, and
#                      bounded fuzz runs
#   make check         the suite on Python 2.7 only (quick)
#   make demo          build, then the main job (DEMO_ARGS="--seconds 5 --bits 12")
#   make test-py3-all  the suite on every Python 3 from 3.8 to 3.13 found here
#   make wheel-check   the source archive and wheels for 2.7 and $(PY3), each wheel
#                      installed outside the tree and tested (into build/wheel-check)
#   make wheel-check-chroot  the same for Python 3.15 in a Debian sid chroot and for
#                      64-bit ARM in an arm64 chroot under qemu-user-static (made
#                      under build/ by scripts/chroot.sh when missing; root), under
#                      the newest NumPy only
#   make dist          the same for every Python series found and those of the
#                      chroots (3.14, 3.15, and 3.11 on arm64), into dist/
#   make sanitize      the suite again on 2.7 and $(PY3), each against an ASan+UBSan
#                      build of its own in build/asan-X.Y
#   make fuzz          the libFuzzer targets of fuzz/, FUZZ_SECONDS (60) each
#   make valgrind      mixed get_frame calls under memcheck (VALGRIND_CALLS, 300)
#   make mutants       faults put into a scratch copy one at a time, each of
#                      which its tests must catch (MUTANTS="part of a name")
#   make bench         get_frame against its peers and the floor
#                      (environment $(BENCH_VENV) for the peers; BENCH_ARGS=--calls N)
#   make bench-camserver  frames per second from the Python camera server: a
#                      user's function, the demo pattern, a file
#                      (CAMSERVER_BENCH_ARGS=--calls N)
#   make netlab        get_frame and its peers over shaped, lossy links between two
#                      network namespaces (root; NETLAB_ARGS=--calls N)
#
# PYTHON=/path/to/python2.7 chooses the Python 2 interpreter; PY3 the
# Python 3 series used by `make test` (default 3.11).

# Our own builds hold our code to warning-free (setup.py reads it).
export LURVO_WERROR := 1

VENV ?= .venv
PY := $(VENV)/bin/python
PY3 ?= 3.11
PY3_SERIES ?= 3.8 3.9 3.10 3.11 3.12 3.13
# CHROOT:SERIES, for Pythons and an architecture this machine lacks (scripts/dist.sh).
CHROOT_SERIES ?= sid:3.14 sid:3.15 arm64:3.11
CHECK_CHROOT_SERIES ?= sid:3.15 arm64:3.11
PYTEST_ARGS ?= -rs
DEMO_ARGS ?=
FUZZ_SECONDS ?= 60
MUTANTS ?=

.PHONY: all build build-py3 test check check-py3 wheel-check wheel-check-chroot dist test-py3-all \
        sanitize fuzz fuzz-corpus valgrind mutants demo bench bench-camserver netlab clean

all: build

build:
	@PYTHON="$(PYTHON)" VENV="$(VENV)" scripts/bootstrap.sh
	@$(PY) setup.py --quiet build_ext --inplace

# One Python 3 series: its own environment and its own build of the module.
build-py3:
	@PYTHON= PYVER=$(PY3) VENV=.venv-$(PY3) REQS=requirements-py3.txt scripts/bootstrap.sh
	@.venv-$(PY3)/bin/python setup.py --quiet build_ext --inplace

check: build
	$(PY) -m pytest -q tests $(PYTEST_ARGS)

check-py3: build-py3
	.venv-$(PY3)/bin/python -m pytest -q tests $(PYTEST_ARGS)

# The packages as a user gets them: built from the source archive, made
# manylinux, installed outside the tree and tested there.
wheel-check: build
	@DIST=build/wheel-check scripts/dist.sh 2.7 $(PY3)

wheel-check-chroot: build
	@DIST=build/wheel-check-chroot WHEEL_NEWEST_ONLY=1 scripts/dist.sh $(CHECK_CHROOT_SERIES)

dist: build
	@DIST=dist scripts/dist.sh --skip-missing 2.7 $(PY3_SERIES) $(CHROOT_SERIES)

test: check check-py3 wheel-check wheel-check-chroot sanitize fuzz

test-py3-all:
	@set -e; for v in $(PY3_SERIES); do \
	    if PYVER=$$v scripts/bootstrap.sh --probe >/dev/null 2>&1; then \
	        echo "=== Python $$v"; $(MAKE) --no-print-directory check-py3 PY3=$$v; \
	    else echo "=== Python $$v: not on this machine, skipped"; fi; \
	done

sanitize: build build-py3
	@VENV="$(VENV)" PYTEST_ARGS="$(PYTEST_ARGS)" scripts/sanitize.sh
	@VENV=.venv-$(PY3) PYTEST_ARGS="$(PYTEST_ARGS)" scripts/sanitize.sh

valgrind: build
	@VENV="$(VENV)" scripts/valgrind.sh

mutants: build build-py3
	@PY3=$(PY3) $(PY) scripts/mutants.py "$(MUTANTS)"

fuzz:
	@FUZZ_SECONDS="$(FUZZ_SECONDS)" scripts/fuzz.sh

fuzz-corpus: build
	$(PY) fuzz/make_corpus.py

demo: build
	$(PY) demo/run_demo.py $(DEMO_ARGS)

BENCH_VENV ?= .venv-bench
BENCH_ARGS ?=
BENCH_CXXFLAGS := -std=c++17 -O2 -Wall -Wextra -Werror

build/frame_server: bench/frame_server.cpp
	@mkdir -p build
	g++ $(BENCH_CXXFLAGS) -o $@ $<

build/liblimit_client.so: bench/limit_client.cpp
	@mkdir -p build
	g++ $(BENCH_CXXFLAGS) -fPIC -shared -o $@ $<

bench: build build/frame_server build/liblimit_client.so
	@PYTHON="$(PYTHON)" VENV="$(BENCH_VENV)" REQS=bench/requirements.txt scripts/bootstrap.sh
	$(BENCH_VENV)/bin/python bench/frame_rate.py $(BENCH_ARGS)

NETLAB_ARGS ?=
netlab: build
	@PYTHON="$(PYTHON)" VENV="$(BENCH_VENV)" REQS=bench/requirements.txt scripts/bootstrap.sh
	$(BENCH_VENV)/bin/python bench/netlab.py $(NETLAB_ARGS)

CAMSERVER_BENCH_ARGS ?=
bench-camserver: build
	$(PY) bench/camserver_rate.py $(CAMSERVER_BENCH_ARGS)

clean:
	rm -rf build dist lurvo*.so
