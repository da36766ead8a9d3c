"""A reopened database is the one that was saved: ids, vectors, metadata of every shape,
filtered results and search hits, through changes and further saves, and damaged id records
settle to one consistent state."""

import numpy as np
import pytest

import _qorel


def metadata_for(i):
    # Flat rows (kept as stored text until read), nested and non-ASCII rows (parsed at open)
    # and rows without metadata, interleaved so that slots of every kind sit side by side.
    kind = i % 4
    if kind == 0:
        return {"source": f"doc-{i % 7}.txt", "page": i}
    if kind == 1:
        return {"source": f"doc-{i % 7}.txt", "tags": ["a", str(i)], "nested": {"n": i}}
    if kind == 2:
        return {"source": "caf\u00e9", "page": i, "ok": i % 3 == 0}
    return None


def state(db, queries):
    rows = {i: db.get(i) for i in sorted(db.ids())}
    filters = [{"source": "doc-3.txt"}, {"page": {"$gte": 50}}, {"source": {"$in": ["caf\u00e9", "doc-1.txt"]}}]
    filtered = [sorted(h.id for h in db.search(queries[0], k=200, where_filter=f)) for f in filters]
    counts = [db.count(f) for f in filters]
    hits = [[(h.id, round(h.distance, 5)) for h in db.search(q, k=10)] for q in queries]
    return rows, filtered, counts, hits, len(db)


@pytest.fixture
def saved(db_path):
    rng = np.random.default_rng(11)
    vectors = rng.standard_normal((160, 8)).astype(np.float32)
    db = _qorel.Database(db_path, dim=8, metric="cosine", m=8, ef_construction=60)
    db.add_many([f"id-{i}" for i in range(160)], vectors, [metadata_for(i) for i in range(160)])
    db.save()
    return db, rng.standard_normal((4, 8)).astype(np.float32)


def test_reopen_after_changes_and_a_second_save_keeps_everything(db_path, saved):
    db, queries = saved
    first = _qorel.Database(db_path)
    assert state(first, queries) == state(db, queries)

    # Changes on the reopened database: metadata replaced (flat by nested and back), rows
    # deleted, rows added, one row's metadata read before the save and one never read.
    first.update("id-0", metadata={"nested": {"now": True}})
    first.update("id-1", metadata={"source": "doc-3.txt", "page": 99})
    first.update("id-5", vector=np.ones(8, dtype=np.float32))
    for i in (2, 7, 40):
        first.delete(f"id-{i}")
    first.add("new-a", np.full(8, 0.5, dtype=np.float32), {"source": "doc-3.txt", "page": 1000})
    first.add("new-b", -np.ones(8, dtype=np.float32))
    assert first.get("id-4")[1] == metadata_for(4)
    first.save()
    expected = state(first, queries)

    second = _qorel.Database(db_path)
    assert state(second, queries) == expected
    # Saved again without a change, and reopened: still the same.
    second.save()
    assert state(_qorel.Database(db_path), queries) == expected


def test_an_id_recorded_twice_keeps_the_metadata_of_the_record_that_wins(db_path, record_id_twice):
    db = _qorel.Database(db_path, dim=4, metric="l2")
    db.add("keep", [1, 0, 0, 0], {"k": 1})
    db.add("dupe", [0, 1, 0, 0], {"deep": {"k": 2}})
    db.add("last", [0, 0, 1, 0], {"k": 3})
    db.save()
    del db
    record_id_twice("dupe", "keep")

    db = _qorel.Database(db_path)
    # Whichever record holds the id, the slot it names answers with that record's vector and
    # metadata, never another slot's.
    assert sorted(db.ids()) == ["keep", "last"] and len(db) == 2
    assert tuple(db.get("keep")) in (([1, 0, 0, 0], {"k": 1}), ([0, 1, 0, 0], {"deep": {"k": 2}}))
    assert tuple(db.get("last")) == ([0, 0, 1, 0], {"k": 3})
    assert db.count({"k": 3}) == 1 and db.count({"k": 1}) == (db.get("keep")[1] == {"k": 1})
    # The state survives a save and another open.
    db.save()
    before = {i: db.get(i) for i in db.ids()}
    again = _qorel.Database(db_path)
    assert {i: again.get(i) for i in again.ids()} == before
