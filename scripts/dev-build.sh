#!/usr/bin/env bash
# Quick development build: compiles the extension into build/<name> and lays out
# an importable package there, so tests run without installing anything:
#   scripts/dev-build.sh dev && PYTHONPATH=build/dev/py python -m pytest tests/python
set -euo pipefail
name=${1:-dev}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/$name"
python310=${PYTHON310:-$(command -v python3.10 || command -v python3)}
if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALNEST_WERROR=ON \
    -DPython_EXECUTABLE="$python310" ${CMAKE_EXTRA_ARGS:-} >/dev/null
fi
cmake --build "$build" --target _native
mkdir -p "$build/py/orvalnest"
for f in "$root"/src/orvalnest/*; do ln -sf "$f" "$build/py/orvalnest/"; done
ln -sf "$build"/_native*.so "$build/py/orvalnest/"
