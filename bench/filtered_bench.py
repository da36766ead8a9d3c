"""Filtered search in graph mode: recall@10, hits returned and queries per second by filter
kind (equality, $in, range, conjunction, $ne) and by the share of vectors that match, beside an
unfiltered search at the same ef_search, one query at a time and in batches.

The filtered and the unfiltered searches run in alternating rounds over the same queries, and
the ratio (qps_ratio, many_qps_ratio) compares the processor time of their best rounds: on a
machine other jobs keep busy, wall-clock rates drift by 2x within a minute, while processor
time drifts far less. The qps figures themselves are wall-clock, best round.

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

SHARES = [1.0, 0.25, 0.1, 0.05, 0.01, 0.001, 0.0001]
BUCKETS = 20000  # every share above is a whole number of buckets, down to two buckets for $in


def metadata(n, seed=7):
    """Per row: a random bucket b in [0, BUCKETS) spread over fields b % N, and a uniform r."""
    rng = np.random.default_rng(seed)
    b = rng.integers(0, BUCKETS, n)
    r = rng.random(n)
    mods = [4, 8, 10, 20, 40, 100, 200, 1000, 2000, 10000, 20000]
    cols = {f"m{m}": (b % m).tolist() for m in mods}
    # z<m> is 1 on the rows of bucket 0 mod m and 0 elsewhere: "$ne": 0 there matches 1/m.
    cols.update({f"z{m}": (b % m == 0).astype(int).tolist() for m in mods})
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
        out.append(("ne", {"all": {"$ne": 0}}, np.ones(len(b), bool)))
        return out
    m = round(1 / share)
    out.append(("equality", {f"m{m}": 0}, b % m == 0))
    out.append(("in", {f"m{2 * m}": {"$in": [0, 1]}}, (b % (2 * m)) < 2))
    out.append(("range", {"r": {"$lt": share}}, r < share))
    # One tenth from the index, the rest from a range the index cannot narrow.
    if share * 10 <= 1.0:
        out.append(("conjunction", {"m10": 0, "r": {"$lt": share * 10}}, (b % 10 == 0) & (r < share * 10)))
    else:
        out.append(("conjunction", {"m4": {"$in": [0, 1, 2]}, "r": {"$lt": share / 0.75}},
                    (b % 4 < 3) & (r < share / 0.75)))
    out.append(("ne", {f"z{m}": {"$ne": 0}}, b % m == 0))
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


def paired(plain_fn, filtered_fn, queries, rounds=3):
    """Alternating rounds of the two over the queries. Returns (filtered results, filtered qps,
    plain qps, ratio): the rates are wall-clock of each one's best round, the ratio that of
    processor time (plain / filtered) of the best rounds."""
    wall = {0: [], 1: []}
    cpu = {0: [], 1: []}
    res = None
    for _ in range(rounds):
        for side, fn in ((0, plain_fn), (1, filtered_fn)):
            w, c = time.perf_counter(), time.process_time()
            out = fn(queries)
            cpu[side].append(time.process_time() - c)
            wall[side].append(time.perf_counter() - w)
            if side == 1:
                res = out
    n = len(queries)
    return res, n / min(wall[1]), n / min(wall[0]), min(cpu[0]) / max(min(cpu[1]), 1e-9)


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


def measure_filter(db, base, b2, queries, k, ef, share, name, where, mask):
    """One filter's row: recall and hits against an exact search over the matching rows, and
    queries per second one at a time and in batches, each beside the unfiltered search."""
    truth = exact_top(base, b2, queries, mask, k)
    # The unfiltered search runs again beside each filter, in alternation with it, so that the
    # ratio holds when the machine's load drifts during the run.
    found, qps, plain, ratio = paired(one_by_one(db, k, ef, None), one_by_one(db, k, ef, where), queries)
    rec, hits, expected = score(found, truth, k)
    found_many, qps_many, plain_many, ratio_many = paired(batched(db, k, ef, None), batched(db, k, ef, where), queries)
    rec_many, hits_many, _ = score(found_many, truth, k)
    return {"share": share, "filter": name, "where": where, "matches": int(mask.sum()), "count": db.count(where),
            "recall": rec, "hits": hits, "expected_hits": expected, "qps": qps, "qps_ratio": ratio,
            "plain_qps": plain, "many_recall": rec_many, "many_hits": hits_many, "many_qps": qps_many,
            "many_qps_ratio": ratio_many, "plain_many_qps": plain_many}


def row_line(row, share):
    """The printed line of a row of measure_filter, after the share as the caller shows it."""
    count = "ok" if row["count"] == row["matches"] else row["count"]
    return (f"{share} {row['filter']:>13} {row['matches']:8d} {row['recall']:7.3f} {row['hits']:6.2f} "
            f"{row['qps']:7.0f} {row['qps_ratio']:8.2f} {row['many_qps']:8.0f} {row['many_qps_ratio']:8.2f} {count:>6}")


def write_result(result, out_path):
    if out_path:
        os.makedirs(os.path.dirname(out_path) or ".", exist_ok=True)
        with open(out_path, "w") as f:
            json.dump(result, f, indent=1)
        print(f"written to {out_path}")
    return result


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
    print(f"{'share':>8} {'filter':>13} {'matches':>8} {'recall':>7} {'hits':>6} {'qps':>7} {'vs plain':>8} "
          f"{'many qps':>8} {'vs plain':>8} {'count':>6}")
    for share in SHARES:
        for name, where, mask in filters_for(share, b, r):
            row = measure_filter(db, base, b2, queries, k, ef, share, name, where, mask)
            table.append(row)
            print(row_line(row, f"{share:8.4%}"))
    result = {"n": n, "dim": int(base.shape[1]), "queries": nq, "k": k, "ef_search": ef, "quantized": quantized,
              "build_seconds": build, "unfiltered": {"recall": rec_plain, "qps": qps_plain,
                                                     "many_recall": rec_plain_many, "many_qps": qps_plain_many},
              "filtered": table}
    return write_result(result, out_path)


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
