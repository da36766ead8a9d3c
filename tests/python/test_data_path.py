"""Storing and searching: insertion rules, exact results below the scan threshold, filters,
batch search and concurrent use."""

import threading

import numpy as np
import pytest

import _qorel


def make(path, dim=4, metric="euclidean", **kw):
    return _qorel.Database(path, dim=dim, metric=metric, **kw)


def reference_distances(metric, data, q):
    data = data.astype(np.float64)
    q = q.astype(np.float64)
    if metric == "euclidean":
        return ((data - q) ** 2).sum(1)
    if metric == "dot":
        return -(data @ q)
    norms = np.linalg.norm(data, axis=1) * np.linalg.norm(q)
    return 1.0 - (data @ q) / norms


class TestInsertion:
    def test_validation_order_and_messages(self, db_path):
        db = make(db_path)
        with pytest.raises(ValueError, match=r"^dimension mismatch: expected 4, got 3$"):
            db.add("a", [1, 2, 3])
        db.add("a", [1, 2, 3, 4], {"k": 1})
        with pytest.raises(ValueError, match=r"^id 'a' already exists, use upsert instead$"):
            db.add("a", [0, 0, 0, 0])
        assert db.get("a") == ([1.0, 2.0, 3.0, 4.0], {"k": 1})
        # Dimensions are checked before ids, over the whole batch.
        with pytest.raises(ValueError, match="dimension mismatch: expected 4, got 2"):
            db.add_many(["a", "b", "c"], [[1, 1, 1, 1], [1, 1, 1, 1], [1, 1]])
        with pytest.raises(ValueError, match="id 'a' already exists"):
            db.add_many(["b", "a"], [[1, 1, 1, 1], [2, 2, 2, 2]])
        assert len(db) == 1 and "b" not in db
        with pytest.raises(ValueError, match=r"^ids length \(2\) != vectors length \(1\)$"):
            db.add_many(["x", "y"], [[1, 1, 1, 1]])
        with pytest.raises(ValueError, match=r"^metadatas length \(1\) != ids length \(2\)$"):
            db.add_many(["x", "y"], [[1, 1, 1, 1], [1, 1, 1, 1]], [None])
        with pytest.raises(ValueError, match="^metadatas must be list of dicts or None$"):
            db.add_many(["x", "y"], [[1, 1, 1, 1], [1, 1, 1, 1]], [None, 3])
        with pytest.raises(TypeError):
            db.add_many(["x"], [[1, 1, 1, 1]], ({},))
        assert len(db) == 1

    def test_empty_batches_change_nothing(self, db_path):
        db = make(db_path)
        db.add_many([], [])
        db.add_many([], np.zeros((0, 4), dtype=np.float32))
        db.upsert_many([], [])
        assert len(db) == 0 and db.total_slots == 0

    def test_batch_metadata_and_slots(self, db_path):
        db = make(db_path)
        db.add_many(["a", "b", "c"], np.eye(3, 4, dtype=np.float32), [None, {"t": "x"}, {"t": "y"}])
        assert db.get("a")[1] is None
        assert db.get("b")[1] == {"t": "x"}
        assert db.total_slots == 3

    def test_repeated_new_id_in_add_many_is_refused(self, db_path):
        db = make(db_path)
        with pytest.raises(ValueError, match="^id 'b' already exists, use upsert instead$"):
            db.add_many(["a", "b", "c", "b"], np.ones((4, 4), dtype=np.float32))
        assert len(db) == 0 and db.total_slots == 0

    def test_upsert_many_repeats_act_one_by_one(self, db_path):
        db = make(db_path)
        db.add("old", [9, 9, 9, 9], {"v": 0})
        db.upsert_many(["n", "old", "n", "old"], [[1, 0, 0, 0], [2, 0, 0, 0], [3, 0, 0, 0], [4, 0, 0, 0]],
                       [{"v": 1}, {"v": 2}, {"v": 3}, None])
        assert sorted(db.ids()) == ["n", "old"]
        assert db.total_slots == 2
        assert db.get("n") == ([3.0, 0.0, 0.0, 0.0], {"v": 3})
        assert db.get("old") == ([4.0, 0.0, 0.0, 0.0], None)
        assert db.count({"v": 2}) == 0 and db.count({"v": 3}) == 1
        hits = db.search([3, 0, 0, 0], k=10)
        assert [h.id for h in hits].count("n") == 1

    def test_upsert_replaces_in_place(self, db_path):
        db = make(db_path)
        db.add_many(["a", "b"], [[1, 0, 0, 0], [0, 1, 0, 0]], [{"tag": "x"}, {"tag": "y"}])
        db.upsert("a", [0, 0, 1, 0])
        assert db.total_slots == 2
        assert db.get("a") == ([0.0, 0.0, 1.0, 0.0], None)
        assert db.count({"tag": "x"}) == 0
        db.upsert_many(["b", "c"], [[0, 0, 0, 1], [1, 1, 1, 1]])
        assert db.total_slots == 3
        assert db.get("b")[0] == [0.0, 0.0, 0.0, 1.0]


