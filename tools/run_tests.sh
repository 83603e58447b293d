#!/usr/bin/env bash
# Sets up what the tests need on a fresh Debian machine, then runs every test,
# with every compiler warning an error:
# - the engine tests built by GCC, run again on the engine built by GCC under
#   AddressSanitizer + UBSan, and built by clang (optimised, assertions on);
#   the engine and its tests checked by GCC without optimisation as well;
# - the module tests on the default python3 (3.11) with NumPy 2.x, on 3.12
#   with NumPy 1.26 and on 3.13 with the newest NumPy (each when present),
#   and on the default python3 with the module built by clang and with the
#   module built under AddressSanitizer + UBSan, two runs at a time.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${PRANDEL_WORK_DIR:-"$root/.test-work"}
jobs=${PRANDEL_JOBS:-$(nproc)}
mkdir -p "$work"

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v g++ >/dev/null || need_apt+=(g++)
command -v clang++ >/dev/null || need_apt+=(clang)
command -v ccache >/dev/null || need_apt+=(ccache)
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
  else
    echo "missing Debian packages: ${need_apt[*]} (run: sudo apt-get install ${need_apt[*]})" >&2
    exit 1
  fi
fi

python3 -m pip install -q --disable-pip-version-check cmake ninja >/dev/null 2>&1 || true
export PATH="$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs

# The engine's kernels, compiled once per pair, make up most of every build,
# and they include no Python header: the module builds for each interpreter
# compile them with the same flags as the engine tests do, so a compiler
# cache serves them after the first build. It lives in the work folder.
export CCACHE_DIR="$work/ccache" CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache

started=$SECONDS
section() {
  printf '== %s  [%dm%02ds]\n' "$1" $(((SECONDS - started) / 60)) $(((SECONDS - started) % 60))
}

# A build folder configured from another checkout, or with another compiler,
# would make CMake refuse to run or mix objects; start such a folder afresh.
fresh_if_foreign() {
  local build=$1 compiler=$2
  local cache="$build/CMakeCache.txt"
  if [ -f "$cache" ] && { ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$cache" ||
                          ! grep -qx "CMAKE_CXX_COMPILER:[A-Z]*=$(command -v "$compiler")" "$cache"; }; then
    rm -rf "$build"
  fi
}

# engine_tests NAME COMPILER [CMAKE ARGS...]: builds and runs the engine tests
# (all but those matching $skip_tests, a ctest pattern, when it is set).
engine_tests() {
  local name=$1 compiler=$2; shift 2
  local build="$work/engine-$name"
  fresh_if_foreign "$build" "$compiler"
  CXX=$compiler cmake -S "$root" -B "$build" -G Ninja -DPRANDEL_WERROR=ON "$launcher" "$@" >/dev/null
  cmake --build "$build"
  ctest --test-dir "$build" --output-on-failure -j "$jobs" ${skip_tests:+-E "$skip_tests"}
}

# Sanitizer runs stop at the first fault, with a stack that names the line.
export ASAN_OPTIONS=abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
# Assertions stay on in the clang build. The clang module build takes the
# engine tests' flags, so the compiler cache serves its kernels.
clang_flags="-O3"

section "engine tests: GCC"
engine_tests gcc g++ -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON

# The narrowings of every f32 pattern, most of a run's time, run in the GCC
# build alone: they test arithmetic on registers, which the sanitizers do not
# look into, and the other builds hold the same conversions to the same
# rules on the edge cases.
exhaustive='Binary16Exhaustive.*Narrowing'

# The sanitized engine (assertions on) runs the GCC build's test objects,
# which the compiler cache serves; the sanitized module build takes its
# kernels from the cache in turn.
section "engine tests: GCC, AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=1 skip_tests=$exhaustive \
  engine_tests gcc-asan g++ -DCMAKE_BUILD_TYPE=Release -DPRANDEL_SANITIZE=ON

section "engine tests: clang"
skip_tests=$exhaustive engine_tests clang clang++ -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="$clang_flags"

# Without optimisation GCC's intrinsics that take an immediate are macros,
# which the conversion warnings see into. Those are the front end's
# warnings, so the GCC build's own compile commands, rerun at -O0 without
# NDEBUG and with no output, keep them clean in a fraction of a build's time
# (the sanitized run above runs lightly optimised code); the units that
# build compiles at -O0 already are left out.
section "engine sources: GCC without optimisation, syntax only"
python3 - "$work/engine-gcc/compile_commands.json" "$jobs" <<'EOF'
import json, shlex, subprocess, sys
from concurrent.futures import ThreadPoolExecutor

