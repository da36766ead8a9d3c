"""Filtered search in graph mode: recall@10, hits returned and queries per second by filter
kind (equality, $in, range, conjunction) and by the share of vectors that match, beside an
unfiltered search at the same ef_search, one query at a time and in batches.

    .venv/bin/python bench/filtered_bench.py            # 200,000 x 128 reference mixture
    .venv/bin/python bench/filtered_bench.py --quick    # 80,000 x 128, fewer queries

Writes the figures to docs/bench/filtered.json (--out to change). The recall reference is an
exact search over the matching vectors only, computed with numpy.
"""

import argparse
import json
import os
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import dataset  # noqa: E402

import qorel  # noqa: E402

SHARES = [1.0, 0.1, 0.01, 0.001, 0.0001]
BUCKETS = 20000  # every share above is a whole number of buckets, down to two buckets for $in


def metadata(n, seed=7):
    """Per row: a random bucket b in [0, BUCKETS) spread over fields b % N, and a uniform r."""
    rng = np.random.default_rng(seed)
    b = rng.integers(0, BUCKETS, n)
    r = rng.random(n)
    mods = [10, 20, 100, 200, 1000, 2000, 10000, 20000]
    cols = {f"m{m}": (b % m).tolist() for m in mods}
    rl = r.tolist()
    rows = [{"all": 1, "r": rl[i], **{k: v[i] for k, v in cols.items()}} for i in range(n)]
    return rows, b, r


def filters_for(share, b, r):
    """(name, where_filter, boolean mask of the rows it matches) for one share."""
    out = []
    if share == 1.0:
        out.append(("equality", {"all": 1}, np.ones(len(b), bool)))
        out.append(("in", {"all": {"$in": [0, 1]}}, np.ones(len(b), bool)))
        out.append(("range", {"r": {"$gte": 0.0}}, r >= 0.0))
        out.append(("conjunction", {"all": 1, "r": {"$gte": 0.0}}, r >= 0.0))
        return out
    m = round(1 / share)
    out.append(("equality", {f"m{m}": 0}, b % m == 0))
    out.append(("in", {f"m{2 * m}": {"$in": [0, 1]}}, (b % (2 * m)) < 2))
    out.append(("range", {"r": {"$lt": share}}, r < share))
    # One tenth from the index, the rest from a range the index cannot narrow.
    out.append(("conjunction", {"m10": 0, "r": {"$lt": share * 10}}, (b % 10 == 0) & (r < share * 10)))
    return out


def exact_top(base, b2, queries, mask, k):
    idx = np.flatnonzero(mask)
    sub = base[idx].astype(np.float64)
    d = b2[idx][None, :] - 2.0 * queries.astype(np.float64) @ sub.T
    kk = min(k, len(idx))
    if kk == 0:
        return [[] for _ in queries]
    part = np.argpartition(d, kk - 1, axis=1)[:, :kk]
    return [set(idx[p].tolist()) for p in part]


def measure(fn, queries, repeat_floor=0.5):
    """Runs fn over the queries (at least repeat_floor seconds); returns (last results, qps)."""
    done, t0 = 0, time.perf_counter()
    while True:
        res = fn(queries)
        done += len(queries)
        el = time.perf_counter() - t0
        if el >= repeat_floor:
            return res, done / el


def one_by_one(db, k, ef, where):
    return lambda qs: [[int(h.id) for h in db.search(q, k=k, ef_search=ef, where_filter=where)] for q in qs]


def batched(db, k, ef, where):
    return lambda qs: [[int(h.id) for h in hs] for hs in db.search_many(qs, k=k, ef_search=ef, where_filter=where)]


def score(found, truth, k):
    hits = sum(len(f) for f in found) / len(found)
    expected = sum(min(k, len(t)) for t in truth) / len(truth)
    rec = sum(len(set(f) & t) for f, t in zip(found, truth))
    total = sum(len(t) for t in truth)
    return (rec / total if total else 1.0), hits, expected