class TestExactSearch:
    @pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
    def test_scan_matches_numpy(self, db_path, metric):
        rng = np.random.default_rng(1)
        data = rng.standard_normal((300, 16)).astype(np.float32)
        db = make(db_path, dim=16, metric=metric)
        db.add_many([str(i) for i in range(300)], data, [{"i": i} for i in range(300)])
        for q in rng.standard_normal((5, 16)).astype(np.float32):
            ref = reference_distances(metric, data, q)
            order = np.argsort(ref)[:10]
            hits = db.search(q, k=10)
            assert [int(h.id) for h in hits] == [int(i) for i in order]
            np.testing.assert_allclose([h.distance for h in hits], ref[order], rtol=1e-4, atol=1e-4)
            # A filter every slot passes goes through the pair kernels: same answer.
            filtered = db.search(q, k=10, where_filter={"missing": {"$ne": 1}})
            assert [int(h.id) for h in filtered] == [int(i) for i in order]
            np.testing.assert_allclose([h.distance for h in filtered], ref[order], rtol=1e-4, atol=1e-4)

    def test_filtered_scan_matches_numpy(self, db_path):
        rng = np.random.default_rng(2)
        data = rng.standard_normal((400, 8)).astype(np.float32)
        cats = [i % 4 for i in range(400)]
        db = make(db_path, dim=8)
        db.add_many([str(i) for i in range(400)], data, [{"cat": c, "price": i} for i, c in enumerate(cats)])
        q = rng.standard_normal(8).astype(np.float32)
        ref = reference_distances("euclidean", data, q)
        mask = np.array([c == 1 and i > 100 for i, c in enumerate(cats)])
        ref_masked = np.where(mask, ref, np.inf)
        order = np.argsort(ref_masked)[:7]
        hits = db.search(q, k=7, where_filter={"cat": 1, "price": {"$gt": 100}})
        assert [int(h.id) for h in hits] == [int(i) for i in order]
        assert all(h.metadata["cat"] == 1 for h in hits)

    def test_k_max_distance_and_empty(self, db_path):
        db = make(db_path)
        assert db.search([0, 0, 0, 0]) == []
        db.add_many(["a", "b", "c"], [[0, 0, 0, 0], [1, 0, 0, 0], [3, 0, 0, 0]])
        assert db.search([0, 0, 0, 0], k=0) == []
        assert [h.id for h in db.search([0, 0, 0, 0], max_distance=1)] == ["a", "b"]
        assert db.search([0, 0, 0, 0], max_distance=-1.0) == []
        assert db.search([0, 0, 0, 0], max_distance=float("nan")) == []
        assert len(db.search([0, 0, 0, 0], k=100)) == 3
        with pytest.raises(ValueError, match="^dimension mismatch: expected 4, got 3$"):
            db.search([0, 0, 0])

    def test_deleted_never_returned(self, db_path):
        db = make(db_path)
        db.add_many(["a", "b", "c"], [[0, 0, 0, 0], [1, 0, 0, 0], [3, 0, 0, 0]], [{"t": 1}] * 3)
        assert db.delete("a") is True
        assert [h.id for h in db.search([0, 0, 0, 0])] == ["b", "c"]
        assert [h.id for h in db.search([0, 0, 0, 0], where_filter={"t": 1})] == ["b", "c"]


