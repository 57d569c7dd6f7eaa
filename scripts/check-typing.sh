#!/usr/bin/env bash
# Type checks: mypy --strict on the examples and the package (its Python
# modules and the stubs in src/norvane/norvane.pyi), and stubtest of those
# stubs against the built extension module.
#
# Usage: scripts/check-typing.sh PYTHON
#   PYTHON is a Python 3.13 (a virtual environment's) with mypy installed. If
#   norvane cannot be imported there, this checkout is installed into it first.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 PYTHON" >&2; exit 2; }
case $1 in */*) py=$(cd "$(dirname "$1")" && pwd)/$(basename "$1") ;; *) py=$1 ;; esac
cd "$(dirname "$0")/.."

if ! "$py" -c 'import norvane.norvane' 2>/dev/null; then
    echo "installing norvane from this checkout"
    "$py" -m pip install --quiet --disable-pip-version-check --no-deps .
fi

# The stubs are read from the checkout; the module is imported from the
# installed package (the checkout's src/ holds no built module).
export MYPYPATH=src
"$py" -m mypy --strict examples/ src/norvane/
"$py" -m mypy.stubtest norvane.norvane
