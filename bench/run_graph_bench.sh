#!/usr/bin/env bash
# Builds the engine benchmarks and runs the graph benchmark beside hnswlib, which lives in its
# own environment under build/benchenv (never a dependency of the package).
set -euo pipefail
cd "$(dirname "$0")/.."
# The project's virtualenv .venv (scripts/setup.sh) holds cmake, ninja and the C++ libraries.
bash scripts/setup.sh
.venv/bin/cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQOREL_BUILD_BENCH=ON \
  -DQOREL_BUILD_PYTHON=OFF -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
.venv/bin/cmake --build build/bench --target graph_bench >/dev/null
if [ ! -x build/benchenv/bin/python ]; then
  python3 -m venv --system-site-packages build/benchenv
  build/benchenv/bin/pip install --quiet hnswlib==0.8.0 numpy
fi
build/benchenv/bin/python bench/graph_bench.py --binary build/bench/graph_bench "$@"
