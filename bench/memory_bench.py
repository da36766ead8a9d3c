"""Resident memory of a batch build and batch-search throughput, qorel beside hnswlib.

    python bench/memory_bench.py [--n 200000] [--dim 128] [--nq 2000] [--engines qorel,hnswlib,search]

Each engine builds the reference mixture in a fresh process (so that the growth of its resident
set is its own) with m 16, ef_construction 200 and two threads, then answers all queries in one
batch at ef 40. For qorel the report also splits the heap: what the allocator holds in use,
what it holds free without having returned it to the system, and what a malloc_trim gives back.
Print-only; absolute figures depend on the machine's load, ratios measured in one run do not.
"""

import argparse
import ctypes
import gc
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from common import dataset, rss_bytes  # noqa: E402

M, EFC, THREADS, EF, K = 16, 200, 2, 40, 10


class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def heap():
    """glibc's view of the heap in MB: in use, free but kept, and in large mapped blocks."""
    libc = ctypes.CDLL("libc.so.6")
    libc.mallinfo2.restype = Mallinfo2
    info = libc.mallinfo2()
    return {"in_use_mb": info.uordblks / 1e6, "free_kept_mb": info.fordblks / 1e6, "mapped_mb": info.hblkhd / 1e6}


def trim():
    ctypes.CDLL("libc.so.6").malloc_trim(0)


def worker(engine, n, dim, nq):
    base, queries = dataset("reference", n, nq, dim=dim)
    ids = [str(i) for i in range(n)]
    tmp = tempfile.mkdtemp(prefix="qorel_mem_")
    try:
        gc.collect()
        before = rss_bytes()
        t0 = time.perf_counter()
        if engine == "qorel":
            import qorel

            db = qorel.Database(os.path.join(tmp, "db"), dim=dim, metric="l2", m=M, ef_construction=EFC)
            db.add_many(ids, base)
            search = lambda: db.search_many(queries, k=K, ef_search=EF)  # noqa: E731
        else:
            import hnswlib

            idx = hnswlib.Index(space="l2", dim=dim)
            idx.init_index(max_elements=n, M=M, ef_construction=EFC)
            idx.set_num_threads(THREADS)
            idx.add_items(base, np.arange(n))
            idx.set_ef(EF)
            search = lambda: idx.knn_query(queries, k=K)  # noqa: E731
        build = time.perf_counter() - t0
        gc.collect()
        out = {"build_s": build, "rss_added_mb": (rss_bytes() - before) / 1e6, "heap": heap()}
        if engine == "qorel":
            st = db.stats()
            out["vectors_mb"] = st["memory_vectors_bytes"] / 1e6
            out["graph_mb"] = st["memory_graph_bytes"] / 1e6
        trim()
        out["rss_added_after_trim_mb"] = (rss_bytes() - before) / 1e6
        search()
        times = []
        for _ in range(5):
            t0 = time.perf_counter()
            search()
            times.append(time.perf_counter() - t0)
        out["batch_qps"] = nq / min(times)
        return out
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def worker_search(n, dim, nq):
    """search_many at ef 40 beside hnswlib's batch knn_query on the same data in one process,
    timed in alternation (best of seven each), so that both see the same machine."""
    import hnswlib
    import qorel

    base, queries = dataset("reference", n, nq, dim=dim)
    tmp = tempfile.mkdtemp(prefix="qorel_mem_")
    try:
        db = qorel.Database(os.path.join(tmp, "db"), dim=dim, metric="l2", m=M, ef_construction=EFC)
        db.add_many([str(i) for i in range(n)], base)
        idx = hnswlib.Index(space="l2", dim=dim)
        idx.init_index(max_elements=n, M=M, ef_construction=EFC)
        idx.set_num_threads(THREADS)
        idx.add_items(base, np.arange(n))
        idx.set_ef(EF)
        ours = lambda: db.search_many(queries, k=K, ef_search=EF)  # noqa: E731
        theirs = lambda: idx.knn_query(queries, k=K)  # noqa: E731
        ours(), theirs()
        t_ours, t_theirs = [], []
        for _ in range(7):
            for fn, times in ((ours, t_ours), (theirs, t_theirs)):
                t0 = time.perf_counter()
                fn()
                times.append(time.perf_counter() - t0)
        return {"qorel_qps": nq / min(t_ours), "hnswlib_qps": nq / min(t_theirs),
                "ratio": min(t_theirs) / min(t_ours)}
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--nq", type=int, default=2000)
    ap.add_argument("--engines", default="qorel,hnswlib",
                    help="engines measured apart; 'search' adds both batch searches timed in one process")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.worker:
        out = worker_search(a.n, a.dim, a.nq) if a.worker == "search" else worker(a.worker, a.n, a.dim, a.nq)
        print(json.dumps(out))
        return
    results = {}
    for engine in a.engines.split(","):
        cmd = [sys.executable, __file__, "--worker", engine, "--n", str(a.n), "--dim", str(a.dim), "--nq", str(a.nq)]
        results[engine] = json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)
        print(engine, json.dumps(results[engine]), flush=True)
    if "qorel" in results and "hnswlib" in results:
        q, h = results["qorel"], results["hnswlib"]
        print(f"memory added qorel / hnswlib: {q['rss_added_mb']:.0f} / {h['rss_added_mb']:.0f} MB "
              f"({q['rss_added_mb'] / h['rss_added_mb']:.2f}x); build {q['build_s'] / h['build_s']:.2f}x; "
              f"search_many ef {EF} {q['batch_qps'] / h['batch_qps']:.2f}x hnswlib's queries/s (separate processes)")
    if "search" in results:
        print(f"search_many ef {EF}, same process: {results['search']['ratio']:.2f}x hnswlib's batch knn_query")


if __name__ == "__main__":
    main()
