"""The sharded database on a local Ray instance: it must answer exactly like one database,
survive a shard's process dying mid-write, and reopen from its directory."""

import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import ray

import qorel
from qorel.cluster import MANIFEST_NAME, PartialBatchError, ShardedDatabase, ShardUnavailableError, shard_dir, shard_of

DIM = 8


@pytest.fixture(scope="module", autouse=True)
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    ray.shutdown()


def vectors(n, seed):
    return np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)


def outcome(call):
    """What a call did: ("ok", value) or (exception class, text)."""
    try:
        return ("ok", call())
    except Exception as e:
        return (type(e), str(e))


def hits(results):
    return [(r.id, r.distance) for r in results]


def texts(n, seed):
    """Texts of 1 to n words, each length once so that BM25 scores seldom tie, over made-up stems
    with endings that stemming folds together; and the vocabulary."""
    rng = np.random.default_rng(seed)
    stems = ["".join(rng.choice(list("bdfgklmnprstvz")) + rng.choice(list("aeiou")) for _ in range(3))
             for _ in range(300)]
    vocab = [s + end for s in stems for end in ("", "s", "ing", "ed")]
    return [" ".join(rng.choice(vocab, size=i + 1)) for i in range(n)], vocab


def same_ranking(sharded, single):
    """The same scores in order, and the same ids but for the order among equal scores (and
    which of them the cut at k keeps)."""
    assert [r.distance for r in sharded] == pytest.approx([r.distance for r in single], rel=1e-9)
    cut = single[-1].distance if single else None
    assert sorted((r.distance, r.id) for r in sharded if r.distance != cut) == sorted(
        (r.distance, r.id) for r in single if r.distance != cut)


def same_hits(sharded, single):
    # Shards with no deletions score with norm-based formulas where the single database,
    # which has deletions, uses pair distances: the last bits may differ, the order may not.
    assert [r.id for r in sharded] == [r.id for r in single]
    assert [r.distance for r in sharded] == pytest.approx([r.distance for r in single], rel=1e-5, abs=1e-6)


def test_import_qorel_does_not_import_ray():
    code = "import sys, qorel; qorel.Database; print('ray' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


