#!/usr/bin/env bash
# Sets up a fresh machine, then runs every test: the engine's C++ tests and the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
ctest --test-dir build/release --output-on-failure -j2
python3 -m pytest -q tests/python
bash scripts/check_sanitizers.sh && bash scripts/check_fuzz.sh
