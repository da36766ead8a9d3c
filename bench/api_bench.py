"""Benchmarks through the Python API, beside hnswlib measured in the same run on the same data
(the reference Gaussian mixture of bench/common.py) with the same m and ef_construction.

    bash bench/run_api_bench.sh              # 200,000 x 128
    bash bench/run_api_bench.sh --n 20000    # a quick look

Sections: insertion throughput, per-call overhead on a small database, graph search against
recall, filtered search and count, save and reopen, one-at-a-time add with the log, deletion
and compaction, and get.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import dataset, ground_truth, recall  # noqa: E402

import hnswlib  # noqa: E402

import qorel  # noqa: E402

EFS = [10, 20, 40, 80, 160, 320, 640]


def timed(fn, *a, **kw):
    t0 = time.perf_counter()
    out = fn(*a, **kw)
    return out, time.perf_counter() - t0


def dir_size(path):
    return sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path))


def ours_sweep(db, queries, truth, k=10):
    rows = []
    for ef in EFS:
        found = []
        t0 = time.perf_counter()
        for q in queries:
            found.append([int(h.id) for h in db.search(q, k=k, ef_search=ef)])
        s = time.perf_counter() - t0
        rows.append({"ef": ef, "qps": len(queries) / s, "recall": recall(found, truth)})
    return rows


def theirs_sweep(idx, queries, truth, k=10):
    idx.set_num_threads(1)
    rows = []
    for ef in EFS:
        idx.set_ef(ef)
        t0 = time.perf_counter()
        found = [idx.knn_query(q, k=k)[0][0] for q in queries]
        s = time.perf_counter() - t0
        rows.append({"ef": ef, "qps": len(queries) / s, "recall": recall(found, truth)})
    return rows


def first_at(rows, target):
    for r in rows:
        if r["recall"] >= target:
            return r
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--m", type=int, default=16)
    ap.add_argument("--efc", type=int, default=200)
    ap.add_argument("--search-only", action="store_true", help="insertion and graph search sections only")
    args = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="qorel_api_bench_")
    base, queries = dataset("reference", args.n, args.queries)
    truth = ground_truth(base, queries)
    ids = [str(i) for i in range(args.n)]
    cats = [f"c{i % 10}" for i in range(args.n)]
    metas = [{"category": c, "price": i % 1000} for i, c in enumerate(cats)]
    print(f"data: reference mixture {args.n} x {base.shape[1]}, {args.queries} queries, m={args.m}, "
          f"ef_construction={args.efc}, metric l2, 2 threads for batch work")

    # ---- insertion
    idx = hnswlib.Index(space="l2", dim=base.shape[1])
    idx.init_index(max_elements=args.n, M=args.m, ef_construction=args.efc)
    _, t_h = timed(idx.add_items, base, np.arange(args.n), num_threads=2)
    db = qorel.Database(os.path.join(tmp, "plain"), dim=base.shape[1], metric="l2", m=args.m, ef_construction=args.efc)
    _, t_q = timed(db.add_many, ids, base)
    print(f"\nadd_many from a 2-D float32 array: qorel {args.n / t_q:.0f} vectors/s, hnswlib add_items "
          f"{args.n / t_h:.0f} vectors/s, ratio {t_h / t_q:.2f}")
    if not args.search_only:
        dbm = qorel.Database(os.path.join(tmp, "meta"), dim=base.shape[1], metric="l2", m=args.m,
                             ef_construction=args.efc)
        _, t_m = timed(dbm.add_many, ids, base, metas)
        print(f"add_many with metadata dicts:      qorel {args.n / t_m:.0f} vectors/s, ratio to hnswlib {t_h / t_m:.2f}")

    # ---- call overhead on a small database (exact scan)
    small = qorel.Database(os.path.join(tmp, "small"), dim=base.shape[1], metric="l2")
    small.add_many(ids[:1000], base[:1000])
    sidx = hnswlib.Index(space="l2", dim=base.shape[1])
    sidx.init_index(max_elements=1000, M=args.m, ef_construction=args.efc)
    sidx.add_items(base[:1000])
    sidx.set_num_threads(1)
    sidx.set_ef(10)
    qs = list(queries[:1000])
    for q in qs[:50]:
        small.search(q, k=10)
    _, a = timed(lambda: [small.search(q, k=10) for q in qs])
    _, b = timed(lambda: [sidx.knn_query(q, k=10) for q in qs])
    print(f"\none search call on a 1,000-vector database: qorel {a / len(qs) * 1e6:.1f} us, hnswlib knn_query "
          f"{b / len(qs) * 1e6:.1f} us, ratio {b / a:.2f}")

    # ---- graph search against recall
    mine = ours_sweep(db, queries, truth)
    theirs = theirs_sweep(idx, queries, truth)
    print("\ngraph search, one query per call, one thread, k=10")
    print("    ef   | qorel qps  recall | hnswlib qps  recall")
    for x, y in zip(mine, theirs):
        print(f"    {x['ef']:4d} | {x['qps']:9.0f}  {x['recall']:.4f} | {y['qps']:11.0f}  {y['recall']:.4f}")
    for target in (0.9, 0.95):
        x, y = first_at(mine, target), first_at(theirs, target)
        if x and y:
            print(f"  first ef reaching recall {target}: qorel {x['qps']:.0f} qps (ef {x['ef']}), hnswlib {y['qps']:.0f} qps "
                  f"(ef {y['ef']}), ratio {x['qps'] / y['qps']:.2f}")
        else:
            print(f"  recall {target}: qorel reaches it at no ef of the sweep" if y else "")
    best = max(mine, key=lambda r: r["recall"])
    ef = best["ef"]
    _, t = timed(db.search_many, queries, k=10, ef_search=ef)
    idx.set_num_threads(2)
    idx.set_ef(ef)
    _, th = timed(idx.knn_query, queries, k=10, num_threads=2)
    print(f"  search_many at ef {ef} (two threads): qorel {len(queries) / t:.0f} qps, hnswlib knn_query batch "
          f"{len(queries) / th:.0f} qps, ratio {th / t:.2f}")

    if args.search_only:
        return

    # ---- filtered search and count
    fq = list(queries[:200])
    _, t = timed(lambda: [dbm.search(q, k=10, where_filter={"category": "c3"}) for q in fq])
    print(f"\nfiltered search (category == one of 10 values): {len(fq) / t:.0f} qps")
    _, t = timed(lambda: [dbm.search(q, k=10, where_filter={"category": "c3", "price": {"$lt": 500}}) for q in fq])
    print(f"filtered search (category and price range): {len(fq) / t:.0f} qps")
    n, t = timed(dbm.count, {"category": "c3"})
    print(f"filtered count (category): {n} in {t * 1e3:.1f} ms")
    n, t = timed(dbm.count, {"price": {"$lt": 500}})
    print(f"filtered count (price range, every slot tested): {n} in {t * 1e3:.1f} ms")

    # ---- save and reopen
    path = os.path.join(tmp, "meta")
    _, t_save = timed(dbm.save)
    hpath = os.path.join(tmp, "hnsw.bin")
    _, t_hsave = timed(idx.save_index, hpath)
    print(f"\nsave with metadata: qorel {t_save:.2f} s, {dir_size(path) / 1e6:.1f} MB; hnswlib save_index "
          f"{t_hsave:.2f} s, {os.path.getsize(hpath) / 1e6:.1f} MB")
    del dbm
    _, t_open = timed(qorel.Database, path)
    h2 = hnswlib.Index(space="l2", dim=base.shape[1])
    _, t_hload = timed(h2.load_index, hpath)
    print(f"reopen {args.n}: qorel {t_open * 1e3:.0f} ms, hnswlib load_index {t_hload * 1e3:.0f} ms")
    quarter = args.n // 4
    qpath = os.path.join(tmp, "quarter")
    qdb = qorel.Database(qpath, dim=base.shape[1], metric="l2", m=args.m, ef_construction=args.efc)
    qdb.add_many(ids[:quarter], base[:quarter], metas[:quarter])
    qdb.save()
    del qdb
    _, t_open_q = timed(qorel.Database, qpath)
    print(f"reopen {quarter}: qorel {t_open_q * 1e3:.0f} ms (opening maps the vectors: it grows with the graph, "
          f"not with the vector bytes)")

    # ---- one-at-a-time add with the log
    logdb = qorel.Database(os.path.join(tmp, "log"), dim=base.shape[1], metric="l2", m=args.m, ef_construction=args.efc)
    count = 5000
    _, t = timed(lambda: [logdb.add(ids[i], base[i], metas[i]) for i in range(count)])
    wal = os.path.getsize(os.path.join(tmp, "log", "wal.qorel"))
    print(f"\none-at-a-time add with the log: {count / t:.0f} records/s, {wal / count:.0f} log bytes per record")

    # ---- deletion, compaction, get
    before = ours_sweep(db, queries[:300], truth[:300])
    victims = ids[::10]
    removed, t_del = timed(db.delete_many, victims)
    dead = set(range(0, args.n, 10))
    keep = np.array([i for i in range(args.n) if i not in dead])
    truth_live = keep[ground_truth(base[keep], queries[:300])]
    after_delete = ours_sweep(db, queries[:300], truth_live)
    _, t_compact = timed(db.compact)
    after_compact = ours_sweep(db, queries[:300], truth_live)
    print(f"\ndelete_many of {removed} ids: {t_del * 1e3:.0f} ms; compact: {t_compact:.1f} s")
    print("    ef   | recall before | after delete | after compact")
    for x, y, z in zip(before, after_delete, after_compact):
        print(f"    {x['ef']:4d} | {x['recall']:.4f}        | {y['recall']:.4f}       | {z['recall']:.4f}")
    live = [ids[i] for i in keep[:1000]]
    _, t = timed(lambda: [db.get(i) for _ in range(20) for i in live])
    print(f"get: {20 * len(live) / t:.0f} calls/s")
    shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
