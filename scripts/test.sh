#!/usr/bin/env bash
# The whole test run, from a fresh machine: installs what the tests need, builds
# the abi3 wheel once, checks it, runs the C++ core tests, then the Python tests
# with that same wheel under every CPython 3.10-3.13 found. Exits non-zero on any
# failure.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${ORVALNEST_TEST_DIR:-$root/build/test}
mkdir -p "$work"
cd "$root"
step() { printf '\n==== %s\n' "$*"; }

step "system packages"
needed=(g++ cmake ninja-build libgtest-dev trash-cli ncdu clang-format)
missing=()
for package in "${needed[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""; [[ $(id -u) -eq 0 ]] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
else
  echo "all present: ${needed[*]}"
fi

step "interpreters"
find_python() {  # newest patch release of CPython $1 (pyenv first, then PATH)
  local version=$1 candidate=""
  if command -v pyenv >/dev/null 2>&1; then
    candidate=$(ls -d "$(pyenv root)"/versions/"$version".*/bin/python 2>/dev/null | sort -V | tail -n1 || true)
  fi
  if [[ -z $candidate ]]; then candidate=$(command -v "python$version" || true); fi
  if [[ -n $candidate ]] && "$candidate" -c "import sys, venv; assert sys.implementation.name == 'cpython'" 2>/dev/null; then
    echo "$candidate"
  fi
}
declare -A pythons=()
for version in 3.10 3.11 3.12 3.13; do
  found=$(find_python "$version")
  if [[ -n $found ]]; then
    pythons[$version]=$found
    echo "found CPython $version: $found"
  else
    echo "SKIPPED CPython $version: not found on this machine"
  fi
done
if [[ -z ${pythons[3.10]:-} && -z ${pythons[3.13]:-} ]]; then
  echo "neither CPython 3.10 nor 3.13 is available: cannot prove the wheel serves both ends" >&2
  exit 1
fi
# Build with the oldest interpreter: newer headers declare post-3.10 functions
# that would compile and then fail to load on 3.10.
builder=${pythons[3.10]:-${pythons[3.11]:-${pythons[3.12]:-${pythons[3.13]}}}}
echo "building with $builder"

step "tools"
tools="$work/tools"
[[ -x $tools/bin/python ]] || "$builder" -m venv "$tools"
"$tools/bin/python" -m pip install -q --disable-pip-version-check build abi3audit ruff cmake ninja

step "style"
"$tools/bin/ruff" check "$root"
mapfile -t cxx_files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.hpp' | grep -v '^core/src/unicode_escapes.cpp$')
clang-format --dry-run --Werror "${cxx_files[@]}"
echo "clang-format: ${#cxx_files[@]} files clean"

step "wheel"
rm -rf "$work/dist"
"$tools/bin/python" -m build --wheel --outdir "$work/dist" "$root" > "$work/wheel-build.log" 2>&1 || {
  tail -n 60 "$work/wheel-build.log"
  exit 1
}
wheel=$(ls "$work"/dist/orvalnest-*-cp310-abi3-*.whl)
echo "built $(basename "$wheel")"
unzip -l "$wheel" | grep -q 'orvalnest/_native.abi3.so' || { echo "wheel lacks _native.abi3.so" >&2; exit 1; }
"$tools/bin/abi3audit" --strict --summary --verbose "$wheel"

step "C++ core tests"
core_build="$work/core"
PATH="$tools/bin:$PATH" cmake -S "$root" -B "$core_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVALNEST_BUILD_EXTENSION=OFF -DORVALNEST_BUILD_TESTS=ON -DORVALNEST_WERROR=ON >/dev/null
PATH="$tools/bin:$PATH" cmake --build "$core_build"
(cd "$core_build" && PATH="$tools/bin:$PATH" ctest --output-on-failure --timeout 300)

ran=()
for version in 3.10 3.11 3.12 3.13; do
  python=${pythons[$version]:-}
  [[ -n $python ]] || continue
  step "Python tests under CPython $version"
  venv="$work/venv-$version"
  [[ -x $venv/bin/python ]] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]"
  (cd "$root" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python)
  (cd "$work" && "$venv/bin/python" -m mypy.stubtest orvalnest._native orvalnest._engine)
  ran+=("$version")
done

step "sanitizers: AddressSanitizer + UndefinedBehaviorSanitizer"
# A second build of the core tests and of the extension, instrumented; the
# runtimes are preloaded into the (uninstrumented) interpreter. Leak detection
# is off there because the interpreter itself keeps memory until exit by
# design; the core tests own all their memory, so they run with it on.
asan_build="$work/asan"
PATH="$tools/bin:$PATH" cmake -S "$root" -B "$asan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DORVALNEST_SANITIZE=ON -DORVALNEST_BUILD_TESTS=ON -DORVALNEST_WERROR=ON -DPython_EXECUTABLE="$builder" >/dev/null
PATH="$tools/bin:$PATH" cmake --build "$asan_build"
mkdir -p "$asan_build/py/orvalnest"
cp "$root"/src/orvalnest/*.py "$root"/src/orvalnest/*.pyi "$root"/src/orvalnest/py.typed "$asan_build/py/orvalnest/"
cp "$asan_build"/_native*.so "$asan_build/py/orvalnest/"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ASAN_OPTIONS=${ASAN_OPTIONS/detect_leaks=0/detect_leaks=1} "$asan_build/core_tests" --gtest_brief=1
sanitizer_python=${pythons[3.10]:+$work/venv-3.10/bin/python}
sanitizer_python=${sanitizer_python:-$work/venv-${ran[0]}/bin/python}
(cd "$root" && PYTHONPATH="$asan_build/py" PYTHONMALLOC=malloc ORVALNEST_SANITIZED=1 \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  "$sanitizer_python" -m pytest -q -p no:cacheprovider tests/python)
unset ASAN_OPTIONS UBSAN_OPTIONS

step "sanitizers: ThreadSanitizer on the parallel walk"
# Only the parallel walk's tests: the rest is single-threaded and ran above.
tsan_build="$work/tsan"
PATH="$tools/bin:$PATH" cmake -S "$root" -B "$tsan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DORVALNEST_SANITIZE_THREAD=ON -DORVALNEST_BUILD_TESTS=ON -DORVALNEST_WERROR=ON -DPython_EXECUTABLE="$builder" >/dev/null
PATH="$tools/bin:$PATH" cmake --build "$tsan_build"
mkdir -p "$tsan_build/py/orvalnest"
cp "$root"/src/orvalnest/*.py "$root"/src/orvalnest/*.pyi "$root"/src/orvalnest/py.typed "$tsan_build/py/orvalnest/"
cp "$tsan_build"/_native*.so "$tsan_build/py/orvalnest/"
export TSAN_OPTIONS=halt_on_error=1:exitcode=66
"$tsan_build/core_tests" --gtest_brief=1 --gtest_filter='ParallelWalk*'
(cd "$root" && PYTHONPATH="$tsan_build/py" ORVALNEST_SANITIZED=1 LD_PRELOAD="$(gcc -print-file-name=libtsan.so)" \
  "$sanitizer_python" -m pytest -q -p no:cacheprovider tests/python/test_parallel.py)
unset TSAN_OPTIONS

step "summary"
echo "Python tests ran under CPython ${ran[*]} with $(basename "$wheel")"
