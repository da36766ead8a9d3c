"""Model-based test: a seeded random sequence of operations, checked after every step against
a plain Python model of ids, vectors and metadata."""

import random

import numpy as np
import pytest

import _qorel

DIM = 6
TAGS = ["red", "green", "blue"]


class Model:
    def __init__(self):
        self.rows = {}  # id -> (vector as float32 array, metadata or None)

    def ids(self):
        return sorted(self.rows)


def random_vector(rng):
    return np.array([rng.uniform(-1, 1) for _ in range(DIM)], dtype=np.float32)


def random_meta(rng):
    if rng.random() < 0.2:
        return None
    return {"tag": rng.choice(TAGS), "n": rng.randint(0, 9)}


def check(db, model, rng):
    assert len(db) == len(model.rows)
    assert sorted(db.ids()) == model.ids()
    for i in rng.sample(model.ids(), min(5, len(model.rows))):
        vector, meta = db.get(i)
        assert vector == [float(x) for x in model.rows[i][0]]
        assert meta == model.rows[i][1]
    tag = rng.choice(TAGS)
    expected = sum(1 for _, m in model.rows.values() if m and m["tag"] == tag)
    assert db.count({"tag": tag}) == expected
    assert db.count({"n": {"$gte": 5}}) == sum(1 for _, m in model.rows.values() if m and m["n"] >= 5)
    if model.rows:
        q = random_vector(rng)
        ids = model.ids()
        mat = np.stack([model.rows[i][0] for i in ids]).astype(np.float64)
        d = ((mat - q.astype(np.float64)) ** 2).sum(1)
        order = np.argsort(d, kind="stable")[:5]
        hits = db.search(q, k=5)
        assert len(hits) == min(5, len(ids))
        np.testing.assert_allclose([h.distance for h in hits], d[order], rtol=1e-4, atol=1e-5)
        # Ids agree wherever the distances are not within rounding of each other.
        for h, j in zip(hits, order):
            if abs(h.distance - d[j]) < 1e-6 and np.sum(np.abs(d - d[j]) < 1e-5) == 1:
                assert h.id == ids[j]
        filtered = db.search(q, k=3, where_filter={"tag": tag})
        fids = [i for i in ids if model.rows[i][1] and model.rows[i][1]["tag"] == tag]
        assert len(filtered) == min(3, len(fids))
        assert all(model.rows[h.id][1]["tag"] == tag for h in filtered)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_operation_sequences(tmp_path, seed):
    rng = random.Random(seed)
    path = str(tmp_path / "db")
    db = _qorel.Database(path, dim=DIM, metric="l2", m=4, ef_construction=20)
    db.save()  # data files exist from here on, so every reopen replays the log
    model = Model()
    counter = 0

    def fresh_id():
        nonlocal counter
        counter += 1
        return f"id{counter}"

    for step in range(300):
        op = rng.choices(
            ["add", "add_many", "upsert", "upsert_many", "update", "delete", "delete_many", "save", "reopen",
             "compact", "quant_on", "quant_off"],
            weights=[10, 4, 6, 3, 6, 6, 2, 2, 2, 1, 1, 1])[0]
        existing = model.ids()
        if op == "add":
            i, v, m = fresh_id(), random_vector(rng), random_meta(rng)
            db.add(i, v.tolist(), m)
            model.rows[i] = (v, m)
        elif op == "add_many":
            items = [(fresh_id(), random_vector(rng), random_meta(rng)) for _ in range(rng.randint(0, 8))]
            db.add_many([x[0] for x in items], np.array([x[1] for x in items], dtype=np.float32).reshape(-1, DIM),
                        [x[2] for x in items])
            for i, v, m in items:
                model.rows[i] = (v, m)
        elif op == "upsert":
            i = rng.choice(existing) if existing and rng.random() < 0.6 else fresh_id()
            v, m = random_vector(rng), random_meta(rng)
            db.upsert(i, v, m)
            model.rows[i] = (v, m)
        elif op == "upsert_many":
            items = []
            for _ in range(rng.randint(1, 6)):
                i = rng.choice(existing) if existing and rng.random() < 0.5 else fresh_id()
                items.append((i, random_vector(rng), random_meta(rng)))
            if items and rng.random() < 0.5:
                items.append((items[0][0], random_vector(rng), random_meta(rng)))  # a repeat
            db.upsert_many([x[0] for x in items], [x[1].tolist() for x in items], [x[2] for x in items])
            for i, v, m in items:
                model.rows[i] = (v, m)
        elif op == "update" and existing:
            i = rng.choice(existing)
            v = random_vector(rng) if rng.random() < 0.6 else None
            m = {"tag": rng.choice(TAGS), "n": rng.randint(0, 9)} if rng.random() < 0.6 else None
            db.update(i, vector=None if v is None else v.tolist(), metadata=m)
            old_v, old_m = model.rows[i]
            model.rows[i] = (old_v if v is None else v, old_m if m is None else m)
        elif op == "delete":
            i = rng.choice(existing) if existing and rng.random() < 0.8 else "missing"
            assert db.delete(i) is (i in model.rows)
            model.rows.pop(i, None)
        elif op == "delete_many":
            chosen = rng.sample(existing, min(len(existing), rng.randint(0, 5))) + ["missing"]
            chosen += chosen[:1]
            assert db.delete_many(chosen) == len(set(chosen) & set(model.rows))
            for i in chosen:
                model.rows.pop(i, None)
        elif op == "save":
            db.save()
        elif op == "reopen":
            del db
            db = _qorel.Database(path, dim=DIM)
        elif op == "compact":
            db.compact()
            assert db.deleted_count == 0 and db.total_slots == len(model.rows)
        elif op == "quant_on":
            db.enable_quantized_search()
            assert db.quantized_search is (db.total_slots > 0)
        elif op == "quant_off":
            db.disable_quantized_search()
            assert db.quantized_search is False
        check(db, model, rng)
