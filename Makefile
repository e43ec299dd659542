# Strings the steps together; the work is done by tools/ (environments,
# packages, chroots, wheels, sanitizer, fuzz, valgrind and mutant runs,
# benchmarks) and setup.py (the module).
#
#   make demo          build, then the main job (DEMO_ARGS="--seconds 5 --bits 12")
#   make test          the module built, and the whole suite on Python 2.7 and 3.11
#                      (real servers included: tools/packages.sh installs them)
#   make ci            everything CI runs (.ci/run): make test, the wheel checks here
#                      and in the chroots, the suite under ASan+UBSan, the fuzz
#                      targets, valgrind, make mutants (the chroots' run beside
#                      the rest, each on a core), and pip install . from the
#                      checkout that all of that leaves
#
#   make build         Python 2.7 environment (.venv), dependencies and the module,
#                      importable by .venv/bin/python
#   make check         the suite on Python 2.7 only; check-py3 on $(PY3)
#   make test-py3-all  the suite on every Python 3 of tools/pythons.txt found here
#   make wheel-check   the source archive and wheels for 2.7 and $(PY3), each wheel
#                      installed outside the tree and tested (into build/wheel-check)
#   make wheel-check-chroot  the same in Debian chroots, under the newest NumPy only:
#                      3.15 in sid and $(CHECK_ARM64) under qemu-user-static
#                      (made in the cache when missing; root)
#   make dist          the same for every Python series of tools/pythons.txt, into dist/
#                      (two lanes side by side: build/dist-lane-1, -2)
#   make sanitize      the suite again on 2.7 and $(PY3), each against an ASan+UBSan
#                      build of its own in build/asan-X.Y
#   make fuzz          the libFuzzer targets of tests/fuzz/, FUZZ_SECONDS (60) each
#   make valgrind      mixed get_frame calls under memcheck (VALGRIND_CALLS, 300)
#   make mutants       faults put into a scratch copy one at a time, each of
#                      which its tests must catch (MUTANTS="part of a name")
#   make bench         get_frame against its peers and the floor (the peers'
#                      environment in the cache: tools/bench/run.sh; BENCH_ARGS=--calls N)
#   make bench-camserver  frames per second from the Python camera server
#                      (CAMSERVER_BENCH_ARGS=--calls N)
#   make bench-grab    lurvo_grab against get_frame: many paced cameras at once, a
#                      stream, the cost on loopback (GRAB_BENCH_ARGS="--rounds N --calls N")
#   make bench-view    the view's frames shown per second and its event loop's longest
#                      gap, under Xvfb (VIEW_BENCH_ARGS="--seconds N")
#   make view-screenshot  docs/view.png, the view on a virtual screen
#   make netlab        get_frame and its peers over shaped, lossy links between two
#                      network namespaces (root; NETLAB_ARGS=--calls N)
#   make clean         build products; make clean-cache: the cache (chroots, the
#                      tools' environments; tools/common.sh says where)
#
# PYTHON=/path/to/python2.7 chooses the Python 2 interpreter; PY3 the
# Python 3 series of make test (default 3.11).

# Our own builds hold our code to warning-free (setup.py reads it).
export LURVO_WERROR := 1

