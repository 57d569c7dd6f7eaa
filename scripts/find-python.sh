#!/usr/bin/env bash
# Prints the path of a working Python 3.13 interpreter, or explains why there is none.
# Looks at `python3.13` on PATH first (a pyenv shim there may refuse to run, so each
# candidate is actually started), then at every pyenv-managed 3.13 install.
set -u

works() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' >/dev/null 2>&1
}

candidates=()
if command -v python3.13 >/dev/null 2>&1; then
    candidates+=("$(command -v python3.13)")
fi
if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root 2>/dev/null)
    for p in "$root"/versions/3.13*/bin/python3.13; do
        [ -x "$p" ] && candidates+=("$p")
    done
fi
for p in "${HOME:-/root}"/.pyenv/versions/3.13*/bin/python3.13; do
    [ -x "$p" ] && candidates+=("$p")
done

for p in "${candidates[@]}"; do
    if works "$p"; then
        echo "$p"
        exit 0
    fi
done

echo "error: norvane needs CPython 3.13, and none was found." >&2
echo "       Looked for python3.13 on PATH and under \$(pyenv root)/versions/3.13*/bin/." >&2
echo "       Install it (for example: pyenv install 3.13) and run the command again." >&2
exit 1
