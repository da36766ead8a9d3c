#!/usr/bin/env bash
# The fuzz job: builds the libFuzzer targets of tests/fuzz with clang (build/fuzz) and runs each
# for a bounded time, starting from its seed corpus in tests/fuzz/corpus/<target>. Inputs the
# run discovers go to build/fuzz/corpus/<target> (kept between runs, never into the tree); an
# input that crashes is saved as build/fuzz/crashes/<target>-crash-* and fails the run.
# Called by scripts/test.sh; runs on its own from the repository root as well.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build_env.sh

FUZZ_SECONDS="${FUZZ_SECONDS:-45}"
CLANGXX="${CLANGXX:-$(command -v clang++ || command -v clang++-14)}"
if [[ -z "$CLANGXX" ]]; then
  echo "check_fuzz: clang++ not found (scripts/setup.sh installs it)" >&2
  exit 1
fi

if [[ ! -f build/fuzz/CMakeCache.txt ]]; then
  cmake -S . -B build/fuzz "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CLANGXX" \
    -DQOREL_FUZZ=ON -DQOREL_BUILD_PYTHON=OFF -DPython_EXECUTABLE="$PYTHON" >/dev/null
fi
cmake --build build/fuzz -j "$JOBS"
bash scripts/check_build_deps.sh build/fuzz

targets=()
for src in tests/fuzz/*_fuzz.cc; do targets+=("$(basename "$src" .cc)"); done

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p build/fuzz/crashes build/fuzz/logs

run() {  # target
  local t="$1"
  mkdir -p "build/fuzz/corpus/$t"
  # One process per target; the time limit counts from its start. A single input may take at
  # most 10 s and 2 GB.
  build/fuzz/"$t" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/crashes/$t-" "build/fuzz/corpus/$t" "tests/fuzz/corpus/$t" \
    >"build/fuzz/logs/$t.log" 2>&1
}

# As many targets at once as there are build jobs.
failed=0
for ((i = 0; i < ${#targets[@]}; i += JOBS)); do
  pids=()
  for t in "${targets[@]:i:JOBS}"; do
    run "$t" &
    pids+=("$!:$t")
  done
  for p in "${pids[@]}"; do
    if wait "${p%%:*}"; then
      runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "build/fuzz/logs/${p#*:}.log" | grep -o '[0-9]*$' || true)
      echo "fuzz ${p#*:}: ${runs:-?} inputs, no crash"
    else
      echo "fuzz ${p#*:}: FAILED, log build/fuzz/logs/${p#*:}.log" >&2
      tail -40 "build/fuzz/logs/${p#*:}.log" >&2
      failed=1
    fi
  done
done
exit "$failed"
