#!/usr/bin/env bash
# Builds and installs _prandel into a fresh virtual environment and runs the demo.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${PRANDEL_DEMO_VENV:-"$root/.test-work/venv-demo"}
python3 -m venv "$venv"
"$venv/bin/pip" install -q --disable-pip-version-check "$root"
"$venv/bin/python" "$root/examples/demo.py"
