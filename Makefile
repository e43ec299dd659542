# Strings the steps together; the work is done by scripts/bootstrap.sh
# (environment and dependencies) and setup.py (the module).
#
#   make build   environment, dependencies and the module, importable by $(VENV)/bin/python
#   make test    build, then run every test
#   make demo    build, then the main job
#   make bench   build, then get_frame against its peers and the floor
#                (environment $(BENCH_VENV) for the peers; BENCH_ARGS=--calls N)
#
# PYTHON=/path/to/python2.7 chooses the interpreter; VENV the environment.

VENV ?= .venv
PY := $(VENV)/bin/python
PYTEST_ARGS ?=

.PHONY: all build test demo bench bench-pgm clean

all: build

build:
	@PYTHON="$(PYTHON)" VENV="$(VENV)" scripts/bootstrap.sh
	@$(PY) setup.py --quiet build_ext --inplace

test: build
	$(PY) -m pytest -q tests $(PYTEST_ARGS)

demo: build
	@echo "demo: the module is built; the camera demo comes with the Python binding"

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

bench-pgm: build
	$(PY) bench/pgm_swap.py

clean:
	rm -rf build lurvo*.so