class TestSameAsOneDatabase:
    @pytest.fixture(scope="class")
    @classmethod
    def pair(cls, tmp_path_factory):
        root = tmp_path_factory.mktemp("equivalence")
        sharded = ShardedDatabase(str(root / "sharded"), dim=DIM, metric="l2", shards=3)
        single = qorel.Database(str(root / "single"), dim=DIM, metric="l2")
        x = vectors(600, 1)
        ids = [f"doc-{i}" for i in range(600)]
        metas = [{"group": i % 4, "name": f"n{i}", "tags": [f"t{i % 3}", i % 7]} if i % 5 else None for i in range(600)]
        for meta, text in zip(metas, texts(200, 4)[0]):
            if meta is not None:
                meta["text"] = text
        for db in (sharded, single):
            db.add_many(ids[:500], x[:500], metas[:500])
            db.add("solo", x[500].tolist(), {"group": 9})
            db.upsert("doc-3", x[501], {"group": 1, "name": "replaced"})
            db.upsert_many(ids[495:520], x[520:545], metas[520:545])
            db.update("doc-7", metadata={"group": 2})
            db.update("doc-8", vector=x[546])
            assert db.delete("doc-9") is True
            assert db.delete("doc-9") is False
            assert db.delete_many([f"doc-{i}" for i in range(100, 160)] + ["doc-100", "never"]) == 60
        return sharded, single

    def test_contents_and_counts(self, pair):
        sharded, single = pair
        assert sorted(sharded.ids()) == sorted(single.ids())
        assert len(sharded) == len(single) == sharded.count()
        for id in single.ids():
            assert sharded.get(id) == single.get(id)
        assert ("doc-9" in sharded, "doc-10" in sharded) == (False, True)
        for where in ({"group": 2}, {"group": {"$ne": 1}}, {"group": {"$in": [0, 9]}}, {}, {"name": "replaced"},
                      {"$or": [{"group": 1}, {"tags": {"$contains": 3}}]}, {"group": {"$not": {"$in": [0, 1]}}}):
            assert sharded.count(where) == single.count(where), where
        assert (sharded.total_slots, sharded.deleted_count) == (single.total_slots, single.deleted_count)
        summed, one = sharded.stats(), single.stats()
        assert summed.keys() == one.keys()
        for key in ("num_vectors", "num_deleted", "memory_vectors_bytes", "uses_brute_force"):
            assert summed[key] == one[key], key
        assert sum(s["num_vectors"] for s in sharded.shard_stats()) == one["num_vectors"]

    def test_exact_searches_match(self, pair):
        sharded, single = pair
        queries = vectors(12, 2)
        for kwargs in (
            {"k": 7},
            {"k": 5, "where_filter": {"group": 1}},
            {"k": 5, "where_filter": {"$or": [{"tags": {"$contains": "t1"}}, {"group": {"$nin": [0, 1, 2]}}]}},
            {"k": 10, "where_filter": {"group": {"$in": [0, 2]}}, "max_distance": 12.0},
            {"k": 50, "max_distance": 6.0},
            {"k": 0},
        ):
            for q in queries[:4]:
                same_hits(sharded.search(q, **kwargs), single.search(q, **kwargs))
            many_sharded, many_single = sharded.search_many(queries, **kwargs), single.search_many(queries, **kwargs)
            assert len(many_sharded) == len(many_single) == len(queries)
            for a, b in zip(many_sharded, many_single):
                same_hits(a, b)
        assert sharded.search_many(np.zeros((0, DIM), np.float32)) == []

    def test_results_read_like_search_results(self, pair):
        sharded, single = pair
        q = sharded.get("doc-3")[0]
        mine, theirs = sharded.search(q, k=1)[0], single.search(q, k=1)[0]
        assert (mine[0], mine[1], mine[2]) == (theirs[0], theirs[1], theirs[2]) == (mine.id, mine.distance, mine.metadata)
        assert repr(mine) == repr(theirs)
        mine.metadata["name"] = "changed"
        assert mine.metadata["name"] == "replaced"
        for idx, exc in ((3, ValueError), (-1, OverflowError), ("0", TypeError)):
            assert outcome(lambda: mine[idx])[0] is outcome(lambda: theirs[idx])[0] is exc

    def test_refusals_match_and_change_nothing(self, pair):
        sharded, single = pair
        x = vectors(4, 3)
        calls = [
            lambda db: db.add("doc-1", x[0]),
            lambda db: db.add("new", x[0, :3]),
            lambda db: db.add(5, x[0]),
            lambda db: db.add("new", x[0], "not a dict"),
            lambda db: db.add("new", x[0], {"bad": float("nan")}),
            lambda db: db.add_many(["new-1", "doc-20", "doc-1"], x[:3]),
            lambda db: db.add_many(["new-1", "new-2", "new-1"], x[:3]),
            lambda db: db.add_many(["new-1", "doc-1"], [x[0], x[1, :5]]),
            lambda db: db.add_many(["new-1", "new-2"], x[:1]),
            lambda db: db.add_many(["new-1", "new-2"], x[:2], [None]),
            lambda db: db.add_many(["new-1", "new-2"], x[:2], [None, 3]),
            lambda db: db.add_many(["new-1", "new-2"], x[:2], ({}, {})),
            lambda db: db.add_many("new-1", x[:1]),
            lambda db: db.add_many(["new-1", "new-2"], x[:2, ::2]),
            lambda db: db.upsert_many(["new-1", "new-2"], [x[0], x[1, :2]]),
            # Non-finite or out-of-range components refuse the whole batch on every shard.
            lambda db: db.add_many(["new-1", "new-2", "new-3"], [x[0], [1.0, float("nan")] + [0.0] * (DIM - 2), x[2]]),
            lambda db: db.upsert_many(["new-1", "new-2", "new-3"], [x[0].tolist(), x[1].tolist(), [1e39] + [0.0] * (DIM - 1)]),
            lambda db: db.add("new", [float("inf")] * DIM),
            lambda db: db.update("missing", x[0, :2]),
            lambda db: db.update("doc-1", x[0, :2]),
            lambda db: db.get("missing"),
            lambda db: db.search(x[0, :3]),
            lambda db: db.search(x[0], where_filter={"group": {"$regex": "a"}}),
            lambda db: db.search(x[0], where_filter=["group"]),
            lambda db: db.search(x[0], k=-1),
            lambda db: db.search_many([x[0], x[1, :3]]),
            lambda db: db.count({"group": {"$bad": 1}}),
            lambda db: db.search_text(5),
            lambda db: db.search_text_many(["a", None], k=2),
            lambda db: db.search_hybrid(x[0, :3], "a"),
            lambda db: db.search_hybrid(x[0], "a", weight=1.5),
            lambda db: db.search_hybrid_many(x[:2], ["a"]),
            lambda db: db.enable_text_index(""),
            lambda db: db.delete_many("doc-1"),
            lambda db: 3 in db,
        ]
        before = sorted(single.ids())
        for i, call in enumerate(calls):
            expected = outcome(lambda: call(single))
            assert expected[0] != "ok", i
            assert outcome(lambda: call(sharded)) == expected, i
        assert sorted(sharded.ids()) == sorted(single.ids()) == before

    @pytest.mark.parametrize("stem", [False, True])
    def test_keyword_and_hybrid_searches_match(self, pair, stem):
        sharded, single = pair
        for db in pair:
            db.enable_text_index("text", stem=stem)
        rng = np.random.default_rng(5)
        queries = [" ".join(rng.choice(texts(0, 4)[1], size=m)) for m in (1, 1, 2, 3, 6)] + ["absent words", ""]
        x = vectors(len(queries), 6)
        assert len(single.search_text(queries[3], k=500)) > 20
        for kwargs in ({"k": 5}, {"k": 500}, {"k": 8, "where_filter": {"group": {"$in": [0, 2]}}}):
            for a, b in zip(sharded.search_text_many(queries, **kwargs), single.search_text_many(queries, **kwargs),
                            strict=True):
                same_ranking(a, b)
            for fusion in ({}, {"weight": 0.8, "rrf_k": 5, "candidates": 20}):
                for a, b in zip(sharded.search_hybrid_many(x, queries, **kwargs, **fusion),
                                single.search_hybrid_many(x, queries, **kwargs, **fusion), strict=True):
                    same_ranking(a, b)
        same_ranking(sharded.search_text(queries[2], k=3), single.search_text(queries[2], k=3))
        same_ranking(sharded.search_hybrid(x[0], queries[0], k=3), single.search_hybrid(x[0], queries[0], k=3))
        # A shard left with another setting (an enable that failed part-way) is refused, not
        # merged, until the setting is given again.
        sharded._wait({0: sharded._submit(0, "repeatable_write", "enable_text_index", "text", not stem)})
        for search in (lambda: sharded.search_text(queries[2]), lambda: sharded.search_hybrid(x[0], queries[0])):
            with pytest.raises(ValueError):
                search()
        sharded.enable_text_index("text", stem=stem)
        same_ranking(sharded.search_text(queries[2], k=3), single.search_text(queries[2], k=3))

    def test_quantized_switches(self, pair):
        sharded, _ = pair
        sharded.enable_quantized_search()
        assert sharded.quantized_search and sharded.stats()["uses_quantized_search"]
        assert sharded.stats()["memory_quantized_bytes"] > 0
        sharded.disable_quantized_search()
        assert not sharded.quantized_search and sharded.stats()["memory_quantized_bytes"] == 0


