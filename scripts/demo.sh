#!/usr/bin/env bash
# The main job: build and install the wheel, start zelto-mock-engine, run the clients against it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/setup.sh
install_system_packages
build_wheel
venv=$(make_test_venv "$(build_python)" numpy)
"$venv/bin/python" examples/demo.py
