# Two commands: `make test` builds everything into .venv and runs the suite; `make run` starts the app.
SHELL := /bin/bash
VENV ?= .venv
PY := $(VENV)/bin/python
PYTEST_ARGS ?=

# CPython X.Y is found through pyenv when it is there (it need not be the default python3),
# otherwise as pythonX.Y on PATH: 3.12 for everything, 3.13 for the compatibility run.
find_python = $(shell v=$$(pyenv versions --bare 2>/dev/null | grep -E '^$(subst .,\.,$(1))(\.[0-9]+)?$$' | tail -n1); \
	if [ -n "$$v" ]; then PYENV_VERSION=$$v python$(1) -c 'import sys; print(sys.executable)' 2>/dev/null; \
	else python$(1) -c 'import sys; print(sys.executable)' 2>/dev/null; fi)
PYTHON312 := $(call find_python,3.12)
PYTHON313 := $(call find_python,3.13)

NATIVE_SOURCES := $(shell find native -name '*.cpp' -o -name '*.hpp' 2>/dev/null)
# A file added to or removed from a folder changes the folder.
NATIVE_DIRS := $(shell find native -type d 2>/dev/null)

# $(call venv,DIR,PYTHON,X.Y): DIR/.created, a venv of PYTHON with the build tools, or a clear error
# when that CPython was not found.
define venv
$(1)/.created:
	@if [ -z "$(2)" ]; then \
		echo "error: CPython $(3) not found. Install it (e.g. 'pyenv install $(3)') or put python$(3) on PATH." >&2; \
		exit 1; fi
	$(2) -m venv $(1)
	$(1)/bin/python -m pip install -q --upgrade pip
	$(1)/bin/python -m pip install -q "scikit-build-core>=0.10" "nanobind==3.1.0"
	touch $$@
endef

# $(call install,DIR,ENV,PIP-ARGS[,llm]): two stamps. DIR/.deps, the package's dependencies and its test
# and lint extras, again when pyproject.toml (or, with "llm", the model extra's lock file, every package
# checked against its pinned hash) changes. DIR/.installed, the extensions built into DIR, again when a
# native source, a folder of them or CMakeLists.txt changes. The install is editable, so Python sources
# are read from src/ as they are: changing them costs no step here.
LLM_LOCK := requirements/llm.lock
define install
$(1)/.deps: $(1)/.created pyproject.toml $(if $(4),$(LLM_LOCK))
	$(if $(4),$(1)/bin/python -m pip install -q --require-hashes --no-deps -r $(LLM_LOCK))
	$(2) $(1)/bin/python -m pip install -q --no-build-isolation -e ".[test,lint]" $(3)
	touch $$@

$(1)/.installed: $(1)/.deps CMakeLists.txt $$(NATIVE_SOURCES) $$(NATIVE_DIRS)
	$(2) $(1)/bin/python -m pip install -q --no-build-isolation --no-deps -e . $(3)
	touch $$@
endef

.PHONY: all build test test-fast lint format test-asan test-313 test-load test-flaky run bench screenshots clean browser-deps desktop-deps stress-deps

all: build

$(eval $(call venv,$(VENV),$(PYTHON312),3.12))
$(eval $(call install,$(VENV),,,llm))

build: $(VENV)/.installed

# The browser tests drive the system's Chromium (never a downloaded one); install it when missing.
browser-deps:
	@if ! command -v chromium >/dev/null 2>&1; then \
		if [ "$$(id -u)" = 0 ]; then apt-get update -qq && apt-get install -y -qq chromium fonts-noto-color-emoji; \
		else echo "note: install chromium (apt-get install chromium) to run the browser tests" >&2; fi; \
	fi

# The screen tools' tests run a real desktop: Xvfb, a D-Bus session with the accessibility bus, and a
# GTK window driven by the system's Python. Installed when missing; without them those tests skip.
desktop-deps:
	@if ! command -v Xvfb >/dev/null 2>&1 || ! command -v dbus-daemon >/dev/null 2>&1 || \
		! [ -x /usr/libexec/at-spi-bus-launcher ] || \
		! /usr/bin/python3 -c 'import gi; gi.require_version("Gtk", "3.0")' >/dev/null 2>&1; then \
		if [ "$$(id -u)" = 0 ]; then apt-get update -qq && \
			apt-get install -y -qq xvfb dbus-daemon at-spi2-core python3-gi gir1.2-gtk-3.0; \
		else echo "note: install xvfb dbus-daemon at-spi2-core python3-gi gir1.2-gtk-3.0 to run the desktop tests" >&2; fi; \
	fi

# Each test is marked with its area by where it lives (tests/conftest.py): runtime, gateway, streams, host,
# agent, browser, desktop, and slow for the long ones. `make test AREA=gateway` runs one area; AREA takes
# any marker expression ("host and not slow"). The ten slowest tests are listed at the end of a run.
AREA ?=
DURATIONS := --durations=10 --durations-min=1.0
test: build browser-deps desktop-deps
	$(PY) -m pytest -q $(DURATIONS) $(if $(AREA),-m "$(AREA)") $(PYTEST_ARGS)

# The fast gate: everything but the browser, desktop and slow tests, spread over one worker process per
# core (FAST_WORKERS=0 runs them in this process, as a debugger needs).
FAST := not browser and not desktop and not slow
FAST_WORKERS ?= auto
test-fast: build
	$(PY) -m pytest -q -n $(FAST_WORKERS) $(DURATIONS) -m "$(FAST)$(if $(AREA), and ($(AREA)))" $(PYTEST_ARGS)

