"""Reader processes beside one writer: queries/s of 1, 2 and 4 read-only processes searching one
database while a writer process adds rows (and saves now and then), and what a reader's
refresh() after a save costs beside a plain reopen.

    .venv/bin/python bench/readers_bench.py                 # 1,000,000 x 128 (built once, kept)
    .venv/bin/python bench/readers_bench.py --n 200000 --seconds 5

The database is built once under build/bench_data/readers-<n> and reused. This machine has two
cores, which caps what two or more readers can add up to.
"""

import argparse
import multiprocessing as mp
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import dataset  # noqa: E402

import qorel  # noqa: E402


def reader(path, queries, seconds, start, out):
    db = qorel.Database(path, read_only=True)
    start.wait()
    done, t0 = 0, time.perf_counter()
    while time.perf_counter() - t0 < seconds:
        db.search(queries[done % len(queries)], k=10)
        done += 1
    out.put(done / (time.perf_counter() - t0))


def writer(path, stop, dim):
    db = qorel.Database(path)
    rng = np.random.default_rng()
    run = f"{os.getpid()}-{time.time_ns()}"
    i = 0
    while not stop.is_set():
        db.add_many([f"w{run}-{i}-{j}" for j in range(100)], rng.standard_normal((100, dim)).astype(np.float32))
        i += 1
        if i % 20 == 0:
            db.save()
        time.sleep(0.2)
    db.save()


def readers_qps(path, queries, count, seconds):
    ctx = mp.get_context("spawn")
    start, out, stop = ctx.Event(), ctx.Queue(), ctx.Event()
    w = ctx.Process(target=writer, args=(path, stop, queries.shape[1]))
    w.start()
    procs = [ctx.Process(target=reader, args=(path, queries, seconds, start, out)) for _ in range(count)]
    for p in procs:
        p.start()
    time.sleep(1.0)  # every reader has opened
    start.set()
    rates = [out.get() for _ in procs]
    for p in procs:
        p.join()
    stop.set()
    w.join()
    return sum(rates)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--seconds", type=float, default=10.0)
    args = ap.parse_args()
    path = os.path.join("build", "bench_data", f"readers-{args.n}")
    base, queries = dataset("reference", args.n, 1000)
    if not os.path.exists(os.path.join(path, "graph.qorel")):
        t = time.perf_counter()
        db = qorel.Database(path, dim=base.shape[1], metric="l2")
        db.add_many([str(i) for i in range(args.n)], base)
        db.save()
        del db
        print(f"built {args.n:,} x {base.shape[1]} in {time.perf_counter() - t:.0f} s")
    one = readers_qps(path, queries, 1, args.seconds)
    print(f"1 reader: {one:,.0f} queries/s (a writer adding 500 rows/s beside it)")
    for count in (2, 4):
        total = readers_qps(path, queries, count, args.seconds)
        print(f"{count} readers: {total:,.0f} queries/s together, {total / one:.2f}x one reader")

    # A reader's refresh after a save, beside a plain reopen of the same state (medians of 6):
    # the reader reopening drops the handle it held, as a refresh lets go of the state it held.
    db = qorel.Database(path)
    rd = qorel.Database(path, read_only=True)
    again = qorel.Database(path, read_only=True)
    rng = np.random.default_rng()
    refreshes, reopens = [], []
    for round in range(6):
        db.add_many([f"r{time.time_ns()}-{i}" for i in range(1000)], rng.standard_normal((1000, base.shape[1])).astype(np.float32))
        db.save()
        time.sleep(1)  # the save's dirty pages are written back before either is timed
        # Whichever reads the new files first pays for their first touch: the order alternates.
        for step in ("refresh", "reopen") if round % 2 == 0 else ("reopen", "refresh"):
            t = time.perf_counter()
            if step == "refresh":
                rd.refresh()
                refreshes.append(time.perf_counter() - t)
            else:
                del again  # the last reference: its state is freed here
                again = qorel.Database(path, read_only=True)
                reopens.append(time.perf_counter() - t)
        assert len(again) == len(rd) == len(db)
    refresh, reopen = float(np.median(refreshes)), float(np.median(reopens))
    print(f"refresh after a save {refresh * 1000:.1f} ms, plain reopen {reopen * 1000:.1f} ms "
          f"({refresh / reopen:.2f}x; medians of 6)")


if __name__ == "__main__":
    main()
