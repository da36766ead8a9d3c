"""The whole benchmark in one run: qorel beside hnswlib, usearch and faiss (HNSW and flat) on
the same data, written as JSON under docs/bench/ and drawn into docs/ by bench/plots.py.

    bash bench/run_all.sh            # 200,000 x 128 mixture, 12,000 and 100,000 sentences
    bash bench/run_all.sh --quick    # a few minutes: 80,000 x 128, 2,000 and 30,000 sentences
    bash bench/run_all.sh --sets text100k --engines qorel,hnswlib

Data sets (--sets): "mixture", the reference Gaussian mixture of bench/common.py (squared L2);
"text", real text embeddings of manual-page sentences (bench/text_embeddings.py, cosine), small
enough that qorel scans them exactly; "text100k", 100,000 distinct sentences of this machine's
manuals, package documentation and Python docstrings embedded with the same model, which qorel
searches through its graph; "mixture1m", the same mixture at 1,000,000 rows; "exact", the exact
scan below; "filtered", the selectivity table; "correlated", filters that follow the data
(bench/correlated_bench.py); "contains", list fields (bench/contains_bench.py); "text_search",
keyword search beside SQLite's FTS5 and hybrid search (bench/text_search_bench.py).
Every engine builds and searches in its own process, so that its resident-memory growth is its
own, with m 16, ef_construction 200, two threads for builds and batches, one thread for single
queries.

Per data set and engine: build time, resident memory added by the build, recall@10 against
queries/s over an ef sweep (one query per call), a batch of all queries at ef 40 (two threads),
and save, reopen and the first query. Then the exact scan: qorel's search_many below its graph
threshold beside faiss IndexFlatL2 on 50,000 x 128 (the same data, two threads), and a single
exact query beside one read of the same bytes. Then the filtered-selectivity table, when
bench/filtered_bench.py is present and --sets names it.
"""

import argparse
import gc
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from common import dataset, ground_truth, recall, rss_bytes  # noqa: E402

EFS = [10, 20, 40, 80, 160, 320]
# Sentence embeddings, and the mixture at a million rows, need a wider beam for the same recall.
WIDE_EFS = EFS + [640]
RECALLS = (0.90, 0.95, 0.99)
K = 10
M, EFC, THREADS = 16, 200, 2
BATCH_EF = 40


def timed(fn, *a, **kw):
    t0 = time.perf_counter()
    out = fn(*a, **kw)
    return out, time.perf_counter() - t0


# ---------------------------------------------------------------- engines (run in a worker)

class Qorel:
    name = "qorel"

    def __init__(self, dim, metric, path):
        import qorel

        self.qorel, self.path, self.dim = qorel, path, dim
        self.db = qorel.Database(path, dim=dim, metric={"l2": "l2", "cos": "cosine"}[metric], m=M, ef_construction=EFC)

    def build(self, base, meta):
        self.db.add_many([str(i) for i in range(len(base))], base, meta)

    def set_ef(self, ef):
        self.ef = ef

    def query(self, q):
        return [int(h.id) for h in self.db.search(q, k=K, ef_search=self.ef)]

    def batch(self, queries):
        return [[int(h.id) for h in r] for r in self.db.search_many(queries, k=K, ef_search=self.ef)]

    def reopen(self, q):
        self.db.save()
        del self.db
        gc.collect()
        t0 = time.perf_counter()
        self.db = self.qorel.Database(self.path)
        self.db.search(q, k=K)
        return time.perf_counter() - t0


class Hnswlib:
    name = "hnswlib"

    def __init__(self, dim, metric, path):
        import hnswlib

        self.hnswlib, self.path, self.space = hnswlib, path + ".bin", {"l2": "l2", "cos": "cosine"}[metric]
        self.idx = hnswlib.Index(space=self.space, dim=dim)
        self.dim = dim

    def build(self, base, meta):
        self.idx.init_index(max_elements=len(base), M=M, ef_construction=EFC)
        self.idx.add_items(base, np.arange(len(base)), num_threads=THREADS)

    def set_ef(self, ef):
        self.idx.set_ef(ef)

    def query(self, q):
        return self.idx.knn_query(q, k=K, num_threads=1)[0][0]

    def batch(self, queries):
        return self.idx.knn_query(queries, k=K, num_threads=THREADS)[0]

    def reopen(self, q):
        self.idx.save_index(self.path)
        del self.idx
        gc.collect()
        t0 = time.perf_counter()
        self.idx = self.hnswlib.Index(space=self.space, dim=self.dim)
        self.idx.load_index(self.path)
        self.idx.knn_query(q, k=K)
        return time.perf_counter() - t0


