#!/usr/bin/env bash
# Sets up what the tests need on a fresh Debian machine, then runs every test:
# the engine tests (plain and under AddressSanitizer + UBSan) and the module
# tests on the default python3 with the newest NumPy 2.x and, when present,
# on Python 3.12 with NumPy 1.26.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${PRANDEL_WORK_DIR:-"$root/.test-work"}
jobs=${PRANDEL_JOBS:-$(nproc)}
mkdir -p "$work"

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v g++ >/dev/null || need_apt+=(g++)
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

# A build folder configured from another checkout would make CMake refuse to
# run; start such a folder afresh.
configure() {
  local build=$1; shift
  local cache="$build/CMakeCache.txt"
  if [ -f "$cache" ] && ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$cache"; then
    rm -rf "$build"
  fi
  cmake -S "$root" -B "$build" "$@" >/dev/null
}

echo "== engine tests"
configure "$work/engine" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$work/engine" -j "$jobs"
ctest --test-dir "$work/engine" --output-on-failure -j "$jobs"

echo "== engine tests, AddressSanitizer + UndefinedBehaviorSanitizer"
configure "$work/engine-asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPRANDEL_SANITIZE=ON
cmake --build "$work/engine-asan" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$work/engine-asan" --output-on-failure -j "$jobs"

# Builds and installs the module into a fresh venv of $1 with the NumPy of $2,
# then runs the module tests there.
module_tests() {
  local python=$1 numpy_req=$2 name=$3
  local venv="$work/venv-$name"
  echo "== module tests: $name ($("$python" --version), $numpy_req)"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/pip" install -q --disable-pip-version-check "$numpy_req" pytest
  "$venv/bin/pip" install -q --disable-pip-version-check "$root"
  (cd "$root/python/tests" && "$venv/bin/python" -m pytest -q -c "$root/pyproject.toml" \
     --rootdir "$root" "$root/python/tests")
}

module_tests python3 "numpy>=2,<3" default
py312="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")/versions/3.12.1/bin/python3"
[ -x "$py312" ] || py312=$(ls -d "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/3.12*/bin/python3 2>/dev/null | head -n 1 || true)
if [ -n "$py312" ] && [ -x "$py312" ]; then
  module_tests "$py312" "numpy==1.26.*" py312-numpy126
else
  echo "== Python 3.12 not found: skipping the NumPy 1.26 run"
fi
echo "== all tests passed"