class TestLayout:
    def test_opening_needs_the_stored_shard_count(self, tmp_path):
        path = str(tmp_path / "db")
        with pytest.raises(qorel.DatabaseNotFoundError):
            ShardedDatabase(path)
        with pytest.raises(ValueError, match="shards must be given"):
            ShardedDatabase(path, dim=DIM)
        with pytest.raises(ValueError, match="metric must be"):
            ShardedDatabase(path, dim=DIM, metric="L2", shards=2)
        # Settings are refused as a single database refuses them, before any shard starts.
        for settings in (dict(dim=0), dict(dim=DIM, m=1), dict(dim=DIM, ef_construction=2**32), dict(dim=DIM, metric=3)):
            single = outcome(lambda: qorel.Database(str(tmp_path / "single"), **settings))
            assert single[0] != "ok" and outcome(lambda: ShardedDatabase(path, shards=2, **settings)) == single
        assert not os.path.exists(path)
        db = ShardedDatabase(path, dim=DIM, metric="dot", shards=2)
        db.close()
        with pytest.raises(ValueError, match="has 2 shards, not 3"):
            ShardedDatabase(path, shards=3)
        # The stored settings win, as for a single database.
        db = ShardedDatabase(path, dim=DIM + 1, metric="cosine")
        assert (db.shards, db.dim, db.metric) == (2, DIM, "dot_product")
        # Its shards hold the directories: a second handle in this process is refused at once,
        # whatever the spelling of the path, and leaves the first one working.
        for spelling in (path, path + "/", str(tmp_path / "." / "db")):
            with pytest.raises(qorel.DatabaseInUseError):
                ShardedDatabase(spelling)
        assert db.count() == 0
        assert sorted(os.listdir(path)) == [MANIFEST_NAME, "shard-0", "shard-1"]
        assert [s["path"] for s in db.describe()] == [shard_dir(os.path.abspath(path), i) for i in range(2)]
        db.close()
        ShardedDatabase(path).close()
        # Without its manifest the layout is created afresh, but a shard left incomplete is
        # refused rather than replaced by an empty one.
        os.remove(os.path.join(path, MANIFEST_NAME))
        os.remove(os.path.join(shard_dir(path, 0), "vectors.bin"))
        graph = pathlib.Path(shard_dir(path, 0), "graph.qorel")
        before = graph.read_bytes()
        with pytest.raises(qorel.CorruptDatabaseError):
            ShardedDatabase(path, dim=DIM, metric="dot", shards=2)
        assert graph.read_bytes() == before

    def test_reopen_after_ray_restarts(self, tmp_path):
        path = str(tmp_path / "db")
        db = ShardedDatabase(path, dim=DIM, shards=3)
        x = vectors(300, 4)
        ids = [f"r{i}" for i in range(300)]
        db.add_many(ids, x, [{"i": i} for i in range(300)])
        db.delete_many(ids[:20])
        db.save()
        db.upsert("r30", x[0], {"i": -1})  # only in the shard's log
        db.add("late", x[1])
        expected = {id: db.get(id) for id in db.ids()}
        query_hits = hits(db.search(x[5], k=5))
        del db
        ray.shutdown()
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)

        db = ShardedDatabase(path)
        assert {id: db.get(id) for id in db.ids()} == expected
        assert hits(db.search(x[5], k=5)) == query_hits
        db.close()
        # Each shard directory is an ordinary database holding exactly the ids routed to it.
        for i in range(3):
            shard = qorel.Database(shard_dir(path, i))
            assert sorted(shard.ids()) == sorted(id for id in expected if shard_of(id, 3) == i)


