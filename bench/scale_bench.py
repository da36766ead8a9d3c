"""Graph quality and build cost as the data grows: qorel beside hnswlib on the same reference
mixture at several sizes, in one run. For each size: build time on the same thread count (wall
clock, and processor time: the truer measure on a shared machine), resident memory added by the build, recall@10 at ef 10 / 40 / 160 and queries per second
(one query at a time, one thread) at recall 0.95.

    bash bench/run_scale_bench.sh                          # 200,000 and 1,000,000 x 128
    bash bench/run_scale_bench.sh --sizes 50000            # a quick look
    bash bench/run_scale_bench.sh --sizes 200000 --serial  # also qorel built one insert at a time

The data, queries and exact neighbours are kept under --data-dir, so a second run at the same
size skips making them. Figures go to --out as JSON.
"""

import argparse
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import dataset, write_fbin  # noqa: E402
from graph_bench import hnsw_build, hnsw_sweep, ours, qps_at_recall  # noqa: E402

REPORTED_EFS = (10, 40, 160)


def exact_neighbours(base, queries, k=10, block=64):
    """Exact k nearest under squared L2, in float32 blocks small enough for a million rows."""
    b2 = (base * base).sum(1)
    out = np.empty((len(queries), k), dtype=np.uint32)
    for i in range(0, len(queries), block):
        d = b2[None, :] - 2.0 * (queries[i:i + block] @ base.T)
        idx = np.argpartition(d, k, axis=1)[:, :k]
        order = np.take_along_axis(d, idx, 1).argsort(1)
        out[i:i + block] = np.take_along_axis(idx, order, 1)
    return out


def prepare(data_dir, n, nq):
    """Paths of the base, query and truth files for size n, made when missing."""
    paths = [os.path.join(data_dir, f"reference_{n}_{nq}_{x}.fbin") for x in ("base", "queries", "truth")]
    if not all(os.path.exists(p) for p in paths):
        base, queries = dataset("reference", n, nq)
        write_fbin(paths[0], base)
        write_fbin(paths[1], queries)
        write_fbin(paths[2], exact_neighbours(base, queries))
    return paths


def read_fbin(path):
    with open(path, "rb") as f:
        rows, dim = np.fromfile(f, dtype=np.uint32, count=2)
        return np.fromfile(f, dtype=np.float32).reshape(rows, dim)


def hnsw_build_timed(base, threads, m, efc):
    """hnswlib's build, with the processor time it took beside the wall clock."""
    c0 = time.process_time()
    idx, build_s, mem = hnsw_build(base, threads, m, efc)
    return idx, build_s, time.process_time() - c0, mem


def summarise(build_s, build_cpu_s, mem_bytes, sweep):
    by_ef = {r["ef"]: r for r in sweep}
    return {
        "build_seconds": build_s,
        "build_cpu_seconds": build_cpu_s,
        "memory_added_mb": mem_bytes / 1e6,
        "recall": {str(ef): by_ef[ef]["recall"] for ef in REPORTED_EFS},
        "qps_at_recall_0.95": qps_at_recall(sweep, 0.95),
        "sweep": sweep,
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", default="build/bench/graph_bench")
    ap.add_argument("--sizes", type=int, nargs="+", default=[200_000, 1_000_000])
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--m", type=int, default=16)
    ap.add_argument("--efc", type=int, default=200)
    ap.add_argument("--serial", action="store_true", help="also build qorel one insert at a time")
    ap.add_argument("--data-dir", default="build/scale_data")
    ap.add_argument("--out", default="docs/bench/scale.json")
    args = ap.parse_args()

    os.makedirs(args.data_dir, exist_ok=True)
    results = []
    for n in args.sizes:
        paths = prepare(args.data_dir, n, args.queries)
        conf = [str(args.threads), str(args.m), str(args.efc)]
        print(f"\n== reference mixture {n} x 128, {args.queries} queries, m {args.m}, "
              f"ef_construction {args.efc}, {args.threads} threads", flush=True)
        rows = {}
        mine = ours(args.binary, ["build", *paths, *conf])
        rows["qorel"] = summarise(mine["build_seconds"], mine["build_cpu_seconds"],
                                  (mine["rss_delta_bytes_per_vector"] + 4 * mine["dim"]) * n, mine["sweep"])
        rows["qorel"]["layers"] = mine["layers"]
        if args.serial:
            one = ours(args.binary, ["build", *paths, *conf, "serial"])
            rows["qorel one by one"] = summarise(one["build_seconds"], one["build_cpu_seconds"],
                                                 (one["rss_delta_bytes_per_vector"] + 4 * one["dim"]) * n, one["sweep"])
        base = read_fbin(paths[0])
        queries = read_fbin(paths[1])
        truth = read_fbin(paths[2]).view(np.uint32)
        idx, build_s, build_cpu_s, mem_per_vector = hnsw_build_timed(base, args.threads, args.m, args.efc)
        rows["hnswlib"] = summarise(build_s, build_cpu_s, (mem_per_vector + 4 * base.shape[1]) * n, hnsw_sweep(idx, queries, truth))
        del idx, base

        ref = rows["hnswlib"]
        print("    library            build s  (ratio)  cpu s  (ratio)  memory MB  " +
              "  ".join(f"recall@ef{ef}" for ef in REPORTED_EFS) + "  qps@0.95 (ratio)")
        for name, r in rows.items():
            print(f"    {name:17s} {r['build_seconds']:8.1f}  ({r['build_seconds'] / ref['build_seconds']:4.2f})"
                  f"  {r['build_cpu_seconds']:5.0f}  ({r['build_cpu_seconds'] / ref['build_cpu_seconds']:4.2f})"
                  f"  {r['memory_added_mb']:9.0f}  " +
                  "  ".join(f"{r['recall'][str(ef)]:11.3f}" for ef in REPORTED_EFS) +
                  f"  {r['qps_at_recall_0.95']:8.0f} ({r['qps_at_recall_0.95'] / ref['qps_at_recall_0.95']:4.2f})",
                  flush=True)
        results.append({"n": n, "dim": 128, "threads": args.threads, "m": args.m, "ef_construction": args.efc,
                        "results": rows})

    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)
    print(f"\nwritten {args.out}")


if __name__ == "__main__":
    main()
