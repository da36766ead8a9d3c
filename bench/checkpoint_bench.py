"""How long a reopen takes after a run of upserts that nobody saved, with checkpoints on and off.

    .venv/bin/python bench/checkpoint_bench.py                       # 100,000 x 128, 20,000 upserts
    .venv/bin/python bench/checkpoint_bench.py --n 500000 --upserts 100000

N random rows are added and saved once. Then, for each policy, a copy of that directory is
opened with `checkpoint=<policy>` and takes --upserts upserts of stored ids (the costly kind to
replay: each one re-links its node) in batches of --batch, without save(); the handle is
dropped and the directory reopened, timed up to the answer of a first query. Printed per
policy: the time of the upserts, how many checkpoints they made, the log left behind, the
replay the database estimated for it, and the reopen.
"""

import argparse
import gc
import os
import shutil
import sys
import tempfile
import time

import numpy as np

import qorel


def policy(text):
    return None if text.lower() in ("none", "off") else float(text)


def run(base_path, work_path, args, checkpoint, rng_seed):
    if os.path.exists(work_path):
        shutil.rmtree(work_path)
    shutil.copytree(base_path, work_path)
    rng = np.random.default_rng(rng_seed)
    db = qorel.Database(work_path, checkpoint=checkpoint)
    # Opening maps the saved vectors; the first change copies them into memory. Done before
    # the clock starts so that both policies are timed from the same state.
    db.upsert("row-0", rng.standard_normal(args.dim).astype(np.float32))
    db.save()
    checkpoints, last = 0, db.stats()["last_checkpoint"]
    t0 = time.perf_counter()
    done = 0
    while done < args.upserts:
        size = min(args.batch, args.upserts - done)
        keys = rng.choice(args.n, size=size, replace=False)
        db.upsert_many([f"row-{k}" for k in keys], rng.standard_normal((size, args.dim)).astype(np.float32))
        done += size
        now = db.stats()["last_checkpoint"]
        if now != last:
            checkpoints, last = checkpoints + 1, now
    ingest = time.perf_counter() - t0
    stats = db.stats()
    del db
    gc.collect()
    query = rng.standard_normal(args.dim).astype(np.float32)
    t0 = time.perf_counter()
    again = qorel.Database(work_path)
    again.search(query, k=10)
    reopen = time.perf_counter() - t0
    replayed = again.stats()["wal_replay_seconds"]
    del again
    gc.collect()
    return ingest, checkpoints, stats["wal_bytes"], stats["wal_replay_seconds"], replayed, reopen


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--upserts", type=int, default=20_000)
    ap.add_argument("--batch", type=int, default=1_000)
    ap.add_argument("--policies", type=policy, nargs="+", default=[1.0, None],
                    help="checkpoint values to compare (seconds, or none)")
    ap.add_argument("--dir", default=None, help="reuse or create the saved base database here")
    args = ap.parse_args(argv)

    tmp = args.dir or tempfile.mkdtemp(prefix="qorel_checkpoint_")
    base = os.path.join(tmp, "base")
    if not os.path.exists(os.path.join(base, "graph.qorel")):
        rng = np.random.default_rng(1)
        t0 = time.perf_counter()
        db = qorel.Database(base, dim=args.dim, metric="cosine", checkpoint=None)
        for start in range(0, args.n, 50_000):
            count = min(50_000, args.n - start)
            db.add_many([f"row-{i}" for i in range(start, start + count)],
                        rng.standard_normal((count, args.dim)).astype(np.float32))
        t1 = time.perf_counter()
        db.save()
        t2 = time.perf_counter()
        del db
        print(f"built {args.n} x {args.dim} in {t1 - t0:.1f} s, saved in {t2 - t1:.2f} s", file=sys.stderr)
    t0 = time.perf_counter()
    gc.collect()
    qorel.Database(base).search(np.ones(args.dim, dtype=np.float32), k=10)
    print(f"open of the saved base + first query (no log): {time.perf_counter() - t0:.2f} s")

    print(f"{args.upserts} upserts of stored ids in batches of {args.batch}, {args.n} x {args.dim}")
    print(f"{'checkpoint':>10}  {'upserts s':>9}  {'ckpts':>5}  {'log MB':>7}  {'est. s':>6}  {'replayed s':>10}  {'reopen s':>8}")
    for i, p in enumerate(args.policies):
        ingest, count, log, estimate, replayed, reopen = run(base, os.path.join(tmp, f"run{i}"), args, p, 7)
        print(f"{str(p):>10}  {ingest:9.1f}  {count:5d}  {log / 1e6:7.1f}  {estimate:6.2f}  {replayed:10.2f}  {reopen:8.2f}")
    if not args.dir:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