class FaissHnsw:
    name = "faiss-hnsw"

    def __init__(self, dim, metric, path):
        import faiss

        self.faiss, self.path, self.metric = faiss, path + ".faiss", metric
        kind = faiss.METRIC_L2 if metric == "l2" else faiss.METRIC_INNER_PRODUCT
        self.idx = faiss.IndexHNSWFlat(dim, M, kind)
        self.idx.hnsw.efConstruction = EFC

    def build(self, base, meta):
        self.faiss.omp_set_num_threads(THREADS)
        self.idx.add(base)

    def set_ef(self, ef):
        self.idx.hnsw.efSearch = ef

    def query(self, q):
        self.faiss.omp_set_num_threads(1)
        return self.idx.search(q[None, :], K)[1][0]

    def batch(self, queries):
        self.faiss.omp_set_num_threads(THREADS)
        return self.idx.search(queries, K)[1]

    def reopen(self, q):
        self.faiss.write_index(self.idx, self.path)
        del self.idx
        gc.collect()
        t0 = time.perf_counter()
        self.idx = self.faiss.read_index(self.path)
        self.idx.search(q[None, :], K)
        return time.perf_counter() - t0


class Usearch:
    name = "usearch"

    def __init__(self, dim, metric, path):
        from usearch.index import Index

        self.Index, self.path = Index, path + ".usearch"
        self.idx = Index(ndim=dim, metric={"l2": "l2sq", "cos": "cos"}[metric], dtype="f32", connectivity=M,
                         expansion_add=EFC)

    def build(self, base, meta):
        self.idx.add(np.arange(len(base)), base, threads=THREADS)

    def set_ef(self, ef):
        self.idx.expansion_search = ef

    def query(self, q):
        return self.idx.search(q, K, threads=1).keys

    def batch(self, queries):
        return self.idx.search(queries, K, threads=THREADS).keys

    def reopen(self, q):
        self.idx.save(self.path)
        del self.idx
        gc.collect()
        t0 = time.perf_counter()
        self.idx = self.Index.restore(self.path)
        self.idx.search(q, K)
        return time.perf_counter() - t0


ENGINES = {e.name: e for e in (Qorel, Hnswlib, FaissHnsw, Usearch)}


def qps_at(sweep, target):
    """Single queries/s at a recall, read off the ef sweep between the two points around it
    (log-linear in queries/s); None when the sweep does not reach it."""
    pts = sorted((p["recall"], p["qps"]) for p in sweep)
    if pts[0][0] >= target:
        return max(q for r, q in pts if r >= target)
    for (r0, q0), (r1, q1) in zip(pts, pts[1:]):
        if r0 < target <= r1:
            return math.exp(math.log(q0) + (target - r0) / (r1 - r0) * (math.log(q1) - math.log(q0)))
    return None


