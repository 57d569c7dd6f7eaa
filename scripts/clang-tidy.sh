#!/usr/bin/env bash
# clang-tidy (.clang-tidy) over the given C++ units, or over all of src/ext,
# two at a time, with the flags the build uses.
# Usage: scripts/clang-tidy.sh [file.cpp ...]
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-.venv/bin/python}
include=$("$py" -c "import sysconfig; print(sysconfig.get_paths()['include'])")
if [ $# -eq 0 ]; then
    set -- src/ext/*/*.cpp
fi
# Clang does not take the interpreter's atomics from its compiler test; the
# GCC builtins it offers are the ones the build uses.
# Each folder of src/ext is an include directory, as in the build.
folders=()
for folder in src/ext/*/; do
    folders+=("-I${folder%/}")
done
printf '%s\n' "$@" | xargs -P 2 -I{} clang-tidy --quiet {} -- \
    -std=c++20 -D_Py_USE_GCC_BUILTIN_ATOMICS=1 -I"$include" "${folders[@]}"
