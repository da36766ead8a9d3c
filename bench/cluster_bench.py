"""The sharded database against one in-process database on the same data, in the same run.

    python bench/cluster_bench.py                  # 60,000 x 384, 2,000 queries
    python bench/cluster_bench.py --n 20000 --dim 128 --nq 500   # a quick look

It reports add_many and search_many throughput for one in-process Database and for sharded
databases of 1 and 2 shards (all on this machine, on a local Ray instance), the added latency
of one search through the cluster, recall@10 of each against exact neighbours, the client's
own costs (argument checks and routing per vector, merging per query and shard) and the
memory per vector the shards report. Those are the inputs of the scale-out estimate in the
README. Absolute numbers depend on the machine and its load; compare the rows of one run.
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import dataset, ground_truth, recall  # noqa: E402

import ray  # noqa: E402

import qorel  # noqa: E402
from qorel.cluster import ShardedDatabase  # noqa: E402
from qorel.cluster.results import merge  # noqa: E402


def seconds(fn):
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


def ids_of(found, index):
    return [[index[r.id] for r in hits] for hits in found]


def measure(name, db, ids, base, queries, truth, latency_calls):
    _, t_add = seconds(lambda: db.add_many(ids, base))
    db.search_many(queries[:50], k=10)  # warm the shards up
    found, t_search = seconds(lambda: db.search_many(queries, k=10))
    index = {id: i for i, id in enumerate(ids)}
    lat = []
    for q in queries[:latency_calls]:
        _, t = seconds(lambda: db.search(q, k=10))
        lat.append(t)
    stats = db.stats()
    return {
        "name": name,
        "add_per_s": len(ids) / t_add,
        "search_qps": len(queries) / t_search,
        "latency_ms": statistics.median(lat) * 1e3,
        "recall": recall(ids_of(found, index), truth),
        "vector_bytes": stats["memory_vectors_bytes"] / len(ids),
        "graph_bytes": stats["memory_graph_bytes"] / len(ids),
        "brute_force": stats["uses_brute_force"],
    }


def client_costs(db, ids, base, shards_list=(2, 8, 64), k=10, reps=2000):
    """Per-vector cost of the client's checks and routing, and per-query merge cost."""
    _, t_prep = seconds(lambda: db._route(db._checks.batch(ids, base, None)[0]))
    rng = np.random.default_rng(0)
    merge_us = {}
    for n in shards_list:
        per_shard = [sorted(((f"id{s}-{j}", float(d), None) for j, d in enumerate(rng.random(k))), key=lambda h: h[1])
                     for s in range(n)]
        _, t = seconds(lambda: [merge(per_shard, k) for _ in range(reps)])
        merge_us[n] = t / reps * 1e6
    return t_prep / len(ids) * 1e6, merge_us


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=60000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--nq", type=int, default=2000)
    ap.add_argument("--latency-calls", type=int, default=300)
    args = ap.parse_args()

    base, queries = dataset("reference", args.n, args.nq, dim=args.dim)
    truth = ground_truth(base, queries, 10)
    ids = [f"v{i}" for i in range(args.n)]
    ray.init(num_cpus=os.cpu_count(), include_dashboard=False, log_to_driver=False)
    root = tempfile.mkdtemp(prefix="qorel-cluster-bench-")
    rows = []
    try:
        single = qorel.Database(os.path.join(root, "single"), dim=args.dim, metric="l2")
        rows.append(measure("in-process Database", single, ids, base, queries, truth, args.latency_calls))
        del single
        prep_us = merge_us = None
        for shards in (1, 2):
            db = ShardedDatabase(os.path.join(root, f"sharded-{shards}"), dim=args.dim, metric="l2", shards=shards)
            rows.append(measure(f"ShardedDatabase, {shards} shard(s)", db, ids, base, queries, truth, args.latency_calls))
            if shards == 1:
                prep_us, merge_us = client_costs(db, ids, base)
            db.close()
    finally:
        ray.shutdown()
        shutil.rmtree(root, ignore_errors=True)

    ref = rows[0]
    print(f"n={args.n} dim={args.dim} queries={args.nq} k=10 cores={os.cpu_count()}")
    print(f"{'':28s} {'add_many/s':>11s} {'x':>5s} {'search_many q/s':>16s} {'x':>5s} "
          f"{'search ms':>10s} {'recall@10':>9s} {'B/vec vectors+graph':>20s} exact")
    for r in rows:
        print(f"{r['name']:28s} {r['add_per_s']:11.0f} {r['add_per_s'] / ref['add_per_s']:5.2f} "
              f"{r['search_qps']:16.0f} {r['search_qps'] / ref['search_qps']:5.2f} {r['latency_ms']:10.3f} "
              f"{r['recall']:9.3f} {r['vector_bytes']:9.0f}+{r['graph_bytes']:<10.0f} {r['brute_force']}")
    for r in rows[1:]:
        print(f"added latency of one search, {r['name']}: {r['latency_ms'] - ref['latency_ms']:.3f} ms")
    print(f"client checks and routing: {prep_us:.2f} us per vector")
    print("client merge per query (k=10): " + ", ".join(f"{n} shards {us:.1f} us" for n, us in merge_us.items()))


if __name__ == "__main__":
    main()
