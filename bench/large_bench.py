"""A database larger than the memory its process holds: a quantized database built, saved,
reopened, queried and written to while its anonymous memory (RssAnon in /proc/self/status, the
memory that is the process's own rather than the page cache's) stays bounded.

    .venv/bin/python bench/large_bench.py                          # 2,000,000 x 768
    .venv/bin/python bench/large_bench.py --n 200000 --dim 256     # a quick look

The rows are embedding-like: points of a 1,000-cluster mixture in a 48-dimensional space, sent
into --dim dimensions by a fixed random projection, plus a little noise of their own (real
embeddings also vary along far fewer directions than they have components). They are made
batch by batch from seeds, so no phase holds them all; the exact neighbours of the queries are
computed while the rows are made.

Phases, each in a process of its own so that its RssAnon is its own:
  build   add rows in batches, save every --save-every rows (rows saved go over to the mapped
          file), final save; peak RssAnon.
  query   reopen; recall@10 at the default ef_search (quantized walk, full-precision re-ranking)
          and queries/s with the vectors file in the page cache ("warm") and after its pages
          were dropped from it ("cold": re-ranking reads them from the disk); RssAnon.
  write   reopen; add --add rows and save; RssAnon after each step.
The database is kept under build/bench_data/large-<n>x<dim> and reused when complete.
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

INTRINSIC, CENTRES, K, QUERIES, BATCH = 48, 1000, 10, 200, 10_000


def rss_anon():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


class Rows:
    """Row batches of the data set, made from seeds so that any batch can be made again."""

    def __init__(self, dim, seed=7):
        rng = np.random.default_rng(seed)
        self.centres = rng.standard_normal((CENTRES, INTRINSIC)).astype(np.float32) * 2.0
        self.projection = (rng.standard_normal((INTRINSIC, dim)) / np.sqrt(INTRINSIC)).astype(np.float32)
        self.dim = dim

    def make(self, n, seed):
        rng = np.random.default_rng(seed)
        z = self.centres[rng.integers(0, CENTRES, n)] + rng.standard_normal((n, INTRINSIC)).astype(np.float32)
        return (z @ self.projection + 0.05 * rng.standard_normal((n, self.dim)).astype(np.float32)).astype(np.float32)

    def batch(self, b):
        return self.make(BATCH, 1000 + b)

    def queries(self):
        return self.make(QUERIES, 1)


def build(args, path):
    import qorel

    rows = Rows(args.dim)
    queries = rows.queries()
    q2 = (queries.astype(np.float64) ** 2).sum(1)
    best_d = np.full((QUERIES, K), np.inf)
    best_i = np.zeros((QUERIES, K), dtype=np.int64)
    db = qorel.Database(path, dim=args.dim, metric="l2", quantize=True)
    peak, t0, saves = rss_anon(), time.perf_counter(), 0
    for b in range(args.n // BATCH):
        x = rows.batch(b)
        db.add_many([str(b * BATCH + i) for i in range(BATCH)], x)
        # The exact neighbours, merged batch by batch.
        d = q2[:, None] - 2.0 * queries.astype(np.float64) @ x.T.astype(np.float64) + (x.astype(np.float64) ** 2).sum(1)[None, :]
        all_d = np.concatenate([best_d, d], 1)
        all_i = np.concatenate([best_i, np.arange(b * BATCH, (b + 1) * BATCH)[None, :].repeat(QUERIES, 0)], 1)
        keep = np.argsort(all_d, 1)[:, :K]
        best_d, best_i = np.take_along_axis(all_d, keep, 1), np.take_along_axis(all_i, keep, 1)
        if ((b + 1) * BATCH) % args.save_every == 0:
            db.save()
            saves += 1
        peak = max(peak, rss_anon())
    db.save()
    peak = max(peak, rss_anon())
    np.save(os.path.join(path, "..", os.path.basename(path) + "-truth.npy"), best_i)
    return {"seconds": time.perf_counter() - t0, "saves": saves + 1, "peak_rss_anon": peak, "end_rss_anon": rss_anon()}


def drop_cached(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def query(args, path):
    import qorel

    truth = np.load(os.path.join(path, "..", os.path.basename(path) + "-truth.npy"))
    queries = Rows(args.dim).queries()
    out = {"before_open": rss_anon()}
    t = time.perf_counter()
    db = qorel.Database(path)
    out["open_seconds"] = time.perf_counter() - t
    out["after_open"] = rss_anon()
    out["quantized"] = db.quantized_search

    def run():
        found = []
        t = time.perf_counter()
        for q in queries:
            found.append([int(r.id) for r in db.search(q, k=K)])
        qps = len(queries) / (time.perf_counter() - t)
        hits = sum(len(set(f) & set(int(x) for x in t_)) for f, t_ in zip(found, truth))
        return qps, hits / (len(truth) * K)

    drop_cached(os.path.join(path, "vectors.bin"))
    out["cold_qps"], out["recall"] = run()
    run()
    out["warm_qps"], _ = run()
    out["after_queries"] = rss_anon()
    # The same database walked at full precision, every row it touches in memory: what the
    # quantized walk over the mapped file is measured against.
    db.disable_quantized_search()
    run()
    out["full_qps"], out["full_recall"] = run()
    return out


def write(args, path):
    import qorel

    out = {}
    db = qorel.Database(path)
    out["after_open"] = rss_anon()
    x = Rows(args.dim).make(args.add, 2)
    t = time.perf_counter()
    db.add_many([f"new{i}" for i in range(args.add)], x)
    out["add_seconds"] = time.perf_counter() - t
    out["after_add"] = rss_anon()
    t = time.perf_counter()
    db.save()
    out["save_seconds"] = time.perf_counter() - t
    out["after_save"] = rss_anon()
    # Undone so that the next run finds the database as built.
    db.delete_many([f"new{i}" for i in range(args.add)])
    db.save()
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=2_000_000)
    ap.add_argument("--dim", type=int, default=768)
    ap.add_argument("--save-every", type=int, default=200_000)
    ap.add_argument("--add", type=int, default=1000)
    ap.add_argument("--dir", default=None)
    ap.add_argument("--out", default=None, help="write the figures as JSON here")
    ap.add_argument("--phase", choices=["build", "query", "write"], help=argparse.SUPPRESS)
    args = ap.parse_args()
    args.n -= args.n % BATCH
    here = os.path.dirname(os.path.abspath(__file__))
    path = args.dir or os.path.join(here, "..", "build", "bench_data", f"large-{args.n}x{args.dim}")
    if args.phase:
        print(json.dumps({"build": build, "query": query, "write": write}[args.phase](args, path)))
        return

    def phase(name):
        cmd = [sys.executable, __file__, "--phase", name, "--n", str(args.n), "--dim", str(args.dim),
               "--save-every", str(args.save_every), "--add", str(args.add), "--dir", path]
        return json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.splitlines()[-1])

    vectors_gb = args.n * args.dim * 4 / 1e9
    print(f"{args.n:,} x {args.dim} ({vectors_gb:.1f} GB of float32), quantized, l2; load {os.getloadavg()[0]:.1f}")
    report = {"n": args.n, "dim": args.dim, "vectors_gb": vectors_gb}
    if not os.path.exists(os.path.join(path, "..", os.path.basename(path) + "-truth.npy")):
        import shutil

        shutil.rmtree(path, ignore_errors=True)
        report["build"] = b = phase("build")
        print(f"build: {b['seconds']:.0f} s, {b['saves']} saves, peak RssAnon {b['peak_rss_anon'] / 1e9:.2f} GB")
    report["query"] = q = phase("query")
    print(f"reopen: {q['open_seconds']:.2f} s, RssAnon {q['after_open'] / 1e9:.2f} GB; recall@10 {q['recall']:.3f}; "
          f"{q['warm_qps']:,.0f} queries/s warm, {q['cold_qps']:,.0f} cold (vectors dropped from the page cache); "
          f"RssAnon after queries {q['after_queries'] / 1e9:.2f} GB")
    print(f"full precision, rows in memory: recall@10 {q['full_recall']:.3f}, {q['full_qps']:,.0f} queries/s "
          f"(quantized warm / full: {q['warm_qps'] / q['full_qps']:.2f}x)")
    report["write"] = w = phase("write")
    print(f"add {args.add}: {w['add_seconds']:.2f} s, RssAnon {w['after_add'] / 1e9:.2f} GB; "
          f"save {w['save_seconds']:.2f} s, RssAnon {w['after_save'] / 1e9:.2f} GB")
    if args.out:
        with open(args.out, "w") as f:
            json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
