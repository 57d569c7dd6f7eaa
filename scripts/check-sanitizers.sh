#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer into
# its own virtual environment and runs the test suite with the sanitizer
# runtimes preloaded (the interpreter itself is not instrumented).
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${SANITIZE_VENV:-.venv-sanitize}
python=$(scripts/find-python.sh)
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
NORVANE_SANITIZE=ON "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    --force-reinstall --no-cache-dir ".[test,cluster]"

asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
# CPython keeps its interned objects alive at exit on purpose: leak reports
# would be the interpreter's, not ours.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# malloc_debug: freed objects go back to malloc (so ASan sees reuse) and are
# poisoned by the debug hooks.
export PYTHONMALLOC=malloc_debug
export NORVANE_SANITIZED=1
run_tests() {
    LD_PRELOAD="$asan $ubsan" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
}
if [ $# -gt 0 ]; then
    run_tests "$@"
else
    # As the ordinary suite runs: on every core, the cluster tests on one
    # worker, then the timer-signal tests alone.
    run_tests -n auto --dist loadgroup -m "not serial"
    run_tests -m serial
fi
