#!/usr/bin/env bash
# Installs the package (scripts/setup.sh) and runs the Python API benchmark beside hnswlib,
# which lives in its own environment under build/benchenv (never a dependency of the package).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if [ ! -x build/benchenv/bin/python ]; then
  python3 -m venv --system-site-packages build/benchenv
  build/benchenv/bin/pip install --quiet hnswlib==0.8.0 numpy
fi
# qorel itself is the build in the project's virtualenv .venv, which scripts/setup.sh has just
# brought up to date.
.venv/bin/python -c 'import sysconfig; print(sysconfig.get_path("platlib"))' \
  > "$(build/benchenv/bin/python -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/qorel_dev.pth"
build/benchenv/bin/python bench/api_bench.py "$@"
