# Set-up commands for a fresh machine:
#   make demo   create .venv with Python 3.13, install norvane, run the quick start
#   make test   the same set-up, then run the test suite
#   make bench  the same set-up, then run the benchmarks

VENV    := .venv
PY      := $(VENV)/bin/python
SOURCES := $(shell find src -type f -not -path '*/__pycache__/*') CMakeLists.txt pyproject.toml

.PHONY: demo test bench lint lint-format tidy clean

demo: $(VENV)/.installed
	$(PY) examples/quickstart.py

test: $(VENV)/.installed
	$(PY) -m pytest $(PYTEST_ARGS)

bench: $(VENV)/.installed
	$(PY) benchmarks/run.py $(BENCH_ARGS)

# The files already in the house format. Until a whole-tree format pass
# (ruff format; clang-format -i), only these are checked, so that a file once
# clean stays clean; add a file here when it is formatted.
FORMATTED_PY := \
    benchmarks/__init__.py benchmarks/replay.py src/norvane/__init__.py src/norvane/__main__.py \
    src/norvane/catalog.py src/norvane/cluster.py src/norvane/norvane_state.py src/norvane/staging.py \
    tests/test_paths.py
FORMATTED_CPP := \
    src/ext/binder.hpp src/ext/components.cpp src/ext/components.hpp src/ext/current_rows.hpp \
    src/ext/db_handle.hpp src/ext/driver_limits.cpp src/ext/driver_limits.hpp src/ext/exactness.hpp \
    src/ext/grouped_staging.hpp src/ext/interruptible.cpp src/ext/interruptible.hpp src/ext/keys.cpp \
    src/ext/keys.hpp src/ext/keywords.hpp src/ext/merge_report.cpp src/ext/module.hpp \
    src/ext/newest_groups.hpp src/ext/profile.cpp src/ext/profile.hpp src/ext/profile_entries.cpp src/ext/refs.hpp src/ext/schema.hpp \
    src/ext/set_guards.cpp src/ext/set_guards.hpp src/ext/storage.hpp src/ext/transaction.cpp \
    src/ext/transaction.hpp

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
	$(PY) -m pip install --quiet --disable-pip-version-check ".[test,cluster,arrow,pandas,bench]"
	@touch $@

clean:
	rm -rf $(VENV) build dist
