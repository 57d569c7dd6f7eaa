# Set-up commands for a fresh machine:
#   make demo   create .venv with Python 3.13, install norvane, run the quick start
#   make test   the same set-up, then run the test suite
#   make bench  the same set-up, then run the benchmarks

VENV    := .venv
PY      := $(VENV)/bin/python
SOURCES := $(shell find src -type f -not -path '*/__pycache__/*') CMakeLists.txt pyproject.toml

.PHONY: demo test bench clean

demo: $(VENV)/.installed
	$(PY) examples/quickstart.py

test: $(VENV)/.installed
	$(PY) -m pytest $(PYTEST_ARGS)

bench: $(VENV)/.installed
	$(PY) benchmarks/run.py $(BENCH_ARGS)

$(PY):
	@python=$$(scripts/find-python.sh) && echo "using $$python" && "$$python" -m venv $(VENV)

$(VENV)/.installed: $(PY) $(SOURCES)
	$(PY) -m pip install --quiet --disable-pip-version-check ".[test,cluster,arrow,pandas,bench]"
	@touch $@

clean:
	rm -rf $(VENV) build dist
