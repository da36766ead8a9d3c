#!/usr/bin/env bash
# Installs everything qorel needs on a fresh Debian machine (run as root from the repository)
# and builds the package into the current Python environment. Re-running it is cheap: the
# build directory is kept and rebuilt incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential libtbb-dev nlohmann-json3-dev libgtest-dev)
# The fuzz job builds with clang and its libFuzzer runtime.
packages+=(clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 -m pip install --quiet --disable-pip-version-check \
  "scikit-build-core>=0.10" "nanobind>=2.4,<3" cmake ninja numpy pytest hypothesis

# One build directory serves the package and the C++ tests.
python3 -m pip install --quiet --disable-pip-version-check --no-build-isolation \
  -Cbuild-dir=build/release -Ccmake.define.QOREL_BUILD_TESTS=ON .
