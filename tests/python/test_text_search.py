"""Keyword (BM25) and hybrid search against a plain Python reference, through writes, replay,
save, compaction and read-only handles."""

import math
import os
import random
import re
import subprocess
import sys

import pytest

import _qorel
import qorel

WORDS = "apple banana cherry date elder fig grape lemon mango olive peach".split()


def words(text):
    return re.findall(r"[a-z0-9]+", text.lower())


def bm25(docs, query, k, allowed=None):
    """The ids of the best k docs ({id: text}, in insertion order) with their distances."""
    tokens = {i: words(t) for i, t in docs.items()}
    n_docs = len(tokens)
    if n_docs == 0:
        return []
    avgdl = sum(map(len, tokens.values())) / n_docs or 1.0
    terms = sorted(set(words(query)))
    df = {t: sum(t in w for w in tokens.values()) for t in terms}
    hits = []
    for order, (i, w) in enumerate(tokens.items()):
        score, matched = 0.0, False
        for t in terms:
            tf = w.count(t)
            if not tf:
                continue
            matched = True
            idf = max(1e-6, math.log((n_docs - df[t] + 0.5) / (df[t] + 0.5)))
            score += idf * (tf * 2.2) / (tf + 1.2 * 0.25 + (1.2 * 0.75 / avgdl) * len(w))
        if matched and (allowed is None or i in allowed):
            hits.append((-score, order, i))
    hits.sort()
    return [(i, -s) for s, _, i in hits[:k]]


def same(results, expected):
    assert [r.id for r in results] == [i for i, _ in expected]
    for r, (_, score) in zip(results, expected):
        assert r.distance == pytest.approx(-score, rel=1e-5, abs=1e-9)


def rows(results):
    return [(r.id, r.distance, r.metadata) for r in results]


def sentence(rng):
    return " ".join(rng.choice(WORDS) + rng.choice(["", ",", "!"]) for _ in range(rng.randint(1, 8)))


@pytest.fixture
def corpus(db_path):
    rng = random.Random(5)
    db = qorel.Database(db_path, dim=4, metric="euclidean")
    texts, metas = {}, {}
    for n in range(300):
        i = f"d{n}"
        meta = {"group": rng.choice("ab")}
        if n % 10 != 0:
            texts[i] = meta["text"] = sentence(rng)
        elif n % 20 == 0:
            meta["text"] = 7  # not a string: not indexed
        metas[i] = meta
        db.add(i, [rng.random() for _ in range(4)], meta)
    db.enable_text_index("text")
    return db, texts, metas


QUERIES = ["apple", "banana cherry", "FIG fig, grape", "olive mango peach lemon", "kiwi", ""]


def check(db, texts):
    for q in QUERIES:
        for k in (1, 10, 1000):
            same(db.search_text(q, k=k), bm25(texts, q, k))


def test_scores_filters_hybrid_and_batches_match_the_reference(corpus):
    db, texts, metas = corpus
    assert db.text_index == {"field": "text", "stem": False}
    assert db.stats()["text_field"] == "text"
    check(db, texts)
    in_a = {i for i, m in metas.items() if m["group"] == "a"}
    for q in QUERIES:
        same(db.search_text(q, k=7, where_filter={"group": "a"}), bm25(texts, q, 7, in_a))
    assert db.search_text("apple", where_filter={"group": "zzz"}) == []
    assert list(map(rows, db.search_text_many(QUERIES, k=5, where_filter={"group": "b"}))) == [
        rows(db.search_text(q, k=5, where_filter={"group": "b"})) for q in QUERIES]

    rng = random.Random(9)
    vectors = [[rng.random() for _ in range(4)] for _ in QUERIES]
    for vec, q in zip(vectors, QUERIES):
        for weight, rrf_k, cand, flt in ((0.5, 60, None, None), (0.8, 10, 20, {"group": "a"}), (0.0, 1, 5, None)):
            got = db.search_hybrid(vec, q, k=10, where_filter=flt, weight=weight, rrf_k=rrf_k, candidates=cand)
            n = cand or 50
            nearest = [r.id for r in db.search(vec, k=n, where_filter=flt)]
            keyword = [i for i, _ in bm25(texts, q, n, in_a if flt else None)]
            fused = {}
            for rank, i in enumerate(nearest, 1):
                fused[i] = fused.get(i, 0.0) + weight / (rrf_k + rank)
            for rank, i in enumerate(keyword, 1):
                fused[i] = fused.get(i, 0.0) + (1 - weight) / (rrf_k + rank)
            order = {i: n for n, i in enumerate(metas)}
            want = sorted(fused.items(), key=lambda p: (-p[1], order[p[0]]))[:10]
            assert [r.id for r in got] == [i for i, _ in want]
            assert [r.distance for r in got] == pytest.approx([-s for _, s in want], rel=1e-5)
        assert list(map(rows, db.search_hybrid_many([vec, vec], [q, "apple"], k=4, weight=0.3))) == [
            rows(db.search_hybrid(vec, q, k=4, weight=0.3)), rows(db.search_hybrid(vec, "apple", k=4, weight=0.3))]
    with pytest.raises(ValueError):
        db.search_hybrid(vectors[0], "apple", weight=1.5)
    with pytest.raises(ValueError):
        db.search_hybrid_many(vectors, ["apple"])


