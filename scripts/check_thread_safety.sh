#!/usr/bin/env bash
# The lock-annotation check: the engine compiled by clang with -Wthread-safety as errors
# (build/thread-safety, incremental after the first). Compile only: nothing is linked or run.
# Called by scripts/test.sh; runs on its own from the repository root as well.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build_env.sh

dir=build/thread-safety
if [[ ! -f "$dir/CMakeCache.txt" ]]; then
  cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DQOREL_THREAD_SAFETY=ON -DQOREL_WERROR=ON -DQOREL_BUILD_PYTHON=OFF -DPython_EXECUTABLE="$PYTHON" >/dev/null
fi
cmake --build "$dir" -j "$JOBS" --target qorel_core
bash scripts/check_build_deps.sh "$dir"
