"""What the LangChain layer costs over the database it wraps, measured in one run on the same data:

    python3 bench/langchain_bench.py                # 5,000 documents of dimension 384
    python3 bench/langchain_bench.py --n 100000     # past the exact-scan size: graph search

Embeddings come from a precomputed table, so only storage and search are timed. Printed:
adding documents through QorelVectorStore.add_texts (generated ids, so add_many) against
Database.add_many with the same metadata and text; one batch of queries through similarity_search_batch (one search_many call) against
a loop of similarity_search; and the batch against the database's own search_many.
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np
from langchain_core.embeddings import Embeddings

import qorel
from qorel.langchain import QorelVectorStore


class Table(Embeddings):
    def __init__(self, vectors):
        self.vectors = vectors

    def embed_documents(self, texts):
        return self.vectors[[int(t.rsplit(" ", 1)[1]) for t in texts]]

    def embed_query(self, text):
        return self.vectors[int(text.rsplit(" ", 1)[1])]


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=5_000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--queries", type=int, default=1_000)
    ap.add_argument("--k", type=int, default=10)
    args = ap.parse_args()

    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((args.n, args.dim)).astype(np.float32)
    texts = [f"document {i}" for i in range(args.n)]
    metadatas = [{"topic": f"t{i % 20}", "rank": i} for i in range(args.n)]
    queries = texts[: args.queries]

    with tempfile.TemporaryDirectory() as tmp:
        db = qorel.Database(os.path.join(tmp, "raw"), dim=args.dim)
        raw_md = [dict(m, text=t) for m, t in zip(metadatas, texts)]
        t_raw, _ = timed(lambda: db.add_many(texts, vectors, raw_md))
        store = QorelVectorStore(Table(vectors), os.path.join(tmp, "store"), dim=args.dim)
        t_store, ids = timed(lambda: store.add_texts(texts, metadatas))
        print(f"add {args.n} x {args.dim}: Database.add_many {t_raw:.2f} s, "
              f"QorelVectorStore.add_texts {t_store:.2f} s (ratio {t_store / t_raw:.2f})")

        t_loop, looped = timed(lambda: [store.similarity_search(q, k=args.k) for q in queries])
        t_batch, batched = timed(lambda: store.similarity_search_batch(queries, k=args.k))
        t_many, _ = timed(lambda: db.search_many(vectors[: args.queries], k=args.k))
        assert [[d.id for d in r] for r in looped] == [[d.id for d in r] for r in batched]
        assert looped[0][0].id == ids[0]
        print(f"{args.queries} queries, k={args.k}: loop of similarity_search {t_loop:.2f} s, "
              f"similarity_search_batch {t_batch:.2f} s (speed-up {t_loop / t_batch:.2f}x), "
              f"Database.search_many {t_many:.2f} s (batch overhead {t_batch / t_many:.2f}x)")


if __name__ == "__main__":
    sys.exit(main())
