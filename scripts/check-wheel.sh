#!/usr/bin/env bash
# Wheel check: build a wheel of this checkout (or take the one given), install
# it into a fresh virtual environment, import it there and run the quick start
# with it.
#
# Usage: scripts/check-wheel.sh PYTHON [WHEEL]
#   PYTHON is a Python 3.13 with pip and venv; WHEEL a wheel already built of
#   this checkout (CI builds one for the test suite and checks that one).
set -euo pipefail

[ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: $0 PYTHON [WHEEL]" >&2; exit 2; }
case $1 in */*) py=$(cd "$(dirname "$1")" && pwd)/$(basename "$1") ;; *) py=$1 ;; esac
wheel=${2:-}
[ -z "$wheel" ] || wheel=$(cd "$(dirname "$wheel")" && pwd)/$(basename "$wheel")
cd "$(dirname "$0")/.."

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir -p "$tmp/dist"
if [ -n "$wheel" ]; then
    cp "$wheel" "$tmp/dist/"
else
    "$py" -m pip wheel . -w "$tmp/dist" --no-deps --quiet --disable-pip-version-check
fi
"$py" -m venv "$tmp/venv"
"$tmp/venv/bin/python" -m pip install --quiet --disable-pip-version-check "$tmp"/dist/norvane-*.whl

"$tmp/venv/bin/python" - <<'PY'
import importlib.resources

import norvane.norvane as nv

package = importlib.resources.files("norvane")
for name in ("norvane.pyi", "py.typed"):
    assert package.joinpath(name).is_file(), f"{name} is missing from the wheel"
print("imported", nv.__name__, "from", nv.__file__)
PY
"$tmp/venv/bin/python" examples/quickstart.py
"$tmp/venv/bin/norvane" --help >/dev/null
"$tmp/venv/bin/python" -m norvane --help >/dev/null
echo "wheel check passed: $(basename "$tmp"/dist/norvane-*.whl)"
