#!/usr/bin/env bash
# Prints the path of a working CPython 3.12 interpreter, or fails.
# Tries $PYTHON, python3.12 on PATH, then pyenv's installed 3.12 versions.
set -u
try() { "$1" -c 'import sys; assert sys.version_info[:2] == (3, 12); print(sys.executable)' 2>/dev/null; }
for c in "${PYTHON:-}" python3.12; do
  [[ -n $c ]] && try "$c" && exit 0
done
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for c in "$root"/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do
  [[ -x $c ]] && try "$c" && exit 0
done
echo "find-python: no CPython 3.12 interpreter found" >&2
exit 1
