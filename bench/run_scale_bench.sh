#!/usr/bin/env bash
# Builds the engine's graph benchmark and runs it beside hnswlib at growing sizes (by default
# 200,000 and 1,000,000 x 128); hnswlib lives in its own environment under build/benchenv,
# never a dependency of the package. Arguments go to bench/scale_bench.py.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQOREL_BUILD_BENCH=ON \
  -DQOREL_BUILD_PYTHON=OFF -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
.venv/bin/cmake --build build/bench --target graph_bench >/dev/null
if [ ! -x build/benchenv/bin/python ] || ! build/benchenv/bin/python -c "import hnswlib" 2>/dev/null; then
  python3 -m venv --system-site-packages build/benchenv
  # hnswlib 0.8.0 ships no wheel: pip builds it from its source distribution.
  build/benchenv/bin/pip install --quiet hnswlib==0.8.0 numpy
fi
export OMP_WAIT_POLICY=PASSIVE
build/benchenv/bin/python bench/scale_bench.py --binary build/bench/graph_bench "$@"
