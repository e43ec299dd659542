# Strings the steps together; the work is done by scripts/bootstrap.sh
# (environment and dependencies) and setup.py (the module).
#
#   make build   environment, dependencies and the module, importable by $(VENV)/bin/python
#   make test    build, then run every test
#   make demo    build, then the main job
#   make sanitize   the suite again, against an ASan+UBSan build in build/asan
#   make fuzz       the libFuzzer targets of fuzz/, FUZZ_SECONDS (60) each
#   make valgrind   mixed get_frame calls under memcheck (VALGRIND_CALLS, 300)
#
# PYTHON=/path/to/python2.7 chooses the interpreter; VENV the environment.

VENV ?= .venv
PY := $(VENV)/bin/python
PYTEST_ARGS ?=
FUZZ_SECONDS ?= 60

.PHONY: all build test demo bench-pgm sanitize fuzz fuzz-corpus valgrind clean

all: build

build:
	@PYTHON="$(PYTHON)" VENV="$(VENV)" scripts/bootstrap.sh
	@$(PY) setup.py --quiet build_ext --inplace

test: build
	$(PY) -m pytest -q tests $(PYTEST_ARGS)

sanitize: build
	@VENV="$(VENV)" PYTEST_ARGS="$(PYTEST_ARGS)" scripts/sanitize.sh

valgrind: build
	@VENV="$(VENV)" scripts/valgrind.sh

fuzz:
	@FUZZ_SECONDS="$(FUZZ_SECONDS)" scripts/fuzz.sh

fuzz-corpus: build
	$(PY) fuzz/make_corpus.py

demo: build
	@echo "demo: the module is built; the camera demo comes with the Python binding"

bench-pgm: build
	$(PY) bench/pgm_swap.py

clean:
	rm -rf build lurvo*.so