def worker_graph(engine, data_dir, metric, efs=EFS):
    base = np.load(os.path.join(data_dir, "base.npy"))
    queries = np.load(os.path.join(data_dir, "queries.npy"))
    truth = np.load(os.path.join(data_dir, "truth.npy"))
    meta_path = os.path.join(data_dir, "meta.json")
    meta = json.load(open(meta_path)) if os.path.exists(meta_path) else None
    tmp = tempfile.mkdtemp(prefix="qorel_suite_")
    try:
        gc.collect()
        before = rss_bytes()
        e = ENGINES[engine](base.shape[1], metric, os.path.join(tmp, "db"))
        _, build = timed(e.build, base, meta if engine == "qorel" else None)
        added = rss_bytes() - before
        sweep = []
        for ef in efs:
            e.set_ef(ef)
            for q in queries[:20]:
                e.query(q)
            t0 = time.perf_counter()
            found = [e.query(q) for q in queries]
            s = time.perf_counter() - t0
            sweep.append({"ef": ef, "qps": len(queries) / s, "recall": recall(found, truth)})
        e.set_ef(BATCH_EF)
        e.batch(queries[:50])
        found, t = timed(e.batch, queries)
        batch = {"ef": BATCH_EF, "qps": len(queries) / t, "recall": recall(found, truth)}
        reopen = e.reopen(queries[0])
        out = {"build_s": build, "rss_added_mb": added / 1e6, "sweep": sweep, "batch": batch,
               "reopen_first_query_ms": reopen * 1e3}
        if engine == "qorel":
            out["exact_scan"] = e.db.stats()["uses_brute_force"]
        return out
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def worker_exact(data_dir):
    """qorel's search_many below its graph threshold beside faiss IndexFlatL2, both batched on two
    threads in one process, timed in alternation (best of seven each) so that both see the same
    machine; then one exact qorel query beside one read of the same bytes."""
    import faiss
    import qorel

    base = np.load(os.path.join(data_dir, "base.npy"))
    queries = np.load(os.path.join(data_dir, "queries.npy"))
    truth = np.load(os.path.join(data_dir, "truth.npy"))
    tmp = tempfile.mkdtemp(prefix="qorel_suite_")
    try:
        faiss.omp_set_num_threads(THREADS)
        flat = faiss.IndexFlatL2(base.shape[1])
        flat.add(base)
        db = qorel.Database(os.path.join(tmp, "db"), dim=base.shape[1], metric="l2")
        db.add_many([str(i) for i in range(len(base))], base)
        ours = lambda: db.search_many(queries, k=K)  # noqa: E731
        theirs = lambda: flat.search(queries, K)  # noqa: E731
        ours(), theirs()
        t_ours, t_theirs = [], []
        for _ in range(7):
            t_ours.append(timed(ours)[1])
            t_theirs.append(timed(theirs)[1])
        found = [[int(h.id) for h in r] for r in ours()]
        out = {"uses_brute_force": db.stats()["uses_brute_force"],
               "qorel": {"batch_qps": len(queries) / min(t_ours), "recall": recall(found, truth)},
               "faiss-flat": {"batch_qps": len(queries) / min(t_theirs), "recall": recall(theirs()[1], truth)}}
        single = queries[:200]
        t_single = min(timed(lambda: [db.search(q, k=K) for q in single])[1] for _ in range(3)) / len(single)
        # The floor: one pass over as many bytes as the stored vectors, summed with NumPy.
        copy = np.array(base, copy=True)
        t_read = min(timed(lambda: [copy.sum() for _ in range(20)])[1] for _ in range(3)) / 20
        # The same single queries through faiss IndexFlatL2 on one thread, as qorel's run.
        faiss.omp_set_num_threads(1)
        t_faiss = min(timed(lambda: [flat.search(q[None, :], K) for q in single])[1] for _ in range(3)) / len(single)
        faiss.omp_set_num_threads(THREADS)
        out["single"] = {"query_ms": t_single * 1e3, "read_ms": t_read * 1e3, "ratio": t_single / t_read,
                         "faiss_query_ms": t_faiss * 1e3, "faiss_ratio": t_single / t_faiss}
        return out
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


# ---------------------------------------------------------------- orchestration

def run_worker(args):
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", *args]
    res = subprocess.run(cmd, capture_output=True, text=True)
    if res.returncode != 0:
        print(res.stderr[-3000:], file=sys.stderr)
        return {"error": res.stderr.strip().splitlines()[-1] if res.stderr.strip() else f"exit {res.returncode}"}
    return json.loads(res.stdout.strip().splitlines()[-1])


def save_set(d, base, queries, meta=None):
    os.makedirs(d, exist_ok=True)
    np.save(os.path.join(d, "base.npy"), base)
    np.save(os.path.join(d, "queries.npy"), queries)
    np.save(os.path.join(d, "truth.npy"), ground_truth(base, queries, K))
    if meta is not None:
        json.dump(meta, open(os.path.join(d, "meta.json"), "w"))


