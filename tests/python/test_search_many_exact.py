"""search_many below the graph threshold: the batched exact scan must answer every query as
search does, for every metric, with deletions, max_distance and filters."""

import numpy as np
import pytest

import _qorel


def hits(results):
    return [(h.id, h.distance) for h in results]


def assert_same(batch, singles):
    assert len(batch) == len(singles)
    for got, want in zip(batch, singles):
        assert [h.id for h in got] == [h.id for h in want]
        assert [h.metadata for h in got] == [h.metadata for h in want]
        np.testing.assert_allclose([h.distance for h in got], [h.distance for h in want], rtol=1e-4, atol=1e-4)


@pytest.fixture
def filled(db_path, request):
    rng = np.random.default_rng(3)
    db = _qorel.Database(db_path, dim=16, metric=request.param)
    # Integer-valued vectors keep exact ties rare but distances well apart, so ids compare exactly.
    base = rng.integers(-20, 20, size=(1500, 16)).astype(np.float32)
    db.add_many([f"v{i}" for i in range(len(base))], base, [{"group": i % 3} for i in range(len(base))])
    return db, base, rng


@pytest.mark.parametrize("filled", ["cosine", "euclidean", "dot_product"], indirect=True)
def test_batch_answers_like_single_queries(filled):
    db, base, rng = filled
    assert db.stats()["uses_brute_force"]
    queries = rng.standard_normal((70, 16)).astype(np.float32) * 10
    singles = [db.search(q, k=8) for q in queries]
    assert_same(db.search_many(queries, k=8), singles)

    # Deleted ids never come back, and the rest still agree.
    nearest = {r[0].id for r in singles}
    db.delete_many(sorted(nearest))
    after = db.search_many(queries, k=8)
    assert not nearest & {h.id for r in after for h in r}
    assert_same(after, [db.search(q, k=8) for q in queries])


@pytest.mark.parametrize("filled", ["euclidean"], indirect=True)
def test_batch_keeps_cut_off_filter_and_large_k(filled):
    db, base, rng = filled
    queries = base[:5] + 0.5
    cut = db.search_many(queries, k=10, max_distance=5.0)
    assert_same(cut, [db.search(q, k=10, max_distance=5.0) for q in queries])
    assert all(h.distance <= 5.0 for r in cut for h in r) and all(len(r) >= 1 for r in cut)

    filtered = db.search_many(queries, k=5, where_filter={"group": 1})
    assert all(h.metadata["group"] == 1 for r in filtered for h in r)
    assert_same(filtered, [db.search(q, k=5, where_filter={"group": 1}) for q in queries])

    everything = db.search_many(queries[:2], k=5000)
    assert [len(r) for r in everything] == [1500, 1500]
    assert all(len({h.id for h in r}) == 1500 for r in everything)


def test_zero_vectors_under_cosine_are_at_distance_one_on_every_path(db_path):
    # A zero vector has no direction: 1.0 from everything, itself included, whether the scan
    # scores by norms (nothing deleted) or through the pair kernel (after a deletion).
    db = _qorel.Database(db_path, dim=4, metric="cosine")
    db.add_many(["zero", "a", "b", "gone"], [[0, 0, 0, 0], [1, 2, 3, 4], [-1, 0, 2, 0], [3, 3, 0, 1]])
    zero, other = [0.0] * 4, [1.0, 2.0, 3.0, 4.0]
    for deleted in ([], ["gone"]):
        db.delete_many(deleted)
        for hits in [db.search(zero, k=10), *db.search_many([zero, zero], k=10)]:
            assert len(hits) == 4 - len(deleted) and {h.distance for h in hits} == {1.0}
        for hits in [db.search(other, k=10), db.search_many([other], k=10)[0]]:
            assert {h.id: h.distance for h in hits}["zero"] == 1.0
