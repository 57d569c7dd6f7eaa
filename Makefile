# Set-up commands for a fresh machine:
#   make demo   create .venv with Python 3.13, install norvane, run the quick start
#   make test   the same set-up, then run the test suite
#   make bench  the same set-up, then run the benchmarks (and write docs/benchmarks.json)
#   make docs   the same set-up, then build the documentation into docs/_build

VENV    := .venv
PY      := $(VENV)/bin/python
SOURCES := $(shell find src -type f -not -path '*/__pycache__/*') CMakeLists.txt pyproject.toml

# Where `make bench` writes its results for the documentation's performance page.
BENCH_JSON ?= docs/benchmarks.json

.PHONY: demo test bench docs lint lint-format tidy clean

demo: $(VENV)/.installed
	$(PY) examples/quickstart.py

test: $(VENV)/.installed
	$(PY) -m pytest $(PYTEST_ARGS)

bench: $(VENV)/.installed
	$(PY) benchmarks/run.py --json $(BENCH_JSON) $(BENCH_ARGS)

# Warnings are errors: a broken reference or a docstring Sphinx cannot read
# fails the build, and --keep-going lists all of them at once.
docs: $(VENV)/.installed
	$(PY) -m sphinx -b html -E -W --keep-going -q docs docs/_build

# ruff (lint and format) over the Python, clang-format and clang-tidy
# (.clang-tidy) over the C++. CI installs the tools.
lint: lint-format tidy

lint-format: $(VENV)/.installed
	$(PY) -m pip install --quiet --disable-pip-version-check "ruff>=0.6"
	$(PY) -m ruff check .
	$(PY) -m ruff format --check .
	clang-format --dry-run -Werror src/ext/*/*.cpp src/ext/*/*.hpp

tidy: $(VENV)/.installed
	scripts/clang-tidy.sh

$(PY):
	@python=$$(scripts/find-python.sh) && echo "using $$python" && "$$python" -m venv $(VENV)

$(VENV)/.installed: $(PY) $(SOURCES)
	$(PY) -m pip install --quiet --disable-pip-version-check ".[test,cluster,arrow,pandas,bench,docs]"
	@touch $@

clean:
	rm -rf $(VENV) build dist docs/_build
