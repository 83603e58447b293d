#!/usr/bin/env bash
# Sets up what the tests need on a fresh Debian machine, then runs every test,
# with every compiler warning an error:
# - the engine tests built by GCC, run again on the engine built by GCC under
#   AddressSanitizer + UBSan, and built by clang (optimised, assertions on);
#   the engine and its tests checked by GCC without optimisation as well;
# - the module tests on the module each of those three builds makes too, on
#   the default python3 (3.11) with NumPy 2.x; and on the module installed by
#   pip from the checkout, as a user installs it, on 3.12 with NumPy 1.26 and
#   on 3.13 with the newest NumPy (each when present), side by side.
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

# module_venv NAME PYTHON NUMPY_REQUIREMENT: a fresh venv of PYTHON holding
# that NumPy and pytest, at $work/venv-NAME.
module_venv() {
  local venv="$work/venv-$1"
  rm -rf "$venv"
  "$2" -m venv "$venv"
  "$venv/bin/pip" install -q --disable-pip-version-check "$3" pytest
}

# module_tests VENV [VAR=value...]: the module tests on VENV's python, with
# those variables set. --capture=sys: a sanitizer's report, written straight
# to descriptor 2 just before it aborts, must reach the log.
module_tests() {
  local venv=$1; shift
  echo "module tests: $("$venv/bin/python" --version 2>&1)," \
       "numpy $("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')"
  (cd "$root/python/tests" &&
     env "$@" "$venv/bin/python" -m pytest -q --capture=sys \
       -c "$root/pyproject.toml" --rootdir "$root" "$root/python/tests")
}

# The default python3's venv, whose interpreter each engine build below
# builds the module for.
section "the default python3's venv for the module tests"
module_venv default python3 "numpy>=2,<3"
default_venv="$work/venv-default"

# engine_tests NAME COMPILER [CMAKE ARGS...]: builds the engine tests and the
# module, runs the engine tests (all but those matching $skip_tests, a ctest
# pattern, when it is set) and, beside them, the module tests in the default
# venv with the `VAR=value` words of the array module_env set.
engine_tests() {
  local name=$1 compiler=$2; shift 2
  local build="$work/engine-$name"
  fresh_if_foreign "$build" "$compiler"
  CXX=$compiler cmake -S "$root" -B "$build" -G Ninja -DPRANDEL_WERROR=ON "$launcher" \
    -DPRANDEL_BUILD_MODULE=ON -DPython_EXECUTABLE="$default_venv/bin/python" "$@" >/dev/null
  cmake --build "$build"
  module_tests "$default_venv" PYTHONPATH="$build/python" "${module_env[@]}" \
    >"$build/module-tests.log" 2>&1 &
  local module=$! failed=0
  ctest --test-dir "$build" --output-on-failure -j "$jobs" ${skip_tests:+-E "$skip_tests"} || failed=1
  wait "$module" || failed=1
  cat "$build/module-tests.log"
  return "$failed"
}
module_env=()

# Sanitizer runs stop at the first fault, with a stack that names the line.
export ASAN_OPTIONS=abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
# Assertions stay on in the clang build.
clang_flags="-O3"

section "engine and module tests: GCC"
engine_tests gcc g++ -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON

# The narrowings of every f32 pattern, most of a run's time, run in the GCC
# build alone: they test arithmetic on registers, which the sanitizers do not
# look into, and the other builds hold the same conversions to the same
# rules on the edge cases.
exhaustive='Binary16Exhaustive.*Narrowing'

# The sanitized engine (assertions on) runs the GCC build's test objects,
# which the compiler cache serves. The interpreter itself is not
# instrumented: the sanitizer runtimes are preloaded for the module tests,
# and PYTHONMALLOC=malloc gives every Python object its own heap block, so a
# reference dropped once too often shows as a use after free. Leak detection
# is off there: CPython and NumPy leave memory behind at exit, and without
# frame pointers in the interpreter their stacks are too short to suppress
# selectively. The module's reference leaks are caught by the
# reference-count tests; the engine's allocations are leak-checked by the
# engine tests.
section "engine and module tests: GCC, AddressSanitizer + UndefinedBehaviorSanitizer"
module_env=(LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
            ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" PYTHONMALLOC=malloc)
ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=1 skip_tests=$exhaustive \
  engine_tests gcc-asan g++ -DCMAKE_BUILD_TYPE=Release -DPRANDEL_SANITIZE=ON
module_env=()

section "engine and module tests: clang"
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
    entries = [entry for entry in json.load(f) if "/engine/" in entry["file"]]
with ThreadPoolExecutor(int(sys.argv[2])) as pool:
    failed = sum(code != 0 for code in pool.map(syntax_only, entries))
sys.exit(1 if failed else 0)
EOF

# pip_module_tests NAME PYTHON NUMPY_REQUIREMENT: installs the module as a
# user does, with pip from the checkout, into a fresh venv of PYTHON holding
# that NumPy, and runs the module tests there. The compiler cache serves its
# kernels from the GCC build above.
pip_module_tests() {
  local name=$1 python=$2 numpy_req=$3
  local venv="$work/venv-$name" build="$work/module-$name"
  module_venv "$name" "$python" "$numpy_req"
  fresh_if_foreign "$build" g++
  SKBUILD_BUILD_DIR="$build" CXX=g++ CMAKE_ARGS="-DPRANDEL_WERROR=ON $launcher" \
    "$venv/bin/pip" install -q --disable-pip-version-check "$root"
  module_tests "$venv"
}

# The newest installed pyenv interpreter of a minor version, if any.
pyenv_python() {
  local pyenv_root
  pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  ls -d "$pyenv_root"/versions/"$1".*/bin/python3 2>/dev/null | sort -V | tail -n 1
}

# Each pip run is mostly one-core work (a venv, pip, pytest) around a short
# build, so the two go side by side; a run's output is shown when it ends,
# and the step fails if either run does.
section "module tests, installed by pip: Python 3.12 with NumPy 1.26, Python 3.13 with the newest NumPy"
runs=()
for run in "py312-numpy126 3.12 numpy==1.26.*" "py313 3.13 numpy"; do
  read -r name version numpy_req <<<"$run"
  python=$(pyenv_python "$version")
  if [ -z "$python" ]; then
    echo "Python $version not found (looked in pyenv's versions): skipping the $name run"
    continue
  fi
  pip_module_tests "$name" "$python" "$numpy_req" >"$work/$name.log" 2>&1 &
  runs+=("$!:$name")
done
failed=0
for run in "${runs[@]}"; do
  wait "${run%%:*}" || failed=1
  cat "$work/${run#*:}.log"
done
[ "$failed" -eq 0 ] || { echo "module tests failed" >&2; exit 1; }

ccache --show-stats 2>/dev/null | grep -iE "hits|misses" | head -n 3 || true
section "all tests passed"
