#!/usr/bin/env bash
# Builds qorel into the project's virtualenv .venv with its C++ tests, then runs every test:
# the engine's C++ tests and the Python tests (against the package installed in .venv).
set -euo pipefail
cd "$(dirname "$0")/.."

# GoogleTest is the one thing taken from the system: on Debian it is installed with apt (as
# root) when missing.
if command -v dpkg-query >/dev/null &&
   ! dpkg-query -W -f='${Status}' libgtest-dev 2>/dev/null | grep -q "install ok installed"; then
  echo "test: installing libgtest-dev"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
fi

QOREL_BUILD_TESTS=ON bash scripts/setup.sh
.venv/bin/ctest --test-dir build/release --output-on-failure -j2
.venv/bin/python -m pytest -q tests/python
