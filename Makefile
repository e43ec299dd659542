# Strings the steps together; the work is done by scripts/bootstrap.sh
# (environment and dependencies) and setup.py (the module).
#
#   make build   environment, dependencies and the module, importable by $(VENV)/bin/python
#   make test    build, then run every test
#   make demo    build, then the main job (DEMO_ARGS="--seconds 5 --bits 12" passes options)
#
# PYTHON=/path/to/python2.7 chooses the interpreter; VENV the environment.

VENV ?= .venv
PY := $(VENV)/bin/python
PYTEST_ARGS ?=
DEMO_ARGS ?=

.PHONY: all build test demo clean

all: build

build:
	@PYTHON="$(PYTHON)" VENV="$(VENV)" scripts/bootstrap.sh
	@$(PY) setup.py --quiet build_ext --inplace

test: build
	$(PY) -m pytest -q tests $(PYTEST_ARGS)

demo: build
	$(PY) demo/run_demo.py $(DEMO_ARGS)

clean:
	rm -rf build lurvo*.so