# The gates every commit passes: ruff's lint rules over the Python, mypy over the package, and both
# formatters' checks (ruff's for the Python, clang-format's with .clang-format for the C++).
LINT_PATHS := src tests bench docs
lint: $(VENV)/.deps
	$(VENV)/bin/ruff check $(LINT_PATHS)
	$(VENV)/bin/ruff format --check $(LINT_PATHS)
	$(VENV)/bin/clang-format --dry-run -Werror $(NATIVE_SOURCES)
	$(VENV)/bin/mypy

# The formatters, pinned in the lint extra: ruff for the Python, clang-format for the C++.
format: $(VENV)/.deps
	$(VENV)/bin/ruff format $(LINT_PATHS)
	$(VENV)/bin/clang-format -i $(NATIVE_SOURCES)

# The long load run: 50 clients chatting for TAVRIN_LOAD_SECONDS (30 s unless set) while two more
# are refused. The normal suite runs the same scenario for a few seconds.
test-load: build
	TAVRIN_LOAD_SECONDS=$${TAVRIN_LOAD_SECONDS:-30} $(PY) -m pytest -q tests/test_ws_load.py $(PYTEST_ARGS)

# The whole suite FLAKY_RUNS times (10 unless set) while `stress-ng $(FLAKY_LOAD)` keeps the CPUs
# busy: a test that depends on timing fails here sooner or later. Prints each run's failures (its log
# is build/flaky/run-N.log) and how many runs passed; fails unless all did. Not part of CI.
FLAKY_RUNS ?= 10
FLAKY_LOAD ?= --cpu 2

stress-deps:
	@if ! command -v stress-ng >/dev/null 2>&1; then \
		if [ "$$(id -u)" = 0 ]; then apt-get update -qq && apt-get install -y -qq stress-ng; \
		else echo "error: install stress-ng (apt-get install stress-ng) to load the CPUs" >&2; exit 1; fi; \
	fi

test-flaky: build browser-deps stress-deps
	@mkdir -p build/flaky; \
	stress-ng $(FLAKY_LOAD) --quiet & load=$$!; \
	trap 'kill $$load 2>/dev/null; wait $$load 2>/dev/null' EXIT; \
	passed=0; \
	for i in $$(seq 1 $(FLAKY_RUNS)); do \
		log=build/flaky/run-$$i.log; start=$$(date +%s); \
		if $(PY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) > $$log 2>&1; then \
			passed=$$((passed + 1)); echo "run $$i: passed ($$(( $$(date +%s) - start )) s)"; \
		else \
			echo "run $$i: FAILED ($$(( $$(date +%s) - start )) s), see $$log"; \
			grep -E '^(FAILED|ERROR) ' $$log | sed 's/^/    /'; \
		fi; \
	done; \
	echo "$$passed of $(FLAKY_RUNS) runs passed under stress-ng $(FLAKY_LOAD)"; \
	[ $$passed -eq $(FLAKY_RUNS) ]

# The unit suite against an extension built with AddressSanitizer and UndefinedBehaviorSanitizer, in
# its own venv and build directory. CPython is not instrumented: the ASan runtime is preloaded,
# PYTHONMALLOC=malloc lets ASan see every object allocation, and LeakSanitizer checks at exit with
# tests/lsan.supp for what the interpreter itself never frees. Any report fails the run. The browser
# tests are left out: the preloaded runtime would reach the browser's own processes.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
# The leak check at exit does not follow the dynamic TLS that the __tls_get_addr interceptor records:
# on this glibc its records can point at memory that is gone, and LeakSanitizer's own tracer then
# crashes at exit after a green run ("Tracer caught signal 11"). Our thread-locals are initial-exec
# (static TLS, still scanned).
# libstdc++ is preloaded with it: the interpreter is not a C++ program, and ASan's interceptor of
# __cxa_throw must find the real one when it starts, or the first C++ exception aborts.
ASAN_PRELOAD = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libstdc++.so)
ASAN_ENV = LD_PRELOAD="$(ASAN_PRELOAD)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:intercept_tls_get_addr=0:abort_on_error=1:halt_on_error=1:strict_init_order=1:detect_stack_use_after_return=0 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1 TAVRIN_SANITIZED=1

$(eval $(call venv,$(ASAN_VENV),$(PYTHON312),3.12))
$(eval $(call install,$(ASAN_VENV),TAVRIN_SANITIZE=ON,-Cbuild-dir=build/asan))

test-asan: $(ASAN_VENV)/.installed
	$(ASAN_ENV) $(ASAN_PY) -m pytest -q -p no:cacheprovider --ignore=tests/browser $(PYTEST_ARGS)

# The suite on CPython 3.13, in its own venv; the build directory follows the wheel tag (cp313).
VENV313 := .venv-313
PY313 := $(VENV313)/bin/python

$(eval $(call venv,$(VENV313),$(PYTHON313),3.13))
$(eval $(call install,$(VENV313),,,llm))

# The browser tests exercise the page, which does not depend on the interpreter; they run in `make test`.
test-313: $(VENV313)/.installed
	$(PY313) -m pytest -q --ignore=tests/browser $(PYTEST_ARGS)

RUN_ARGS ?=

run: build
	$(VENV)/bin/tavrin-gateway $(RUN_ARGS)

# Benchmarks (bench/README.md): figures and ratios printed, tables and charts in bench/results/.
bench: build
	@$(PY) -c 'import matplotlib' 2>/dev/null || $(PY) -m pip install -q matplotlib
	$(PY) bench/run.py

# The README's screenshots (docs/screenshot*.png), from the real server and the system's Chromium.
screenshots: build browser-deps
	$(PY) docs/screenshots.py

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(VENV313) .pytest_cache .mypy_cache .ruff_cache