def syntax_only(entry):
    words = shlex.split(entry["command"])
    if words[0].endswith("ccache"):
        words = words[1:]
    if [word for word in words if word.startswith("-O")][-1:] == ["-O0"]:
        return 0
    kept = []
    skip = False
    for word in words:
        if skip:
            skip = False
        elif word in ("-o", "-MT", "-MF"):
            skip = True
        elif not (word.startswith("-O") or word in ("-c", "-MD", "-DNDEBUG")):
            kept.append(word)
    return subprocess.run(kept + ["-O0", "-fsyntax-only"], cwd=entry["directory"]).returncode

with open(sys.argv[1]) as f:
    entries = json.load(f)
with ThreadPoolExecutor(int(sys.argv[2])) as pool:
    failed = sum(code != 0 for code in pool.map(syntax_only, entries))
sys.exit(1 if failed else 0)
EOF

# module_tests NAME PYTHON NUMPY_REQUIREMENT [BUILD_ENV... [-- TEST_ENV...]]:
# installs the module into a fresh venv of PYTHON holding that NumPy, built
# with the `VAR=value` words of BUILD_ENV, and runs the module tests there
# with those of TEST_ENV.
module_tests() {
  local name=$1 python=$2 numpy_req=$3; shift 3
  local build_env=() test_env=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do build_env+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  test_env=("$@")
  local venv="$work/venv-$name" build="$work/module-$name"
  section "module tests: $name ($("$python" --version 2>&1), $numpy_req)"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/pip" install -q --disable-pip-version-check "$numpy_req" pytest
  local compiler=g++
  for word in "${build_env[@]}"; do [[ $word == CXX=* ]] && compiler=${word#CXX=}; done
  fresh_if_foreign "$build" "$compiler"
  env SKBUILD_BUILD_DIR="$build" CXX="$compiler" CMAKE_ARGS="-DPRANDEL_WERROR=ON $launcher" "${build_env[@]}" \
    "$venv/bin/pip" install -q --disable-pip-version-check "$root"
  echo "numpy $("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')"
  # --capture=sys: a sanitizer's report, written straight to descriptor 2
  # just before it aborts, must reach the log.
  (cd "$root/python/tests" &&
     env "${test_env[@]}" "$venv/bin/python" -m pytest -q --capture=sys \
       -c "$root/pyproject.toml" --rootdir "$root" "$root/python/tests")
}

# The newest installed pyenv interpreter of a minor version, if any.
pyenv_python() {
  local pyenv_root
  pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  ls -d "$pyenv_root"/versions/"$1".*/bin/python3 2>/dev/null | sort -V | tail -n 1
}

# Each module run is mostly one-core work (a venv, pip, pytest) around a
# short build, so the runs go in two lanes side by side; a lane's output is
# shown when it ends, and the step fails if either lane does.
lane_one() {
  module_tests default python3 "numpy>=2,<3"

  local py313
  py313=$(pyenv_python 3.13)
  if [ -n "$py313" ]; then
    module_tests py313 "$py313" "numpy"
  else
    section "Python 3.13 not found (looked in pyenv's versions): skipping the newest-NumPy run"
  fi

  module_tests default-clang python3 "numpy>=2,<3" CXX=clang++ \
    CMAKE_ARGS="-DPRANDEL_WERROR=ON $launcher '-DCMAKE_CXX_FLAGS_RELEASE=$clang_flags'"
}

lane_two() {
  local py312
  py312=$(pyenv_python 3.12)
  if [ -n "$py312" ]; then
    module_tests py312-numpy126 "$py312" "numpy==1.26.*"
  else
    section "Python 3.12 not found (looked in pyenv's versions): skipping the NumPy 1.26 run"
  fi

  # The interpreter itself is not instrumented: the sanitizer runtimes are
  # preloaded, and PYTHONMALLOC=malloc gives every Python object its own
  # heap block, so a reference dropped once too often shows as a use after
  # free. Leak detection is off: CPython and NumPy leave memory behind at
  # exit, and without frame pointers in the interpreter their stacks are too
  # short to suppress selectively. The module's reference leaks are caught
  # by the reference-count tests; the engine's allocations are leak-checked
  # above.
  module_tests default-asan python3 "numpy>=2,<3" \
    CMAKE_ARGS="-DPRANDEL_WERROR=ON $launcher -DPRANDEL_SANITIZE=ON" \
    -- LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" PYTHONMALLOC=malloc
}

section "module tests, in two lanes"
lane_one >"$work/lane-one.log" 2>&1 &
one=$!
lane_two >"$work/lane-two.log" 2>&1 &
two=$!
failed=0
wait "$one" || failed=1
cat "$work/lane-one.log"
wait "$two" || failed=1
cat "$work/lane-two.log"
[ "$failed" -eq 0 ] || { echo "module tests failed" >&2; exit 1; }

ccache --show-stats 2>/dev/null | grep -iE "hits|misses" | head -n 3 || true
section "all tests passed"