def test_given_statistics_are_checked(corpus):
    db, texts, _ = corpus
    query = ["Apple kiwi", "apple"]
    n, length, df = stats = _qorel._text_stats(db, query)
    assert (n, length) == (len(texts), sum(len(words(t)) for t in texts.values()))
    assert df == {"apple": sum("apple" in words(t) for t in texts.values()), "kiwi": 0}
    assert list(map(rows, _qorel._search_text_many(db, query, 5, None, stats))) == [rows(db.search_text(q, k=5)) for q in query]
    # Statistics that lag a shard written to since they were gathered still score.
    assert _qorel._search_text_many(db, query, 5, None, (n - 1, length - 1, {"apple": 0, "kiwi": 0}))[0]
    for bad in ((n, length, {"apple": n + 1, "kiwi": 0}), (n, length, {"apple": df["apple"]}),
                (-1, length, df), (2**64, length, df), (n, length, {"apple": "1", "kiwi": 0}),
                (n, True, df), (n, length, {b"apple": 1, "kiwi": 0}), [n, length, df], (n, length), None):
        with pytest.raises(ValueError):
            _qorel._search_text_many(db, query, 5, None, bad)


def test_writes_keep_the_index_current(corpus):
    db, texts, metas = corpus
    db.upsert("d1", [0, 0, 0, 0], {"text": "kiwi kiwi apple"})
    texts["d1"] = "kiwi kiwi apple"
    db.update("d2", metadata={"text": "kiwi"})
    texts["d2"] = "kiwi"
    db.update("d3", vector=[1, 1, 1, 1])  # the metadata stays
    db.upsert("d4", [0, 0, 0, 0], {"other": "kiwi"})  # the text goes
    del texts["d4"]
    assert db.delete("d5")
    del texts["d5"]
    db.delete_many(["d6", "d7"])
    del texts["d6"], texts["d7"]
    db.add_many(["n1", "n2"], [[0] * 4, [1] * 4], [{"text": "kiwi fig"}, None])
    texts["n1"] = "kiwi fig"
    db.upsert_many(["d8", "n3"], [[0] * 4, [1] * 4], [{"text": "peach"}, {"text": "kiwi olive"}])
    texts["d8"], texts["n3"] = "peach", "kiwi olive"
    check(db, texts)
    # Another field or word form replaces the index; the same settings again log nothing.
    before = db.stats()["wal_bytes"]
    db.enable_text_index("text")
    assert db.stats()["wal_bytes"] == before
    db.enable_text_index("group")
    assert db.text_index == {"field": "group", "stem": False}
    assert {r.id for r in db.search_text("a", k=1000)} == {
        i for i in db.ids() if (db.get(i)[1] or {}).get("group") == "a"}
    with pytest.raises(ValueError):
        db.enable_text_index("")


CRASH_CHILD = """
import os, sys, qorel
db = qorel.Database(sys.argv[1], dim=2, checkpoint=None)
db.add("a", [0, 1], {"body": "Running in the rain"})
db.enable_text_index("body", stem=True)
db.add("b", [1, 0], {"body": "a runner runs"})
db.upsert("a", [0, 1], {"body": "walking"})
os._exit(0)
"""


def test_replay_save_compaction_and_readers(db_path):
    subprocess.run([sys.executable, "-c", CRASH_CHILD, db_path], check=True, env=os.environ)
    db = qorel.Database(db_path, dim=2)  # the log replayed: nothing was saved
    assert db.text_index == {"field": "body", "stem": True}
    assert [r.id for r in db.search_text("run")] == ["b"]
    assert [r.id for r in db.search_text("walk")] == ["a"]
    db.save()
    settings = os.path.join(db_path, "text.qorel")

    def written():
        st = os.stat(settings)
        return st.st_ino, st.st_mtime_ns

    first = written()
    del db
    db = qorel.Database(db_path)
    assert db.text_index == {"field": "body", "stem": True}
    assert {r.id for r in db.search_text("runs walked")} == {"a", "b"}
    db.add("c", [1, 1], {"body": "runs"})
    db.delete("a")
    db.compact()
    assert [r.id for r in db.search_text("walk")] == []
    assert {r.id for r in db.search_text("run")} == {"b", "c"}
    db.save()
    db.enable_quantized_search()
    db.save()
    # The file holds the configuration alone: saves that leave it as it was do not write it.
    assert written() == first
    reader = qorel.Database(db_path, read_only=True)
    assert reader.text_index == {"field": "body", "stem": True}
    assert rows(reader.search_text("run")) == rows(db.search_text("run"))
    with pytest.raises(qorel.ReadOnlyError):
        reader.enable_text_index("other")
    db.enable_text_index("body")  # logged, not saved: the reader sees it after a refresh
    db.add("d", [0, 0], {"body": "runs"})
    reader.refresh()
    assert reader.text_index == {"field": "body", "stem": False}
    assert {r.id for r in reader.search_text("runs")} == {"b", "c", "d"}
    db.save()
    assert written() != first
    del db, reader
    db = qorel.Database(db_path)
    assert db.text_index == {"field": "body", "stem": False}
    assert {r.id for r in db.search_text("runs")} == {"b", "c", "d"}


def test_damaged_settings_file_is_refused(db_path):
    db = qorel.Database(db_path, dim=2)
    db.add("a", [0, 1], {"t": "x"})
    db.enable_text_index("t")
    db.save()
    del db
    path = os.path.join(db_path, "text.qorel")
    data = bytearray(open(path, "rb").read())
    data[9] ^= 0xFF
    open(path, "wb").write(bytes(data))
    with pytest.raises(qorel.CorruptDatabaseError):
        qorel.Database(db_path)