def prepare(args, wanted):
    root = os.path.join(args.data, "quick" if args.quick else "full")
    sets = {}
    d = os.path.join(root, "mixture")
    if "mixture" in wanted and not os.path.exists(os.path.join(d, "truth.npy")):
        base, queries = dataset("reference", args.n, args.queries)
        save_set(d, base, queries)
    sets["mixture"] = (d, "l2", f"reference mixture {args.n:,} x 128, squared L2")
    d = os.path.join(root, "mixture1m")
    if "mixture1m" in wanted and not os.path.exists(os.path.join(d, "truth.npy")):
        base, queries = dataset("reference", args.n_large, args.queries)
        save_set(d, base, queries)
    sets["mixture1m"] = (d, "l2", f"reference mixture {args.n_large:,} x 128, squared L2")
    d = os.path.join(root, "text")
    if "text" not in wanted:
        pass
    elif not os.path.exists(os.path.join(d, "truth.npy")):
        import text_embeddings

        emb, sentences, pages = text_embeddings.load(args.data, args.sentences + args.queries)
        # Held-out queries drawn from every part of the set, not from the last pages.
        order = np.random.default_rng(7).permutation(len(emb))
        held, kept = order[:args.queries], np.sort(order[args.queries:])
        meta = [{"page": pages[i], "words": len(sentences[i].split())} for i in kept]
        save_set(d, np.ascontiguousarray(emb[kept]), np.ascontiguousarray(emb[held]), meta)
    n_text = len(np.load(os.path.join(d, "base.npy"), mmap_mode="r")) if "text" in wanted else 0
    sets["text"] = (d, "cos", f"all-MiniLM-L6-v2 embeddings of {n_text:,} manual-page sentences, 384 d, cosine, "
                              "with metadata in qorel")
    d = os.path.join(root, "text100k")
    if "text100k" in wanted and not os.path.exists(os.path.join(d, "truth.npy")):
        import text_embeddings

        # The pool comes shuffled, so its first sentences are held-out queries from every source.
        emb, _, _ = text_embeddings.load(args.data, args.corpus + args.queries, source="corpus")
        save_set(d, np.ascontiguousarray(emb[args.queries:]), np.ascontiguousarray(emb[:args.queries]))
    sets["text100k"] = (d, "cos", f"all-MiniLM-L6-v2 embeddings of {args.corpus:,} distinct sentences of manuals, "
                                  "package documentation and Python docstrings, 384 d, cosine, graph search")
    d = os.path.join(root, "exact")
    if "exact" in wanted and not os.path.exists(os.path.join(d, "truth.npy")):
        base, queries = dataset("reference", args.exact_n, 1000)
        save_set(d, base, queries)
    sets["exact"] = (d, None, f"reference mixture {args.exact_n:,} x 128, 1,000 queries, squared L2")
    return sets


def filtered_hook(args, out_dir):
    """HOOK: the filtered-selectivity table comes from bench/filtered_bench.py when it is present
    (run as `python bench/filtered_bench.py [--quick]`); its printed table is kept as text, and a
    docs/bench/filtered.json it writes is drawn by plots.py."""
    script = os.path.join(HERE, "filtered_bench.py")
    if not os.path.exists(script):
        print("\n== filtered selectivity: bench/filtered_bench.py is not present; table skipped")
        return {"skipped": "bench/filtered_bench.py not present"}
    cmd = [sys.executable, script] + (["--quick"] if args.quick else [])
    res = subprocess.run(cmd, capture_output=True, text=True)
    with open(os.path.join(out_dir, "filtered.txt"), "w") as f:
        f.write(res.stdout)
    print("\n== filtered selectivity\n" + res.stdout)
    return {"returncode": res.returncode, "text": "docs/bench/filtered.txt"}


def correlated_hook(args, out_dir):
    """Filters that follow the data (whole clusters match): bench/correlated_bench.py, its rows
    written to docs/bench/correlated.json and drawn beside the filtered chart."""
    path = os.path.join(out_dir, "correlated.json")
    cmd = [sys.executable, os.path.join(HERE, "correlated_bench.py"), "--out", path]
    if args.quick:
        cmd += ["--rows", "30000", "--queries", "50"]
    res = subprocess.run(cmd, capture_output=True, text=True)
    print("\n== filters that follow the data\n" + res.stdout + res.stderr[-2000:])
    return {"returncode": res.returncode, "json": "docs/bench/correlated.json"}


def script_hook(args, out_dir, script, name, title, quick_args, extra=()):
    """A benchmark with a script of its own, run in its own process, its figures written to
    docs/bench/NAME.json (NAME_quick.json for --quick)."""
    path = os.path.join(out_dir, f"{name}_quick.json" if args.quick else f"{name}.json")
    cmd = [sys.executable, os.path.join(HERE, script), "--out", path, *extra, *(quick_args if args.quick else [])]
    res = subprocess.run(cmd, capture_output=True, text=True)
    print(f"\n== {title}\n" + res.stdout + res.stderr[-2000:])
    return {"returncode": res.returncode, "json": path}