VENV ?= .venv
PY := $(VENV)/bin/python
PY3 ?= 3.11
PY3_VENV := .venv-$(PY3)
# The series of tools/pythons.txt: this machine's Pythons 3, and CHROOT:SERIES
# for those of the Debian chroots (tools/dist.sh); make ci's are the newest
# of the amd64 chroots and one aarch64 run under emulation, CHECK_ARM64: the
# newest Python of the arm64 chroots (3.15: with its chroot to make, 27 min
# beside the native checks' 24; docs/testing.md).
PYTHONS_TABLE := tools/pythons.txt
PY3_SERIES := $(shell awk '!/^\#/ && NF && $$1 !~ /^2\./ && $$4 ~ /(^|,)here(,|$$)/ {print $$1}' $(PYTHONS_TABLE))
CHROOT_SERIES := $(shell awk '!/^\#/ && NF {n = split($$4, w, ","); for (i = 1; i <= n; i++) if (w[i] != "here") print w[i] ":" $$1}' $(PYTHONS_TABLE))
CHECK_ARM64 ?= arm64-sid:3.15
CHECK_CHROOT_SERIES := $(shell awk '!/^\#/ && NF {n = split($$4, w, ","); for (i = 1; i <= n; i++) if (w[i] != "here" && w[i] !~ /^arm64-/) last = w[i] ":" $$1} END {print last}' $(PYTHONS_TABLE)) $(CHECK_ARM64)
# Python 2.7's last pytest (4.6) reads no pyproject.toml: the test folder
# and the options of its [tool.pytest.ini_options] are given here.
PYTEST2 := -m pytest -q tests -rs
PYTEST_ARGS ?=
DEMO_ARGS ?=
FUZZ_SECONDS ?= 60
MUTANTS ?=

.PHONY: all build build-py3 test ci ci-emulated ci-native check check-py3 packages wheel-check wheel-check-chroot dist \
        test-py3-all sanitize fuzz fuzz-corpus valgrind mutants install-check demo bench \
        bench-camserver bench-grab bench-view view-screenshot netlab clean clean-cache

all: build

build:
	@PYTHON="$(PYTHON)" VENV="$(VENV)" tools/bootstrap.sh
	@$(PY) setup.py --quiet build_ext --inplace

# One Python 3 series: its own environment and its own build of the module.
build-py3:
	@PYTHON= PYVER=$(PY3) VENV=$(PY3_VENV) REQS=tools/requirements/py3.txt tools/bootstrap.sh
	@$(PY3_VENV)/bin/python setup.py --quiet build_ext --inplace

check: build
	$(PY) $(PYTEST2) $(PYTEST_ARGS)

check-py3: build-py3
	$(PY3_VENV)/bin/python -m pytest -q $(PYTEST_ARGS)

# What the suite's marked tests need: the real servers, the link lab's tools
# and the view's virtual screen.
packages:
	@tools/packages.sh servers netlab view

# Every test runs: a skip for want of root or a package fails instead.
test ci: export LURVO_EVERY_TEST = 1
test: packages check check-py3

# The emulated aarch64 run keeps one core for most of make ci; the native
# checks take turns on the other meanwhile.  Their packages come first,
# so that no two steps install at once; pip install . comes last.
ci: test
	@tools/packages.sh chroot emulation fuzz valgrind
	@$(MAKE) --no-print-directory -j2 --output-sync=target ci-emulated ci-native
	@$(MAKE) --no-print-directory install-check

ci-emulated: wheel-check-chroot

ci-native:
	@$(MAKE) --no-print-directory -j1 wheel-check sanitize fuzz valgrind mutants

# The packages as a user gets them: built from the source archive, made
# manylinux, installed outside the tree and tested there.
wheel-check: build
	@DIST=build/wheel-check tools/dist.sh 2.7 $(PY3)

wheel-check-chroot:
	@DIST=build/wheel-check-chroot WHEEL_NEWEST_ONLY=1 tools/dist.sh $(CHECK_CHROOT_SERIES)

# make dist's series in two lanes side by side, each on a core.  An emulated
# series takes several times a native one, so the native lane also takes the
# first aarch64 series, and the two lanes end at about the same time.  The
# chroots' packages come first, so that the lanes never install at once.
ARM64_SERIES := $(filter arm64-%,$(CHROOT_SERIES))
DIST_LANE_1 := 2.7 $(PY3_SERIES) $(filter-out arm64-%,$(CHROOT_SERIES)) $(firstword $(ARM64_SERIES))
DIST_LANE_2 := $(wordlist 2,$(words $(ARM64_SERIES)),$(ARM64_SERIES))

