#!/usr/bin/env bash
# Quick development build: compiles the extension into build/<name> and lays out
# an importable package there, so tests run without installing anything:
#   scripts/dev-build.sh dev && PYTHONPATH=$PWD/build/dev/py python3 -m pytest tests/python
# (an absolute PYTHONPATH, since some tests change folder). PYTHON310 picks the
# interpreter to build against; otherwise the first of python3.10, pyenv's
# 3.10, python3 that actually runs (a pyenv shim without that version does not).
set -euo pipefail
name=${1:-dev}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/$name"
runs() { [[ -n $1 ]] && "$1" -c 'import sys; assert sys.version_info >= (3, 10)' >/dev/null 2>&1; }
python310=${PYTHON310:-}
if [[ -z $python310 ]]; then
  candidates=("$(command -v python3.10 || true)")
  if command -v pyenv >/dev/null 2>&1; then
    candidates+=($(ls -d "$(pyenv root)"/versions/3.10.*/bin/python 2>/dev/null | sort -V | tail -n1 || true))
  fi
  candidates+=("$(command -v python3 || true)")
  for candidate in "${candidates[@]}"; do
    if runs "$candidate"; then python310=$candidate; break; fi
  done
fi
runs "$python310" || { echo "no Python >= 3.10 that runs (set PYTHON310)" >&2; exit 1; }
if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALNEST_WERROR=ON \
    -DPython_EXECUTABLE="$python310" ${CMAKE_EXTRA_ARGS:-} >/dev/null
fi
cmake --build "$build" --target _native
mkdir -p "$build/py/orvalnest"
for f in "$root"/src/orvalnest/*; do ln -sf "$f" "$build/py/orvalnest/"; done
ln -sf "$build"/_native*.so "$build/py/orvalnest/"
echo "built with $python310; run tests with PYTHONPATH=$build/py"
