#!/usr/bin/env bash
# The storage figures in one run, on the installed package of .venv (scripts/setup.sh):
#   readers     read-only processes beside a writer on 1,000,000 x 128, and refresh() beside reopen
#   checkpoint  reopen after 100,000 unsaved upserts on 500,000 x 128, checkpoints on and off
#   save        a save after 1,000 added rows beside a full save, on 1,000,000 x 128
#   large       2,000,000 x 768 quantized with bounded anonymous memory
# Pick some with --only "readers save"; the output goes to the terminal and to
# docs/bench/storage.txt. Databases are built once under build/bench_data and reused.
set -euo pipefail
cd "$(dirname "$0")/.."
only="readers checkpoint save large"
if [ "${1:-}" = "--only" ]; then only="$2"; fi
bash scripts/setup.sh
py=.venv/bin/python
out=docs/bench/storage.txt
mkdir -p docs/bench
{
  echo "# $(date -u +%Y-%m-%dT%H:%MZ), load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
  for part in $only; do
    echo "## $part"
    case $part in
      readers) $py bench/readers_bench.py --n 1000000 --seconds 8 ;;
      checkpoint) $py bench/checkpoint_bench.py --n 500000 --upserts 100000 ;;
      save) $py bench/save_bench.py ;;
      large) $py bench/large_bench.py --n 2000000 --dim 768 --out docs/bench/large.json ;;
      *) echo "unknown part $part" >&2; exit 2 ;;
    esac
  done
} 2>&1 | tee "$out"
