"""Stored vectors must be finite: NaN, infinities and numbers beyond float32 are refused."""

import math
import pathlib

import numpy as np
import pytest

import _qorel


@pytest.fixture
def db(db_path):
    d = _qorel.Database(db_path, dim=3)
    d.add("keep", [1.0, 2.0, 3.0], {"k": 1})
    d.save()
    return d


BAD = [
    ([0.0, math.nan, 1.0], r"id 'v'.*non-finite.*index 1 \(NaN\)"),
    ([math.inf, 0.0, 1.0], r"id 'v'.*non-finite.*index 0 \(inf\)"),
    ([0.0, 1.0, -math.inf], r"id 'v'.*non-finite.*index 2 \(-inf\)"),
    # A Python float that float32 cannot hold would become an infinity when narrowed.
    ([0.0, 1e39, 1.0], r"id 'v'.*beyond the float32 range.*index 1 \(1e\+39\)"),
    (np.array([-1e39, 0.0, 1.0]), r"id 'v'.*beyond the float32 range.*index 0 \(-1e\+39\)"),
    (np.array([0.0, np.nan, 1.0], dtype=np.float32), r"id 'v'.*non-finite.*index 1 \(NaN\)"),
]


@pytest.mark.parametrize("vector,message", BAD)
def test_single_writes_refuse_non_finite_components(db, db_path, vector, message):
    with pytest.raises(ValueError, match=message):
        db.add("v", vector)
    with pytest.raises(ValueError, match=message):
        db.upsert("v", vector, {"x": 1})
    db.add("v", [1.0, 1.0, 1.0], {"v": 0})
    with pytest.raises(ValueError, match=message):
        db.update("v", vector=vector, metadata={"v": 1})
    with pytest.raises(ValueError, match=message.replace("'v'", "'keep'")):
        db.upsert("keep", vector)
    assert db.get("v") == ([1.0, 1.0, 1.0], {"v": 0})
    assert db.get("keep") == ([1.0, 2.0, 3.0], {"k": 1})
    del db
    # Nothing refused reached the log.
    again = _qorel.Database(db_path)
    assert again.get("v") == ([1.0, 1.0, 1.0], {"v": 0}) and len(again) == 2


@pytest.mark.parametrize("method", ["add_many", "upsert_many"])
def test_batches_are_refused_whole(db, db_path, method):
    rows = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 1e39, 0.0], [math.nan, 0.0, 0.0]]
    for vectors in (rows, np.array(rows, dtype=np.float64)):
        with pytest.raises(ValueError, match=r"id 'c'.*beyond the float32 range"):
            getattr(db, method)(["a", "b", "c", "d"], vectors)
    rows[2][1] = 0.0
    with pytest.raises(ValueError, match=r"id 'd'.*non-finite.*index 0 \(NaN\)"):
        getattr(db, method)(["a", "b", "c", "d"], np.array(rows, dtype=np.float32))
    assert sorted(db.ids()) == ["keep"]
    assert not pathlib.Path(db_path, "wal.qorel").exists()
    # The largest float32 itself is fine.
    getattr(db, method)(["big"], [[3.4028234663852886e38, -3.4028234663852886e38, 0.0]])
    assert db.get("big")[0] == [3.4028234663852886e38, -3.4028234663852886e38, 0.0]


def test_queries_with_nan_or_overflow_still_search(db):
    db.add("b", [3.0, 2.0, 1.0])
    assert isinstance(db.search([math.nan, 0.0, 0.0], k=2), list)
    assert isinstance(db.search([1e39, 0.0, 0.0], k=2), list)
    assert len(db.search_many([[math.nan, 0.0, 0.0], [1.0, 2.0, 3.0]], k=1)) == 2
