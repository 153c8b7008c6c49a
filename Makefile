# Two commands: `make test` builds everything into .venv and runs the suite; `make run` starts the app.
SHELL := /bin/bash
VENV ?= .venv
PY := $(VENV)/bin/python
PYTEST_ARGS ?=

# CPython 3.12 is found through pyenv when it is there (it need not be the default python3),
# otherwise as python3.12 on PATH.
PYTHON312 := $(shell v=$$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$$' | tail -n1); \
	if [ -n "$$v" ]; then PYENV_VERSION=$$v python3.12 -c 'import sys; print(sys.executable)' 2>/dev/null; \
	else python3.12 -c 'import sys; print(sys.executable)' 2>/dev/null; fi)

NATIVE_SOURCES := $(shell find native -name '*.cpp' -o -name '*.hpp' 2>/dev/null)
PY_SOURCES := $(shell find src -name '*.py' -o -name '*.pyi' 2>/dev/null)

.PHONY: all build test test-asan run bench clean check-python browser-deps

all: build

check-python:
	@if [ -z "$(PYTHON312)" ]; then \
		echo "error: CPython 3.12 not found. Install it (e.g. 'pyenv install 3.12') or put python3.12 on PATH." >&2; \
		exit 1; fi

$(VENV)/.created: | check-python
	$(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "nanobind==3.1.0"
	touch $@

$(VENV)/.installed: $(VENV)/.created pyproject.toml CMakeLists.txt $(NATIVE_SOURCES) $(PY_SOURCES)
	$(PY) -m pip install -q --no-build-isolation -e ".[test]"
	touch $@

build: $(VENV)/.installed

# The browser tests drive the system's Chromium (never a downloaded one); install it when missing.
browser-deps:
	@if ! command -v chromium >/dev/null 2>&1; then \
		if [ "$$(id -u)" = 0 ]; then apt-get update -qq && apt-get install -y -qq chromium fonts-noto-color-emoji; \
		else echo "note: install chromium (apt-get install chromium) to run the browser tests" >&2; fi; \
	fi

test: build browser-deps
	$(PY) -m pytest -q $(PYTEST_ARGS)

RUN_ARGS ?=

run: build
	$(VENV)/bin/tavrin-gateway $(RUN_ARGS)

# Benchmarks (bench/README.md): figures and ratios printed, tables and charts in bench/results/.
bench: build
	@$(PY) -c 'import matplotlib' 2>/dev/null || $(PY) -m pip install -q matplotlib
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV) .pytest_cache