SCRIPT_SETS = {
    "contains": ("contains_bench.py", "list fields", ["--n", "80000", "--queries", "200"]),
    "text_search": ("text_search_bench.py", "keyword search beside FTS5, and hybrid search", ["--quick"]),
}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        kind = sys.argv[2]
        if kind == "graph":
            print(json.dumps(worker_graph(sys.argv[3], sys.argv[4], sys.argv[5], [int(x) for x in sys.argv[6:]] or EFS)))
        else:
            print(json.dumps(worker_exact(sys.argv[3])))
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--data", default="build/bench_data")
    ap.add_argument("--out", default="docs/bench")
    ap.add_argument("--engines", default=",".join(ENGINES))
    ap.add_argument("--sets", default="mixture,mixture1m,text,text100k,exact,filtered,correlated,contains,text_search")
    args = ap.parse_args()
    # 80,000 x 128 is the smallest mixture that qorel searches through its graph.
    args.n = 80_000 if args.quick else 200_000
    args.n_large = 300_000 if args.quick else 1_000_000
    args.sentences = 2_000 if args.quick else 12_000
    # 30,000 x 384 is just past the size from which qorel searches through its graph.
    args.corpus = 30_000 if args.quick else 100_000
    args.queries = 300 if args.quick else 1000
    args.exact_n = 50_000
    os.makedirs(args.out, exist_ok=True)

    import platform

    results = {"quick": args.quick, "machine": {"processor": platform.processor() or platform.machine(),
                                                "cpus": os.cpu_count()}, "sets": {}}
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            results["machine"]["processor"] = line.split(":", 1)[1].strip()
            break
    sets = prepare(args, args.sets.split(","))
    engines = args.engines.split(",")
    for name in args.sets.split(","):
        if name in ("filtered", "correlated", *SCRIPT_SETS):
            continue
        d, metric, title = sets[name]
        print(f"\n== {name}: {title}", flush=True)
        if name == "exact":
            r = run_worker(["exact", d])
            if "error" not in r:
                q, f, one = r["qorel"], r["faiss-flat"], r["single"]
                print(f"  search_many exact: qorel {q['batch_qps']:.0f} q/s (recall {q['recall']:.3f}), faiss "
                      f"IndexFlatL2 {f['batch_qps']:.0f} q/s (recall {f['recall']:.3f}), ratio "
                      f"{q['batch_qps'] / f['batch_qps']:.2f}")
                print(f"  single exact query {one['query_ms']:.2f} ms, one read of the bytes {one['read_ms']:.2f} ms, "
                      f"ratio {one['ratio']:.2f}; faiss IndexFlatL2 single query {one['faiss_query_ms']:.2f} ms, "
                      f"ratio {one['faiss_ratio']:.2f}")
        else:
            r = {}
            for e in engines:
                r[e] = run_worker(["graph", e, d, metric, *map(str, WIDE_EFS if name in ("text100k", "mixture1m") else EFS)])
                x = r[e]
                if "error" in x:
                    print(f"  {e}: failed: {x['error']}")
                    continue
                sw = " ".join(f"{s['ef']}:{s['recall']:.3f}/{s['qps']:.0f}" for s in x["sweep"])
                print(f"  {e:10s} build {x['build_s']:6.1f} s, +{x['rss_added_mb']:6.0f} MB, batch ef {BATCH_EF} "
                      f"{x['batch']['qps']:7.0f} q/s, reopen+query {x['reopen_first_query_ms']:6.1f} ms | ef:recall/qps "
                      f"{sw}{'  (qorel: exact scan at this size)' if x.get('exact_scan') else ''}", flush=True)
                at = {str(t): qps_at(x["sweep"], t) for t in RECALLS}
                x["qps_at_recall"] = at
                print(f"  {'':10s} single queries/s at recall " + ", ".join(
                    f"{t}: {'-' if q is None else f'{q:.0f}'}" for t, q in at.items()), flush=True)
        results["sets"][name] = {"title": title, "results": r}
    if "filtered" in args.sets.split(","):
        results["filtered"] = filtered_hook(args, args.out)
    if "correlated" in args.sets.split(","):
        results["correlated"] = correlated_hook(args, args.out)
    for name, (script, title, quick_args) in SCRIPT_SETS.items():
        if name in args.sets.split(","):
            extra = ["--data", args.data] if name == "text_search" else []
            results[name] = script_hook(args, args.out, script, name, title, quick_args, extra)
    path = os.path.join(args.out, "results_quick.json" if args.quick else "results.json")
    with open(path, "w") as f:
        json.dump(results, f, indent=1)
    print(f"\nwrote {path}")


if __name__ == "__main__":
    main()
