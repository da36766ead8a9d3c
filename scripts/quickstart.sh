#!/usr/bin/env bash
# Builds qorel into the project's virtualenv .venv and runs the quickstart example with it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/quickstart.py
