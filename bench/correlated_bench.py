"""Filters that follow the data: recall@10 and queries per second when whole clusters match (a
tenant, a language, a date range that gathers in one region of the embedding space), for
queries from the clusters that do not match and from those that do, beside an unfiltered search.

The rows are 50 Gaussian clusters (centres from N(0, 4 I), unit spread), a field
`pc = cluster * 200 + U[0, 200)`, and the filter `{"pc": {"$gt": t}}` with t at the quantile that
leaves the given share of rows matching: whole clusters, plus part of one. A query is a row of
the chosen side with N(0, 0.09 I) added. The recall reference is an exact search over the
matching rows, computed with numpy.

    .venv/bin/python bench/correlated_bench.py                   # 100,000 x 128
    .venv/bin/python bench/correlated_bench.py --rows 400000 --shares 0.5,0.1,0.05
    .venv/bin/python bench/correlated_bench.py --out docs/bench/correlated.json   # rows as JSON too
"""

import argparse
import json
import os
import tempfile
import time

import numpy as np

import qorel


def rows(n, dim, clusters, seed=7):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, dim)).astype(np.float32) * 2
    label = rng.integers(0, clusters, n)
    x = centres[label] + rng.standard_normal((n, dim)).astype(np.float32)
    return x, label * 200 + rng.integers(0, 200, n)


def truth(x, matching, queries, k):
    m = x[matching]
    d = (queries ** 2).sum(1)[:, None] - 2 * queries @ m.T + (m ** 2).sum(1)[None, :]
    return [set(matching[np.argpartition(row, k)[:k]].tolist()) for row in d]


def timed(fn, queries):
    t = time.perf_counter()
    out = [fn(q) for q in queries]
    return out, len(queries) / (time.perf_counter() - t)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--shares", default="0.5,0.2,0.1,0.05,0.02,0.01,0.001")
    ap.add_argument("--out", default=None, help="write the rows as JSON here")
    args = ap.parse_args()
    x, pc = rows(args.rows, args.dim, 50)
    rng = np.random.default_rng(11)
    k = 10
    with tempfile.TemporaryDirectory() as d:
        db = qorel.Database(os.path.join(d, "db"), dim=args.dim, metric="l2")
        t = time.perf_counter()
        db.add_many([str(i) for i in range(args.rows)], x, [{"pc": int(p)} for p in pc])
        print(f"{args.rows:,} x {args.dim}, 50 clusters, build {time.perf_counter() - t:.1f} s")
        probe = x[rng.integers(0, args.rows, args.queries)] + 0.3 * rng.standard_normal((args.queries, args.dim))
        _, plain = timed(lambda q: db.search(q, k=k), probe.astype(np.float32))
        print(f"unfiltered: {plain:.0f} q/s")
        out = {"rows": args.rows, "dim": args.dim, "queries": args.queries, "unfiltered_qps": plain, "filtered": []}
        print("   share   side     recall   q/s  vs unfiltered")
        for share in (float(s) for s in args.shares.split(",")):
            t = float(np.quantile(pc, 1 - share))
            where = {"pc": {"$gt": t}}
            matching = np.where(pc > t)[0]
            for side, pool in (("outside", np.where(pc <= t)[0]), ("inside", matching)):
                pick = pool[:: max(1, len(pool) // args.queries)][: args.queries]
                q = (x[pick] + 0.3 * rng.standard_normal((len(pick), args.dim))).astype(np.float32)
                got, qps = timed(lambda v: db.search(v, k=k, where_filter=where), q)
                want = truth(x, matching, q, k)
                hit = sum(len(w & {int(h.id) for h in g}) for w, g in zip(want, got))
                print(f"{len(matching) / args.rows:8.4f}  {side:7}  {hit / (k * len(q)):6.3f}  {qps:6.0f}  {qps / plain:5.2f}x")
                out["filtered"].append({"share": len(matching) / args.rows, "side": side,
                                        "recall": hit / (k * len(q)), "qps": qps, "qps_ratio": qps / plain})
    if args.out:
        with open(args.out, "w") as f:
            json.dump(out, f, indent=1)


if __name__ == "__main__":
    main()
