"""Graph files whose id records were damaged: the database that opens stays consistent."""

import _qorel


def test_an_id_recorded_twice_leaves_one_live_vector(db_path, record_id_twice):
    db = _qorel.Database(db_path, dim=4, metric="l2")
    db.add("a1", [1, 0, 0, 0], {"k": 1})
    db.add("a2", [0, 1, 0, 0], {"k": 2})
    db.add("b", [0, 0, 1, 0])
    db.save()
    del db
    record_id_twice("a2", "a1")

    try:
        db = _qorel.Database(db_path)
    except ValueError:
        return  # refusing the damaged file is sound as well
    # Every vector the database counts or finds is reachable by its id, and only once.
    assert sorted(db.ids()) == ["a1", "b"]
    assert len(db) == db.count() == 2
    hits = db.search([1, 1, 1, 0], k=10)
    assert sorted(h.id for h in hits) == ["a1", "b"]
    assert tuple(db.get("a1")) in (([1, 0, 0, 0], {"k": 1}), ([0, 1, 0, 0], {"k": 2}))
    # Deleting the id removes the last trace of it.
    db.delete("a1")
    assert len(db) == 1 and [h.id for h in db.search([1, 1, 1, 0], k=10)] == ["b"]


def test_a_repeated_id_far_into_a_long_record_list_is_settled_the_same_way(db_path, record_id_twice):
    # An open hashes ids some records ahead of inserting them: a repeat met long after the first
    # occurrence, with other ids in between, must still leave one live vector under the id.
    db = _qorel.Database(db_path, dim=2, metric="l2")
    for i in range(40):
        db.add(f"r{i:02d}", [float(i), 1.0], {"i": i})
    db.save()
    del db
    record_id_twice("r31", "r07")

    try:
        db = _qorel.Database(db_path)
    except ValueError:
        return  # refusing the damaged file is sound as well
    expected = sorted(f"r{i:02d}" for i in range(40) if i != 31)
    assert sorted(db.ids()) == expected
    assert len(db) == db.count() == 39
    assert sorted(h.id for h in db.search([0.0, 0.0], k=50)) == expected
    assert db.get("r07")[1]["i"] in (7, 31)
    # Every other id still names its own row.
    for i in range(40):
        if i not in (7, 31):
            vector, meta = db.get(f"r{i:02d}")
            assert meta == {"i": i} and list(vector) == [float(i), 1.0]