def test_a_read_only_handle_beside_the_writer(tmp_path):
    path = str(tmp_path / "db")
    with pytest.raises(qorel.DatabaseNotFoundError):
        ShardedDatabase(path, read_only=True)
    writer = ShardedDatabase(path, dim=DIM, shards=2)
    writer.add_many(["a", "b", "c"], vectors(3, 1))
    reader = ShardedDatabase(path, read_only=True)
    assert reader.read_only and sorted(reader.ids()) == ["a", "b", "c"]
    with pytest.raises(qorel.ReadOnlyError):
        reader.add_many(["d", "e"], vectors(2, 2))
    writer.delete("a")
    reader.refresh()
    assert sorted(reader.ids()) == ["b", "c"]
    reader.close()
    writer.close()


def test_killed_shard_loses_no_acknowledged_write(tmp_path):
    """A shard's process is killed while a writer keeps going; nothing that was acknowledged
    may be lost, every call in flight ends, and the handle keeps serving."""
    db = ShardedDatabase(str(tmp_path / "db"), dim=DIM, shards=2)
    victim = db.describe()[1]["pid"]
    acked, uncertain, failures = {}, set(), []
    x = vectors(4000, 5)
    state = {"stop": False, "after_kill": 0, "killed": False}

    def writer():
        for b in range(0, 4000, 20):
            if state["stop"]:
                return
            ids = [f"w{i}" for i in range(b, b + 20)]
            try:
                db.add_many(ids, x[b:b + 20])
                acked.update((id, b + j) for j, id in enumerate(ids))
                if state["killed"]:
                    state["after_kill"] += 1
            except PartialBatchError as e:
                failures.append(e)
                acked.update((id, int(id[1:])) for id in e.applied)
                uncertain.update(e.uncertain)
            except ShardUnavailableError as e:
                failures.append(e)
                uncertain.update(ids)

    thread = threading.Thread(target=writer)
    thread.start()
    deadline = time.monotonic() + 120
    while len(acked) < 400 and thread.is_alive() and time.monotonic() < deadline:
        time.sleep(0.01)
    os.kill(victim, signal.SIGKILL)
    state["killed"] = True
    while state["after_kill"] < 10 and thread.is_alive() and time.monotonic() < deadline:
        time.sleep(0.05)
    state["stop"] = True
    thread.join(timeout=120)
    assert not thread.is_alive()
    assert state["after_kill"] >= 10, "the handle stopped serving writes after the shard died"
    assert db.describe()[1]["pid"] != victim

    stored = set(db.ids())
    assert set(acked) <= stored
    assert stored <= set(acked) | uncertain
    for id, row in list(acked.items())[::37]:
        assert db.get(id)[0] == x[row].tolist()
    db.add("after", x[0])
    assert "after" in db and len(db) == len(stored) + 1
    db.close()