dist: build
	@tools/packages.sh chroot emulation
	@$(MAKE) --no-print-directory -j2 --output-sync=target dist-lane-1 dist-lane-2
	@rm -rf dist && mkdir dist && cp build/dist-lane-1/* build/dist-lane-2/*.whl dist/
	@ls dist

dist-lane-%:
	@DIST=build/$@ tools/dist.sh --skip-missing $(DIST_LANE_$*)

test-py3-all:
	@set -e; for v in $(PY3_SERIES); do \
	    if PYVER=$$v tools/bootstrap.sh --probe >/dev/null 2>&1; then \
	        echo "=== Python $$v"; $(MAKE) --no-print-directory check-py3 PY3=$$v; \
	    else echo "=== Python $$v: not on this machine, skipped"; fi; \
	done

sanitize: build build-py3
	@VENV="$(VENV)" PYTEST_ARGS="$(PYTEST_ARGS)" tools/sanitize.sh
	@VENV=$(PY3_VENV) PYTEST_ARGS="$(PYTEST_ARGS)" tools/sanitize.sh

valgrind: build
	@VENV="$(VENV)" tools/valgrind.sh

mutants: build build-py3
	@PY3=$(PY3) $(PY) tools/mutants.py "$(MUTANTS)"

fuzz:
	@FUZZ_SECONDS="$(FUZZ_SECONDS)" tools/fuzz.sh

fuzz-corpus: build
	$(PY) tests/fuzz/make_corpus.py

# pip install . from this checkout, after everything else has run in it.
install-check: build build-py3
	$(PY) -m pytest -q -rs tests/test_install.py
	$(PY3_VENV)/bin/python -m pytest -q tests/test_install.py

demo: build
	$(PY) demo/run_demo.py $(DEMO_ARGS)

BENCH_ARGS ?=
NETLAB_ARGS ?=
CAMSERVER_BENCH_ARGS ?=

# The benchmarks' C++ programs, each from tools/bench/NAME.cpp: build/NAME
# a program, build/libNAME.so a library loaded through ctypes.  A
# benchmark that needs them depends on $(BENCH_BINARIES) and finds them in
# build/ (tools/bench/project.py); a new one is a name added here.
BENCH_BINARIES := build/frame_server build/liblimit_client.so
BENCH_CXXFLAGS := -std=c++17 -O2 -Wall -Wextra -Werror

build/lib%.so: tools/bench/%.cpp
	@mkdir -p build
	g++ $(BENCH_CXXFLAGS) -fPIC -shared -o $@ $<

build/%: tools/bench/%.cpp
	@mkdir -p build
	g++ $(BENCH_CXXFLAGS) -o $@ $<

# tools/bench/run.sh runs a benchmark in the bench environment, which it
# makes first in the cache (tools/common.sh) when missing or out of date.
BENCH_RUN = PYTHON="$(PYTHON)" tools/bench/run.sh

bench: build $(BENCH_BINARIES)
	@$(BENCH_RUN) frame_rate.py $(BENCH_ARGS)

netlab: build
	@tools/packages.sh netlab
	@$(BENCH_RUN) netlab.py $(NETLAB_ARGS)

bench-camserver: build
	$(PY) tools/bench/camserver_rate.py $(CAMSERVER_BENCH_ARGS)

GRAB_BENCH_ARGS ?=
bench-grab: build $(BENCH_BINARIES)
	$(PY) tools/bench/grab_rate.py $(GRAB_BENCH_ARGS)

VIEW_BENCH_ARGS ?=
bench-view: build $(BENCH_BINARIES)
	@tools/packages.sh view
	$(PY) tools/bench/view_rate.py $(VIEW_BENCH_ARGS)

# The README's picture of the view, made on a virtual screen.
view-screenshot: build
	@tools/packages.sh view
	$(PY) tools/view_screenshot.py docs/view.png

clean:
	rm -rf build dist lurvo*.so

clean-cache:
	@tools/clean_cache.sh