class TestFilters:
    @pytest.fixture
    def db(self, db_path):
        db = make(db_path, dim=2)
        rows = [
            ("i1", {"n": 1, "s": "a", "flag": True}),
            ("f1", {"n": 1.0, "s": "b"}),
            ("i5", {"n": 5, "s": "a", "flag": 1}),
            ("none", None),
            ("nul", {"n": None, "s": "c"}),
        ]
        db.add_many([r[0] for r in rows], [[float(i), 0.0] for i in range(len(rows))], [r[1] for r in rows])
        return db

    def ids(self, db, f):
        return sorted(h.id for h in db.search([0, 0], k=10, where_filter=f))

    def test_operators(self, db):
        assert self.ids(db, {"n": 1}) == ["i1"]
        assert self.ids(db, {"n": 1.0}) == ["f1"]
        assert self.ids(db, {"n": {"$gte": 1}}) == ["f1", "i1", "i5"]
        assert self.ids(db, {"n": {"$gt": 1, "$lte": 5}}) == ["i5"]
        assert self.ids(db, {"n": {"$lt": 5}}) == ["f1", "i1"]
        assert self.ids(db, {"s": {"$in": ["a", "c"]}}) == ["i1", "i5", "nul"]
        assert self.ids(db, {"s": {"$in": []}}) == []
        assert self.ids(db, {"s": {"$ne": "a"}}) == ["f1", "nul"]
        assert self.ids(db, {"flag": True}) == ["i1"]
        assert self.ids(db, {"flag": {"$ne": True}}) == ["f1", "i5", "nul"]
        assert self.ids(db, {"s": "a", "n": 5}) == ["i5"]

    def test_empty_and_null_filters_match_nothing(self, db):
        assert self.ids(db, {}) == []
        assert self.ids(db, {"n": {}}) == []
        assert self.ids(db, {"n": None}) == []
        assert db.count({}) == 0 and db.count({"n": None}) == 0

    def test_count(self, db):
        assert db.count() == 5
        assert db.count({"s": "a"}) == 2
        assert db.count({"n": {"$gt": 0}}) == 3
        assert db.count({"s": "a", "n": {"$gt": 1}}) == 1

    def test_large_unsigned_operand(self, db_path):
        db = make(db_path, dim=2)
        db.add("big", [0, 0], {"v": 2**64 - 1})
        db.add("mid", [1, 0], {"v": 2**63})
        assert [h.id for h in db.search([0, 0], where_filter={"v": 2**64 - 1})] == ["big"]
        assert [h.id for h in db.search([0, 0], where_filter={"v": {"$in": [2**63]}})] == ["mid"]


class TestBatchSearch:
    def test_order_and_errors(self, db_path):
        rng = np.random.default_rng(3)
        data = rng.standard_normal((200, 8)).astype(np.float32)
        db = make(db_path, dim=8)
        db.add_many([str(i) for i in range(200)], data, [{"p": i % 2} for i in range(200)])
        queries = rng.standard_normal((17, 8)).astype(np.float32)
        many = db.search_many(queries, k=5)
        assert len(many) == 17
        for q, hits in zip(queries, many):
            assert [h.id for h in hits] == [h.id for h in db.search(q, k=5)]
        filtered = db.search_many(queries, k=3, where_filter={"p": 1})
        for q, hits in zip(queries, filtered):
            assert [h.id for h in hits] == [h.id for h in db.search(q, k=3, where_filter={"p": 1})]
        assert db.search_many(np.zeros((0, 8), dtype=np.float32)) == []
        with pytest.raises(ValueError, match="^dimension mismatch: expected 8, got 7$"):
            db.search_many([[0.0] * 8, [0.0] * 7])

    def test_empty_database(self, db_path):
        db = make(db_path, dim=3)
        assert db.search_many([[1, 2, 3], [3, 2, 1]]) == [[], []]


def test_threads_add_and_search_concurrently(db_path):
    db = make(db_path, dim=8)
    errors = []
    rng = np.random.default_rng(4)
    blocks = [rng.standard_normal((200, 8)).astype(np.float32) for _ in range(4)]

    def writer(t):
        try:
            for j in range(0, 200, 20):
                db.add_many([f"{t}-{j + i}" for i in range(20)], blocks[t][j:j + 20], [{"t": t}] * 20)
            for j in range(20):
                db.upsert(f"{t}-u{j}", blocks[t][j])
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    def reader():
        try:
            for _ in range(200):
                for h in db.search(blocks[0][0], k=5):
                    assert h.id
                db.search_many(blocks[1][:4], k=3, where_filter={"t": 1})
        except Exception as e:  # pragma: no cover
            errors.append(e)

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(4)] + [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(db) == 4 * 220
    for t in range(4):
        assert db.count({"t": t}) == 200
    # "2-u7" holds the same vector as "2-7".
    best = db.search(blocks[2][7], k=2)
    assert {h.id for h in best} == {"2-7", "2-u7"}
    assert abs(best[0].distance) < 1e-3 and abs(best[1].distance) < 1e-3
