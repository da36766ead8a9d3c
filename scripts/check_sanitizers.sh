#!/usr/bin/env bash
# The sanitizer job: the C++ tests and the Python tests against an engine built with
# AddressSanitizer + UndefinedBehaviorSanitizer (build/asan), then the concurrency tests under
# ThreadSanitizer (build/tsan): every test labelled "concurrency", that is the executable
# qorel_concurrency_tests built from the sources CMakeLists.txt lists for it. Both builds are
# incremental after the first. Any report fails the run. Called by scripts/test.sh; runs on its
# own from the repository root as well.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build_env.sh

# Optional engine features that replace a code path are switched off in the AddressSanitizer
# build, so that the default build and this one between them test both paths (an unknown
# option is ignored by CMake with a warning).
ASAN_FEATURE_DEFINES=(-DQOREL_BLAS=OFF)


configure() {  # build dir, then CMake definitions
  local dir="$1"
  shift
  if [[ ! -f "$dir/CMakeCache.txt" ]]; then
    cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOREL_BUILD_TESTS=ON \
      -DPython_EXECUTABLE="$PYTHON" "$@" >/dev/null
  fi
}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure build/asan -DQOREL_SANITIZE=ON "${ASAN_FEATURE_DEFINES[@]}"
cmake --build build/asan -j "$JOBS"
bash scripts/check_build_deps.sh build/asan

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# CPython keeps its interned objects and module state to the end, which the leak checker would
# report on every run; the engine's own tests check for leaks where it matters.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1"
ctest --test-dir build/asan --output-on-failure -j "$JOBS"

# Python itself is not instrumented: the runtime has to be loaded before anything else, and
# the C++ runtime with it, so that the sanitizer finds the exception machinery it wraps.
asan_runtime="$(${CXX:-c++} -print-file-name=libasan.so) $(${CXX:-c++} -print-file-name=libstdc++.so)"
module_dir="$root/build/asan"
LD_PRELOAD="$asan_runtime" PYTHONPATH="$module_dir" "$PYTHON" - <<EOF
import _qorel, sys
assert _qorel.__file__.startswith("$module_dir"), _qorel.__file__
EOF
# The fault-injection children inherit the preload, so recovery after every interruption is
# checked by the sanitizers too.
# The package itself comes from .venv and imports this build's _qorel, which comes first on the
# path. Left out: the cluster tests, whose Ray services are not ours to instrument (they would
# inherit the preload), and the type checks, which load no engine.
LD_PRELOAD="$asan_runtime" PYTHONPATH="$module_dir" \
  "$PYTHON" -m pytest -q -p no:cacheprovider tests/python \
  --ignore=tests/python/test_cluster.py --ignore=tests/python/test_typing.py

echo "== ThreadSanitizer"
configure build/tsan -DQOREL_TSAN=ON -DQOREL_BUILD_PYTHON=OFF
cmake --build build/tsan -j "$JOBS" --target qorel_concurrency_tests
bash scripts/check_build_deps.sh build/tsan
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/sanitizers/tsan.supp" \
  ctest --test-dir build/tsan -L concurrency --output-on-failure --no-tests=error -j "$JOBS"
