#!/usr/bin/env bash
# Builds qorel into the project's virtualenv .venv with its C++ tests, then runs every test:
# the engine's C++ tests and the Python tests (against the package installed in .venv).
set -euo pipefail
cd "$(dirname "$0")/.."

# The test tools are the one thing taken from the system: GoogleTest for the engine's tests,
# strace for the fault-injection tests, and clang with its libFuzzer runtime for the fuzz job.
# On Debian they are installed with apt (as root) when missing.
test_packages=(libgtest-dev strace clang libclang-rt-14-dev)
missing=()
if command -v dpkg-query >/dev/null; then
  for p in "${test_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
fi
if ((${#missing[@]})); then
  echo "test: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

QOREL_BUILD_TESTS=ON bash scripts/setup.sh
bash scripts/check_build_deps.sh build/release
.venv/bin/ctest --test-dir build/release --output-on-failure -j2
.venv/bin/python -m pytest -q tests/python
bash scripts/check_sanitizers.sh
bash scripts/check_thread_safety.sh
bash scripts/check_fuzz.sh
# The wheel users are offered: built in isolation, repaired, and tested in a fresh virtualenv.
bash scripts/build_wheel.sh
