#!/usr/bin/env bash
# Sets up what the tests need on a fresh Debian machine, then runs every test,
# with every compiler warning an error:
# - the engine tests built by GCC, run again on the engine built by GCC under
#   AddressSanitizer + UBSan, and built by clang (optimised, assertions on);
#   the engine and its tests checked by GCC without optimisation as well;
# - the module tests on the module each of those three builds makes too, on
#   the default python3 (3.11) with NumPy 2.x, and on a module built with the
#   baseline variant alone (PRANDEL_MAX_VARIANT=baseline), the portable code
#   every processor runs;
# - the GCC build's engine tests, but the exhaustive binary16 sweeps, on two
#   processors qemu emulates: one without AVX (Nehalem) and one with AVX, FMA
#   and F16C but not AVX2, where a variant chosen wrongly stops at its first
#   instruction the processor lacks;
# - the engine and its tests built for aarch64 by GCC's cross compiler, and
#   run there by qemu, but the exhaustive sweeps;
# - the module tests on the module installed by pip from the checkout, as a
#   user installs it, on 3.12 with NumPy 1.26 and on 3.13 with the newest
#   NumPy (each when present), side by side.
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
command -v qemu-x86_64 >/dev/null && command -v qemu-aarch64 >/dev/null || need_apt+=(qemu-user)
command -v aarch64-linux-gnu-g++ >/dev/null || need_apt+=(g++-aarch64-linux-gnu)
# GoogleTest's sources, built for aarch64 with the cross compiler.
[ -f /usr/src/googletest/CMakeLists.txt ] || need_apt+=(googletest)
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

# Lanes that run beside the steps after them: each writes a log of its own,
# shown at the end, and the run fails then if a lane did. Much of their work
# keeps one core busy at most (emulated tests, pip, venvs, pytest), and the
# builds' own steps leave cores idle (linking, a test run's longest tests):
# side by side, the cores are kept busy.
lanes=()
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
start_lane() {
  local name=$1; shift
  "$@" >"$work/$name.log" 2>&1 &
  lanes+=("$!:$name")
}
finish_lanes() {
  local lane failed=0
  for lane in "${lanes[@]}"; do
    section "${lane#*:} (run beside the steps above)"
    wait "${lane%%:*}" || { failed=1; echo "${lane#*:} failed" >&2; }
    cat "$work/${lane#*:}.log"
  done
  return "$failed"
}

# Sanitizer runs stop at the first fault, with a stack that names the line.
export ASAN_OPTIONS=abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
# Assertions stay on in the clang build.
clang_flags="-O3"

# The engine for aarch64, where only the baseline variant exists, with
# warnings as errors; its tests, but the exhaustive sweeps, under qemu.
# GoogleTest is built from Debian's sources with the same cross compiler.
# It shares nothing with the builds here, so it starts first.
aarch64_tests() {
  local cross=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64
               -DCMAKE_CXX_COMPILER="$(command -v aarch64-linux-gnu-g++)")
  local gtest="$work/gtest-aarch64"
  if [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
    rm -rf "$gtest"
    cmake -S /usr/src/googletest -B "$gtest/build" -G Ninja "${cross[@]}" "$launcher" \
      -DCMAKE_C_COMPILER="$(command -v aarch64-linux-gnu-gcc)" -Wno-dev -Wno-deprecated \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest/install" >/dev/null
    cmake --build "$gtest/build" --target install >/dev/null
  fi
  local build="$work/engine-aarch64"
  fresh_if_foreign "$build" aarch64-linux-gnu-g++
  cmake -S "$root" -B "$build" -G Ninja -DPRANDEL_WERROR=ON "$launcher" "${cross[@]}" \
    -DCMAKE_BUILD_TYPE=Release -DGTest_DIR="$gtest/install/lib/cmake/GTest" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="qemu-aarch64;-L;/usr/aarch64-linux-gnu" >/dev/null
  cmake --build "$build"
  ctest --test-dir "$build" --output-on-failure -j "$jobs" -E 'Binary16Exhaustive'
}
start_lane "engine tests: aarch64 (cross-compiled by GCC, run by qemu-aarch64)" aarch64_tests

# The module with the baseline variant alone: the portable code, which the
# module runs on a processor without the x86 variants, through the module.
# Only the module: the engine tests run the baseline variant on every pair
# in every build, and the engine without the x86 variants' code is the
# aarch64 lane's too, whose engine tests run.
baseline_module_tests() {
  local build="$work/module-baseline" variant
  fresh_if_foreign "$build" g++
  CXX=g++ cmake -S "$root" -B "$build" -G Ninja -DPRANDEL_WERROR=ON "$launcher" \
    -DCMAKE_BUILD_TYPE=Release -DPRANDEL_BUILD_TESTS=OFF -DPRANDEL_BUILD_MODULE=ON \
    -DPRANDEL_MAX_VARIANT=baseline -DPython_EXECUTABLE="$default_venv/bin/python" >/dev/null
  cmake --build "$build"
  variant=$(PYTHONPATH="$build/python" "$default_venv/bin/python" -c 'import ctypes, _prandel
f = ctypes.CDLL(_prandel.__file__).prandel_kernel_variant
f.restype = ctypes.c_char_p
print(f().decode())')
  [ "$variant" = baseline ] || { echo "the capped module runs variant $variant" >&2; exit 1; }
  module_tests "$default_venv" PYTHONPATH="$build/python"
}
start_lane "module tests: the baseline variant alone (PRANDEL_MAX_VARIANT=baseline)" \
  baseline_module_tests

section "engine and module tests: GCC"
engine_tests gcc g++ -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON

# The GCC build's engine tests, but the exhaustive sweeps, on processors
# without the wider variants' instructions, emulated by qemu (about two
# CPU-minutes each): a variant chosen, or an instruction used, beyond what
# the processor has stops there. Nehalem has no AVX; Haswell without AVX2
# has AVX, FMA and F16C. qemu passes the host's /proc/cpuinfo through, which
# the test comparing the features with it would read.
qemu_x86_tests() {
  local engine_tests=$1 cpu=$2
  echo "engine tests under qemu-x86_64 -cpu $cpu"
  qemu-x86_64 -cpu "$cpu" "$engine_tests" --gtest_brief=1 \
    --gtest_filter='-Binary16Exhaustive*:CpuFeatures.AgreeWithWhatTheOperatingSystemReports'
}
start_lane "engine tests: qemu-x86_64 -cpu Nehalem" \
  qemu_x86_tests "$work/engine-gcc/engine/tests/engine_tests" Nehalem
start_lane "engine tests: qemu-x86_64 -cpu Haswell,-avx2" \
  qemu_x86_tests "$work/engine-gcc/engine/tests/engine_tests" Haswell,-avx2

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
# build whose kernels the compiler cache serves from the GCC build: they run
# beside the steps after that build.
for run in "py312-numpy126 3.12 numpy==1.26.*" "py313 3.13 numpy"; do
  read -r name version numpy_req <<<"$run"
  python=$(pyenv_python "$version")
  if [ -z "$python" ]; then
    echo "Python $version not found (looked in pyenv's versions): skipping the $name run"
    continue
  fi
  start_lane "module tests, installed by pip: $name" \
    pip_module_tests "$name" "$python" "$numpy_req"
done

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

finish_lanes

ccache --show-stats 2>/dev/null | grep -iE "hits|misses" | head -n 3 || true
section "all tests passed"
