"""Graph benchmark: build time, queries per second against recall@10, brute force against the
memory-bandwidth floor, and memory per vector, beside the hnswlib library measured in the same
run on the same data with the same m, ef_construction and thread count.

Run from the repository root (builds the engine benchmark binary first):

    bash bench/run_graph_bench.sh            # full size: 200,000 x 128 and 50,000 x 128
    bash bench/run_graph_bench.sh --n 20000  # a quick look

hnswlib is installed into a separate benchmark environment by run_graph_bench.sh; it is never
a dependency of the package.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import dataset, ground_truth, recall, rss_bytes, write_fbin  # noqa: E402

EFS = [10, 20, 40, 80, 160, 320]


def ours(binary, args):
    out = subprocess.run([binary, *args], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def hnsw_build(base, threads, m, efc):
    import hnswlib

    idx = hnswlib.Index(space="l2", dim=base.shape[1])
    before = rss_bytes()
    idx.init_index(max_elements=len(base), M=m, ef_construction=efc)
    t0 = time.perf_counter()
    idx.add_items(base, num_threads=threads)
    build = time.perf_counter() - t0
    mem = (rss_bytes() - before) / len(base) - 4 * base.shape[1]
    return idx, build, mem


def hnsw_sweep(idx, queries, truth):
    idx.set_num_threads(1)
    rows = []
    for ef in EFS:
        idx.set_ef(ef)
        found = []
        t0 = time.perf_counter()
        for q in queries:
            labels, _ = idx.knn_query(q, k=10)
            found.append(labels[0])
        s = time.perf_counter() - t0
        rows.append({"ef": ef, "qps": len(queries) / s, "recall": recall(found, truth)})
    return rows


def qps_at_recall(rows, target):
    """Queries per second at the target recall, interpolated between the sweep's points."""
    rows = sorted(rows, key=lambda r: r["recall"])
    for a, b in zip(rows, rows[1:]):
        if a["recall"] <= target <= b["recall"]:
            if b["recall"] == a["recall"]:
                return b["qps"]
            t = (target - a["recall"]) / (b["recall"] - a["recall"])
            return a["qps"] + t * (b["qps"] - a["qps"])
    return rows[0]["qps"] if rows and rows[0]["recall"] >= target else float("nan")


def sweep_table(name, mine, theirs):
    print(f"\n  {name}: one query at a time, one thread, k=10")
    print("    ef   | qorel qps  recall | hnswlib qps  recall")
    for a, b in zip(mine, theirs):
        print(f"    {a['ef']:4d} | {a['qps']:9.0f}  {a['recall']:.4f} | {b['qps']:11.0f}  {b['recall']:.4f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", default="build/bench/graph_bench")
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--brute-n", type=int, default=50_000)
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--m", type=int, default=16)
    ap.add_argument("--efc", type=int, default=200)
    ap.add_argument("--skip-one-thread", action="store_true")
    args = ap.parse_args()

    tmp = tempfile.mkdtemp(prefix="qorel_bench_")
    summary = {}
    for name in ("reference", "separated"):
        base, queries = dataset(name, args.n, args.queries)
        truth = ground_truth(base, queries)
        paths = [os.path.join(tmp, f"{name}_{x}.fbin") for x in ("base", "queries", "truth")]
        write_fbin(paths[0], base)
        write_fbin(paths[1], queries)
        write_fbin(paths[2], truth)
        print(f"\n== data set '{name}': {args.n} x {base.shape[1]}, {args.queries} queries, m={args.m}, "
              f"ef_construction={args.efc}")

        thread_counts = [2] if (args.skip_one_thread or name == "separated") else [1, 2]
        for threads in thread_counts:
            mine = ours(args.binary, ["build", *paths, str(threads), str(args.m), str(args.efc), "quantized"])
            idx, their_build, their_mem = hnsw_build(base, threads, args.m, args.efc)
            print(f"  build on {threads} thread(s): qorel {mine['build_seconds']:.1f} s, hnswlib {their_build:.1f} s, "
                  f"ratio {mine['build_seconds'] / their_build:.2f}  (kernels: {mine['isa']})")
            if threads == 2:
                theirs = hnsw_sweep(idx, queries, truth)
                sweep_table("graph search", mine["sweep"], theirs)
                for target in (0.9, 0.95, 0.98):
                    a, b = qps_at_recall(mine["sweep"], target), qps_at_recall(theirs, target)
                    print(f"    at recall {target}: qorel {a:.0f} qps, hnswlib {b:.0f} qps, ratio {a / b:.2f}")
                print(f"  memory per vector beyond the raw floats: qorel graph {mine['graph_bytes_per_vector']:.0f} B "
                      f"+ norm 4 B (resident growth {mine['rss_delta_bytes_per_vector']:.0f} B), "
                      f"hnswlib resident growth {their_mem:.0f} B")
                sweep_table("quantized graph search (qorel) vs plain hnswlib", mine["quantized_sweep"], theirs)
                for target in (0.9, 0.95):
                    a, b = qps_at_recall(mine["quantized_sweep"], target), qps_at_recall(theirs, target)
                    print(f"    quantized at recall {target}: qorel {a:.0f} qps, hnswlib {b:.0f} qps, ratio {a / b:.2f}")
                summary[name] = {"qorel": mine, "hnswlib": theirs}
            del idx

    base, queries = dataset("reference", args.brute_n, 200)
    write_fbin(os.path.join(tmp, "brute_base.fbin"), base)
    write_fbin(os.path.join(tmp, "brute_q.fbin"), queries)
    b = ours(args.binary, ["brute", os.path.join(tmp, "brute_base.fbin"), os.path.join(tmp, "brute_q.fbin")])
    print(f"\n== exact scan of {args.brute_n} x 128 ({b['bytes'] / 1e6:.1f} MB), one query, beside one vectorised read "
          f"of the same bytes (thread CPU time; cold: the cache flushed before each)")
    for metric, r in b["metrics"].items():
        print(f"  {metric:12s} cold {r['cold_us']:6.0f} us, ratio {r['cold_ratio']:.2f}; warm ratio {r['warm_ratio']:.2f}; "
              f"1 % deleted, cold ratio {r['deleted_1pct_cold_ratio']:.2f}")


if __name__ == "__main__":
    main()
