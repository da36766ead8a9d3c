"""A first tour of qorel: the whole life of a small database.

Run it with `bash scripts/quickstart.sh` (which installs everything first) or, once installed,
`python3 examples/quickstart.py`.
"""

import tempfile
import time

import numpy as np

import qorel

rng = np.random.default_rng(7)
DIM = 64
N = 20_000
CATEGORIES = ["news", "sports", "science", "arts", "travel"]

with tempfile.TemporaryDirectory() as tmp:
    path = f"{tmp}/articles"
    db = qorel.Database(path, dim=DIM, metric="cosine")
    print(f"qorel {qorel.__version__}: created a database of dimension {db.dim} with metric {db.metric}")

    # A realistic batch: embeddings drawn around a few topics, with metadata per vector.
    centres = rng.standard_normal((len(CATEGORIES), DIM)).astype(np.float32)
    topic = rng.integers(0, len(CATEGORIES), size=N)
    vectors = (centres[topic] + 0.6 * rng.standard_normal((N, DIM))).astype(np.float32)
    ids = [f"article-{i}" for i in range(N)]
    metadatas = [{"category": CATEGORIES[t], "year": int(2015 + i % 10), "score": float(i % 100) / 10}
                 for i, t in enumerate(topic)]
    t0 = time.perf_counter()
    db.add_many(ids, vectors, metadatas)
    print(f"added {len(db)} vectors with metadata in {time.perf_counter() - t0:.2f} s")

    query = vectors[42]
    t0 = time.perf_counter()
    hits = db.search(query, k=5)
    took = (time.perf_counter() - t0) * 1e3
    print(f"\nnearest 5 to {ids[42]} ({took:.2f} ms):")
    for h in hits:
        print(f"  {h.id:14s} distance={h.distance:.4f} {h.metadata}")

    hits = db.search(query, k=3, where_filter={"category": "science", "year": {"$gte": 2020}})
    print("\nnearest 3 science articles from 2020 on:")
    for h in hits:
        print(f"  {h}  {h.metadata['category']} {h.metadata['year']}")

    close = db.search(query, k=100, max_distance=0.25)
    print(f"\n{len(close)} of the nearest 100 lie within cosine distance 0.25")

    batch = vectors[:500]
    t0 = time.perf_counter()
    results = db.search_many(batch, k=10)
    took = time.perf_counter() - t0
    print(f"searched {len(results)} queries in one batch in {took * 1e3:.1f} ms "
          f"({len(results) / took:.0f} queries/s)")

    print(f"\nsports articles: {db.count({'category': 'sports'})}, "
          f"with a score above 9: {db.count({'category': 'sports', 'score': {'$gt': 9}})}")

    db.update("article-0", metadata={"category": "science", "year": 2024, "score": 10.0, "edited": True})
    db.upsert("article-new", vectors[7], {"category": "travel", "year": 2025, "score": 5.0})
    removed = db.delete_many([f"article-{i}" for i in range(1, 2001)])
    print(f"updated one, upserted one, deleted {removed}: {len(db)} live of {db.total_slots} slots")

    t0 = time.perf_counter()
    db.save()
    print(f"saved in {time.perf_counter() - t0:.2f} s")
    del db

    t0 = time.perf_counter()
    db = qorel.Database(path)
    print(f"reopened in {(time.perf_counter() - t0) * 1e3:.1f} ms: {len(db)} vectors, "
          f"article-0 is now {db.get('article-0')[1]}")

    t0 = time.perf_counter()
    db.compact()
    print(f"compacted in {time.perf_counter() - t0:.2f} s: {db.total_slots} slots, {db.deleted_count} deleted")
    print(f"nearest to the first query after reopening and compacting (article-42 itself was deleted): "
          f"{db.search(query, k=1)[0]}")

    stats = db.stats()
    print("\nstats:", ", ".join(f"{k}={v:.2f}" if isinstance(v, float) else f"{k}={v}" for k, v in stats.items()))
    with db:
        db.add("article-last", vectors[9], {"category": "arts", "year": 2026, "score": 1.0})
    print(f"the with-block saved on leaving: {len(qorel.Database(path))} vectors on disk")
