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

# The files already in the house format. Until a whole-tree format pass
# (ruff format; clang-format -i), only these are checked, so that a file once
# clean stays clean; add a file here when it is formatted.
FORMATTED_PY := \
    benchmarks/__init__.py benchmarks/replay.py src/norvane/__init__.py src/norvane/__main__.py \
    src/norvane/catalog.py src/norvane/cluster.py src/norvane/norvane_state.py src/norvane/staging.py \
    tests/test_paths.py
FORMATTED_CPP := \
    src/ext/binding/binder.hpp src/ext/find/components.cpp src/ext/find/components.hpp src/ext/reads/current_rows.hpp \
    src/ext/catalog/db_handle.hpp src/ext/support/driver_limits.cpp src/ext/support/driver_limits.hpp src/ext/find/exactness.hpp \
    src/ext/staging/grouped_staging.hpp src/ext/merge/interruptible.cpp src/ext/merge/interruptible.hpp src/ext/support/keys.cpp \
    src/ext/support/keys.hpp src/ext/support/keywords.hpp src/ext/merge/merge_report.cpp src/ext/binding/module.hpp \
    src/ext/find/newest_groups.hpp src/ext/support/profile.cpp src/ext/support/profile.hpp src/ext/support/profile_entries.cpp src/ext/support/refs.hpp src/ext/catalog/schema.hpp \
    src/ext/merge/set_guards.cpp src/ext/merge/set_guards.hpp src/ext/staging/storage.hpp src/ext/support/transaction.cpp \
    src/ext/support/transaction.hpp

# ruff (lint over everything, format over the formatted files), clang-format
# and clang-tidy (.clang-tidy) over the C++. CI installs the tools.
lint: lint-format tidy

lint-format: $(VENV)/.installed
	$(PY) -m pip install --quiet --disable-pip-version-check "ruff>=0.6"
	$(PY) -m ruff check .
	$(PY) -m ruff format --check $(FORMATTED_PY)
	clang-format --dry-run -Werror $(FORMATTED_CPP)

tidy: $(VENV)/.installed
	scripts/clang-tidy.sh

$(PY):
	@python=$$(scripts/find-python.sh) && echo "using $$python" && "$$python" -m venv $(VENV)

$(VENV)/.installed: $(PY) $(SOURCES)
	$(PY) -m pip install --quiet --disable-pip-version-check ".[test,cluster,arrow,pandas,bench,docs]"
	@touch $@

clean:
	rm -rf $(VENV) build dist docs/_build