def run(n, nq, k, ef, out_path, quantized=False):
    base, queries = dataset("reference", n, nq)
    rows, b, r = metadata(n)
    b2 = (base.astype(np.float64) ** 2).sum(1)
    tmp = tempfile.mkdtemp(prefix="qorel_filtered_")
    db = qorel.Database(os.path.join(tmp, "db"), dim=base.shape[1], metric="l2")
    t0 = time.perf_counter()
    db.add_many([str(i) for i in range(n)], base, rows)
    build = time.perf_counter() - t0
    if quantized:
        db.enable_quantized_search()
    assert not db.stats()["uses_brute_force"], "the benchmark needs graph mode: raise --n"
    print(f"{n} x {base.shape[1]}, {nq} queries, k={k}, ef_search={ef or 'default'}, build {build:.1f} s"
          f"{', quantized' if quantized else ''}")

    everything = np.ones(n, bool)
    truth_all = exact_top(base, b2, queries, everything, k)
    found, qps_plain = measure(one_by_one(db, k, ef, None), queries)
    rec_plain, _, _ = score(found, truth_all, k)
    found, qps_plain_many = measure(batched(db, k, ef, None), queries)
    rec_plain_many, _, _ = score(found, truth_all, k)
    print(f"unfiltered: recall {rec_plain:.3f}, {qps_plain:.0f} qps; search_many {qps_plain_many:.0f} qps")

    table = []
    print(f"{'share':>8} {'filter':>12} {'matches':>8} {'recall':>7} {'hits':>6} {'qps':>7} {'vs plain':>8} "
          f"{'many qps':>8} {'vs plain':>8} {'count':>6}")
    for share in SHARES:
        for name, where, mask in filters_for(share, b, r):
            truth = exact_top(base, b2, queries, mask, k)
            # The unfiltered rate is measured again beside each filter, so that the ratio holds
            # when the machine's load drifts during the run.
            _, plain = measure(one_by_one(db, k, ef, None), queries)
            _, plain_many = measure(batched(db, k, ef, None), queries)
            found, qps = measure(one_by_one(db, k, ef, where), queries)
            rec, hits, expected = score(found, truth, k)
            found_many, qps_many = measure(batched(db, k, ef, where), queries)
            rec_many, hits_many, _ = score(found_many, truth, k)
            count = db.count(where)
            row = {"share": share, "filter": name, "where": where, "matches": int(mask.sum()), "count": count,
                   "recall": rec, "hits": hits, "expected_hits": expected, "qps": qps,
                   "qps_ratio": qps / plain, "plain_qps": plain, "many_recall": rec_many, "many_hits": hits_many,
                   "many_qps": qps_many, "many_qps_ratio": qps_many / plain_many,
                   "plain_many_qps": plain_many}
            table.append(row)
            print(f"{share:8.4%} {name:>12} {row['matches']:8d} {rec:7.3f} {hits:6.2f} {qps:7.0f} "
                  f"{row['qps_ratio']:8.2f} {qps_many:8.0f} {row['many_qps_ratio']:8.2f} "
                  f"{'ok' if count == row['matches'] else count:>6}")
    result = {"n": n, "dim": int(base.shape[1]), "queries": nq, "k": k, "ef_search": ef, "quantized": quantized,
              "build_seconds": build, "unfiltered": {"recall": rec_plain, "qps": qps_plain,
                                                     "many_recall": rec_plain_many, "many_qps": qps_plain_many},
              "filtered": table}
    if out_path:
        os.makedirs(os.path.dirname(out_path) or ".", exist_ok=True)
        with open(out_path, "w") as f:
            json.dump(result, f, indent=1)
        print(f"written to {out_path}")
    return result


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="80,000 vectors and 100 queries")
    ap.add_argument("--n", type=int, default=None)
    ap.add_argument("--queries", type=int, default=None)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--ef", type=int, default=None, help="ef_search (default: the database's default)")
    ap.add_argument("--quantized", action="store_true")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "..", "docs", "bench", "filtered.json"))
    args = ap.parse_args(argv)
    n = args.n or (80_000 if args.quick else 200_000)
    nq = args.queries or (100 if args.quick else 1000)
    return run(n, nq, args.k, args.ef, os.path.normpath(args.out) if args.out else None, args.quantized)


if __name__ == "__main__":
    main()
