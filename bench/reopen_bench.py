"""Reopening a saved database with metadata and answering its first query, beside hnswlib's
load_index on the same vectors.

    .venv/bin/python bench/reopen_bench.py                # 74,000 x 384, cosine
    .venv/bin/python bench/reopen_bench.py --n 20000      # smaller
    .venv/bin/python bench/reopen_bench.py --profile      # only reopen, in a loop (for perf)

Every row carries metadata shaped like a text chunk's: a "source" string among a few hundred
file names and a numeric "page". The vectors are random: what an open costs does not depend on
their content. Each figure is the median of --repeat opens of the same files (page cache warm).
"""

import argparse
import gc
import os
import statistics
import sys
import tempfile
import time

import numpy as np

import qorel


def rows(n, sources, seed=3):
    rng = np.random.default_rng(seed)
    src = rng.integers(0, sources, n).tolist()
    page = rng.integers(1, 400, n).tolist()
    return [{"source": f"/usr/share/man/man1/tool-{s:03d}.1.gz", "page": p} for s, p in zip(src, page)]


def reopen_once(path, query, cpu=None):
    gc.collect()
    c0 = time.thread_time()
    t0 = time.perf_counter()
    db = qorel.Database(path)
    db.search(query, k=10)
    el = time.perf_counter() - t0
    if cpu is not None:
        cpu.append(time.thread_time() - c0)
    del db
    return el


def hnswlib_load_once(path, dim, query, cpu):
    import hnswlib

    gc.collect()
    c0 = time.thread_time()
    t0 = time.perf_counter()
    idx = hnswlib.Index(space="cosine", dim=dim)
    idx.load_index(path)
    idx.knn_query(query, k=10, num_threads=1)
    el = time.perf_counter() - t0
    cpu.append(time.thread_time() - c0)
    del idx
    return el


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=74_000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--sources", type=int, default=300)
    ap.add_argument("--repeat", type=int, default=15)
    ap.add_argument("--profile", action="store_true", help="reopen in a loop for a profiler, nothing else")
    ap.add_argument("--dir", default=None, help="reuse or create the database here")
    args = ap.parse_args(argv)

    rng = np.random.default_rng(1)
    query = rng.standard_normal(args.dim).astype(np.float32)
    tmp = args.dir or tempfile.mkdtemp(prefix="qorel_reopen_")
    path = os.path.join(tmp, "db")
    base = None
    if not os.path.exists(os.path.join(path, "graph.qorel")):
        base = rng.standard_normal((args.n, args.dim)).astype(np.float32)
        db = qorel.Database(path, dim=args.dim, metric="cosine")
        t0 = time.perf_counter()
        db.add_many([f"chunk-{i}" for i in range(args.n)], base, rows(args.n, args.sources))
        db.save()
        print(f"built and saved {args.n} x {args.dim} in {time.perf_counter() - t0:.1f} s", file=sys.stderr)
        del db
    if args.profile:
        for _ in range(args.repeat):
            reopen_once(path, query)
        return

    cpu = []
    times = [reopen_once(path, query, cpu) for _ in range(args.repeat)]
    # The open runs on the calling thread: its CPU time is what it costs on an idle machine.
    print(f"qorel reopen + first query: median {statistics.median(times) * 1e3:.1f} ms, "
          f"min {min(times) * 1e3:.1f} ms, CPU median {statistics.median(cpu) * 1e3:.1f} ms "
          f"({args.n} x {args.dim}, metadata on every row)")
    try:
        import hnswlib
    except ImportError:
        print("hnswlib is not installed: no comparison")
        return
    if base is None:
        base = np.random.default_rng(1).standard_normal((args.n, args.dim)).astype(np.float32)
    hpath = os.path.join(tmp, "hnswlib.bin")
    if not os.path.exists(hpath):
        idx = hnswlib.Index(space="cosine", dim=args.dim)
        idx.init_index(max_elements=args.n, M=16, ef_construction=200)
        idx.add_items(base, np.arange(args.n), num_threads=2)
        idx.save_index(hpath)
        del idx
    hcpu = []
    htimes = [hnswlib_load_once(hpath, args.dim, query, hcpu) for _ in range(args.repeat)]
    q, h = statistics.median(times), statistics.median(htimes)
    print(f"hnswlib load_index + first query: median {h * 1e3:.1f} ms, min {min(htimes) * 1e3:.1f} ms, "
          f"CPU median {statistics.median(hcpu) * 1e3:.1f} ms")
    print(f"ratio qorel / hnswlib: {q / h:.2f} (CPU {statistics.median(cpu) / statistics.median(hcpu):.2f})")


if __name__ == "__main__":
    main()
