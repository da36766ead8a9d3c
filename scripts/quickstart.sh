#!/usr/bin/env bash
# Sets up a fresh machine and runs the quickstart example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
python3 examples/quickstart.py
