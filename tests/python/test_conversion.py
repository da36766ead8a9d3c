"""Argument conversion (vectors, batches, ids, metadata, filters) and the SearchResult object.

Stored vectors are read back with `get`, which returns them exactly as stored in f32.
"""

import collections
import math
import re

import numpy as np
import pytest

import _qorel

STR_IS_NOT_A_VECTOR = "expected a sequence, not a str"
NOT_CONTIGUOUS = "The given array is not contiguous"
VECTOR_ENUM = "argument 'vector': failed to extract enum VectorInput ('List | Numpy')"
BATCH_ENUM = "argument 'vectors': failed to extract enum BatchVectorInput ('Numpy | Lists')"


@pytest.fixture
def db(db_path):
    return _qorel.Database(db_path, dim=3, metric="euclidean")


def nearest(db, vector, **kwargs):
    hits = db.search(vector, k=1, **kwargs)
    assert len(hits) == 1
    return hits[0]


def assert_stored(db, id, vector):
    assert db.get(id)[0] == [float(x) for x in np.asarray(vector, dtype=np.float32)]


def ids_of(hits):
    return sorted(h.id for h in hits)


# ---- single vectors


def test_vector_forms_are_read_exactly(db):
    db.add("ints", [1, 2, 3])
    db.add("bools_and_scalars", (True, np.float64(0.5), np.int32(-4)))
    db.add("f32", np.array([0.1, 0.2, 0.3], dtype=np.float32))
    db.add("f64", np.array([1e-3, 2e-3, 3e-3]))
    db.add("strided", (np.arange(6, dtype=np.float32) + 10)[::2])
    db.add("ndarray_ints", np.array([7, 8, 9], dtype=np.int64))
    db.add("generic_sequence", range(20, 23))
    assert_stored(db, "ints", [1, 2, 3])
    assert_stored(db, "bools_and_scalars", [1, 0.5, -4])
    assert_stored(db, "f32", np.array([0.1, 0.2, 0.3], dtype=np.float32))
    # Doubles are narrowed to the nearest f32.
    assert_stored(db, "f64", [np.float32(1e-3), np.float32(2e-3), np.float32(3e-3)])
    assert_stored(db, "strided", [10, 12, 14])
    assert_stored(db, "ndarray_ints", [7, 8, 9])
    assert_stored(db, "generic_sequence", [20, 21, 22])
    # A query takes the same forms.
    assert nearest(db, np.array([1, 2, 3], dtype=np.float32)).id == "ints"
    assert nearest(db, (1, 2, 3)).id == "ints"


@pytest.mark.parametrize(
    "vector, list_error",
    [
        ("abc", STR_IS_NOT_A_VECTOR),
        (5, "'int' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
        ({"a": 1}, "'dict' object cannot be converted to 'Sequence'"),
        ([1.0, "x", 2.0], "must be real number, not str"),
        (np.zeros((1, 3), dtype=np.float32), ""),
    ],
)
def test_vector_errors_list_both_forms(db, vector, list_error):
    for call in (lambda: db.add("a", vector), lambda: db.search(vector)):
        with pytest.raises(TypeError) as e:
            call()
        text = str(e.value)
        assert text.startswith(VECTOR_ENUM + "\n- variant List (List): ")
        assert list_error in text.split("\n")[1]
        assert text.split("\n")[2].startswith("- variant Numpy (Numpy): ")
    assert len(db) == 0


def test_vector_length_is_checked_by_the_database(db):
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 3, got 2$"):
        db.add("a", [1.0, 2.0])
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 3, got 0$"):
        db.search(np.zeros(0, dtype=np.float32))


def test_vector_item_errors_propagate_from_float_protocol(db):
    class Bad:
        def __float__(self):
            raise TypeError("no float here")

    with pytest.raises(TypeError, match="no float here"):
        db.add("a", [1.0, Bad(), 2.0])
    with pytest.raises(TypeError, match="int too large to convert to float"):
        db.add("a", [1.0, 10**400, 2.0])
    # A number beyond float32 would be stored as an infinity: it is refused instead.
    with pytest.raises(ValueError, match=r"id 'big'.*beyond the float32 range at index 0 \(1e\+300\)"):
        db.add("big", [1e300, 0.0, 0.0])
    assert len(db) == 0


# ---- batches


def test_batch_array_forms(db):
    data = np.arange(12, dtype=np.float32).reshape(4, 3) / 7
    db.add_many(["c0", "c1", "c2", "c3"], data)
    db.add_many(["f0", "f1"], np.asfortranarray(data[:2] + 100))
    db.add_many(["d0", "d1"], (data[2:] + 200).astype(np.float64)[:, ::1])
    # Non-contiguous float32 is refused, the same data as float64 is read row by row.
    sliced = (np.arange(24, dtype=np.float32).reshape(4, 6) + 300)[:, ::2]
    assert not sliced.flags.c_contiguous and not sliced.flags.f_contiguous
    with pytest.raises(TypeError) as e:
        db.add_many(["s0", "s1", "s2", "s3"], sliced)
    assert str(e.value) == NOT_CONTIGUOUS
    db.add_many(["s0", "s1", "s2", "s3"], sliced.astype(np.float64))
    db.add_many([], np.zeros((0, 3), dtype=np.float32))
    assert len(db) == 12
    for i in range(4):
        assert_stored(db, f"c{i}", data[i])
        assert_stored(db, f"s{i}", sliced[i])
    assert_stored(db, "f1", data[1] + 100)
    assert_stored(db, "d1", data[3] + 200)


def test_batch_sequence_forms(db):
    db.add_many(("a", "b", "c"), [[1, 2, 3], (4.0, 5.0, 6.0), np.array([7, 8, 9], dtype=np.float32)])
    db.add_many(["d"], ((0.5, 0.25, 0.125),))
    assert_stored(db, "b", [4, 5, 6])
    assert_stored(db, "c", [7, 8, 9])
    assert_stored(db, "d", [0.5, 0.25, 0.125])
    # Rows may differ in length; the database refuses the first wrong one, whole batch.
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 3, got 2$"):
        db.add_many(["x", "y"], [[1, 2, 3], [1, 2]])
    assert len(db) == 4
    hits = db.search_many(np.array([[1, 2, 3], [4, 5, 6]], dtype=np.float32), k=1)
    assert [h[0].id for h in hits] == ["a", "b"]
    assert [h[0].id for h in db.search_many(np.asfortranarray([[7.0, 8, 9], [1, 2, 3]]), k=1)] == ["c", "a"]


def test_batch_rows_keep_their_own_lengths(db):
    # Rows are gathered into one block, but never read as one run of floats: rows whose lengths
    # add up to whole rows are still refused, at the first bad row in batch order.
    for method in (db.add_many, db.upsert_many):
        with pytest.raises(ValueError, match=r"^dimension mismatch: expected 3, got 2$"):
            method(["x", "y"], [[1, 2], [3, 4, 5, 6]])
        with pytest.raises(ValueError, match=r"^dimension mismatch: expected 3, got 4$"):
            method(["x", "y", "z"], [[1, 2, 3], [4, 5, 6, 7], [8, 9]])
        with pytest.raises(ValueError, match=r"id 'x'.*non-finite"):
            method(["x", "y", "z"], [[math.nan, 0, 0], [1, 2], [1, 2, 3, 4]])
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 3, got 1$"):
        db.search_many([[1, 2, 3], [4], [5, 6, 7, 8, 9]])
    assert len(db) == 0
    db.upsert_many(["x", "y", "x"], [[1, 2, 3], [4, 5, 6], [7, 8, 9]])
    assert len(db) == 2 and db.total_slots == 2
    assert_stored(db, "x", [7, 8, 9])
    assert_stored(db, "y", [4, 5, 6])


@pytest.mark.parametrize(
    "vectors, lists_error",
    [
        ("abc", STR_IS_NOT_A_VECTOR),
        (3, "'int' object cannot be converted to 'Sequence'"),
        ([[1, 2, 3], "abc"], STR_IS_NOT_A_VECTOR),
        ([[1, 2, 3], [1, None, 3]], "must be real number, not NoneType"),
        (np.zeros((2, 2, 3), dtype=np.float32), ""),
    ],
)
def test_batch_errors_list_both_forms(db, vectors, lists_error):
    with pytest.raises(TypeError) as e:
        db.search_many(vectors)
    text = str(e.value)
    lines = text.split("\n")
    assert lines[0] == BATCH_ENUM
    assert lines[1].startswith("- variant Numpy (Numpy): ")
    assert lines[2].startswith("- variant Lists (Lists): ") and lists_error in lines[2]
    with pytest.raises(TypeError, match="argument 'vectors'"):
        db.add_many(["a", "b"], vectors)
    assert len(db) == 0


def test_id_lists(db):
    with pytest.raises(TypeError) as e:
        db.add_many("ab", [[1, 2, 3], [4, 5, 6]])
    assert str(e.value) == "argument 'ids': " + STR_IS_NOT_A_VECTOR
    with pytest.raises(TypeError, match=r"^argument 'ids': 'int' object cannot be converted to 'str'$"):
        db.add_many(["a", 1], [[1, 2, 3], [4, 5, 6]])
    with pytest.raises(TypeError, match="^argument 'ids': "):
        db.add_many({"a", "b"}, [[1, 2, 3], [4, 5, 6]])
    assert len(db) == 0
    # Any sequence of str, order kept; str subclasses count as str.
    db.add_many(np.array(["n0", "n1"]), np.eye(2, 3, dtype=np.float32))
    db.add_many(("t0",), [[0, 0, 5]])
    assert nearest(db, [1, 0, 0]).id == "n0"
    assert nearest(db, [0, 1, 0]).id == "n1"
    assert nearest(db, [0, 0, 5]).id == "t0"


# ---- metadata


def metadata_of(db, vector):
    return nearest(db, vector).metadata


def test_metadata_round_trip(db):
    meta = {"b": 1, "a": [1, 2.5, None, True], 1: (1, 2), "big": 2**64 - 1, "neg": -2**63, "f": 0.1,
            "nested": {"z": {"y": "é\u2603"}}}
    db.add("a", [1, 0, 0], metadata=meta)
    got = metadata_of(db, [1, 0, 0])
    assert list(got) == sorted(got)
    assert got == {"1": [1, 2], "a": [1, 2.5, None, True], "b": 1, "big": 2**64 - 1, "neg": -2**63,
                   "f": 0.1, "nested": {"z": {"y": "é\u2603"}}}
    assert type(got["b"]) is int and type(got["a"][1]) is float and got["a"][3] is True
    assert type(got["big"]) is int
    # A dict subclass is a dict.
    db.add("b", [0, 1, 0], collections.OrderedDict([("y", 1), ("x", 2)]))
    assert list(metadata_of(db, [0, 1, 0])) == ["x", "y"]
    db.add("c", [0, 0, 1], {})
    assert metadata_of(db, [0, 0, 1]) == {}
    db.add("d", [5, 5, 5])
    assert metadata_of(db, [5, 5, 5]) is None


def test_metadata_refusals(db):
    with pytest.raises(TypeError, match=r"^argument 'metadata': 'list' object cannot be converted to 'dict'$"):
        db.add("a", [1, 2, 3], metadata=[("k", 1)])
    for bad in (float("nan"), float("inf"), -float("inf")):
        with pytest.raises(ValueError) as e:
            db.add("a", [1, 2, 3], {"x": [1, bad]})
        assert str(e.value).startswith("invalid metadata: ")
        assert re.search(r"at line 1 column \d+$", str(e.value))
    # The json module's own errors arrive unchanged.
    with pytest.raises(TypeError, match="not JSON serializable"):
        db.add("a", [1, 2, 3], {"x": object()})
    with pytest.raises(TypeError, match="keys must be str, int, float, bool or None"):
        db.add("a", [1, 2, 3], {("t",): 1})
    assert len(db) == 0


def test_metadata_nesting_limit(db):
    def nested(levels):
        value = {}
        for _ in range(levels - 1):
            value = {"n": value}
        return value

    # 127 levels pass, 128 do not; lists count like dicts.
    db.add("ok", [1, 2, 3], nested(127))
    value, levels = metadata_of(db, [1, 2, 3]), 1
    while value:
        value, levels = value["n"], levels + 1
    assert levels == 127
    with pytest.raises(ValueError, match=r"^invalid metadata: "):
        db.add("deep", [4, 5, 6], nested(128))
    # Far beyond the limit, still the same refusal rather than the encoder's RecursionError.
    with pytest.raises(ValueError, match=r"^invalid metadata: "):
        db.add("deep", [4, 5, 6], {"a": nested(10_000)})
    lists = []
    for _ in range(126):
        lists = [lists]
    with pytest.raises(ValueError, match=r"^invalid metadata: "):
        db.add("deep", [4, 5, 6], {"a": lists})
    db.add("lists", [4, 5, 6], {"a": lists[0]})
    assert len(db) == 2


@pytest.mark.parametrize("value", [2**64, 2**64 + 1, -2**63 - 1, 10**400], ids=["2**64", "2**64+1", "-2**63-1", "10**400"])
@pytest.mark.parametrize("where", ["metadata", "nested metadata", "filter", "range", "in"])
def test_integers_beyond_64_bits_are_refused(tagged, value, where):
    # Never rounded to a float: a stored 2**64 would otherwise match 2**64 + 1.
    with pytest.raises(ValueError, match="integer out of range at key 'n'"):
        if where == "metadata":
            tagged.add("x", [0, 0], {"n": value})
        elif where == "nested metadata":
            tagged.add_many(["x"], [[0, 0]], [{"n": {"deep": [1, value]}}])
        elif where == "filter":
            tagged.count({"n": value})
        elif where == "range":
            tagged.search([0, 0], where_filter={"n": {"$lt": value}})
        else:
            tagged.search_many([[0, 0]], where_filter={"n": {"$in": [1, value]}})
    assert len(tagged) == 9


def test_metadatas_argument(db):
    vectors = [[1, 0, 0], [0, 1, 0], [0, 0, 1]]
    with pytest.raises(TypeError, match=r"^argument 'metadatas': 'tuple' object cannot be converted to 'list'$"):
        db.add_many(["a", "b", "c"], vectors, ({}, {}, {}))
    with pytest.raises(ValueError, match=r"^metadatas length \(2\) != ids length \(3\)$"):
        db.add_many(["a", "b", "c"], vectors, [{}, {}])
    with pytest.raises(ValueError, match="^metadatas must be list of dicts or None$"):
        db.add_many(["a", "b", "c"], vectors, [{}, "x", {}])
    with pytest.raises(ValueError, match="^invalid metadata: "):
        db.add_many(["a", "b", "c"], vectors, [{}, None, {"v": math.nan}])
    assert len(db) == 0

    class Metas(list):
        pass

    db.add_many(["a", "b", "c"], vectors, Metas([{"i": 0}, None, {"i": 2}]))
    assert [metadata_of(db, v) for v in vectors] == [{"i": 0}, None, {"i": 2}]
    db.upsert_many(["a", "b"], vectors[:2], None)
    assert [metadata_of(db, v) for v in vectors] == [None, None, {"i": 2}]


# ---- filters


@pytest.fixture
def tagged(db_path):
    db = _qorel.Database(db_path, dim=2, metric="euclidean")
    db.add_many(
        ["int1", "float1", "true", "str", "big", "max", "none", "bare", "nometa"],
        [[i, 0] for i in range(9)],
        [{"n": 1}, {"n": 1.0}, {"n": True}, {"n": "1"}, {"n": 2**63}, {"n": 2**64 - 1}, {"n": None},
         {"other": 1}, None],
    )
    return db


def matching(db, where_filter):
    return ids_of(db.search([0, 0], k=100, where_filter=where_filter))


def test_filter_operands_keep_their_json_kind(tagged):
    assert matching(tagged, {"n": 1}) == ["int1"]
    assert matching(tagged, {"n": np.int64(1)}) == ["int1"]
    assert matching(tagged, {"n": 1.0}) == ["float1"]
    assert matching(tagged, {"n": True}) == ["true"]
    assert matching(tagged, {"n": np.bool_(True)}) == ["true"]
    assert matching(tagged, {"n": "1"}) == ["str"]
    # Integers from 2**63 to 2**64-1 stay integers, as they do in metadata.
    assert matching(tagged, {"n": 2**63}) == ["big"]
    assert matching(tagged, {"n": 2**64 - 1}) == ["max"]
    assert matching(tagged, {"n": float(2**63)}) == []
    # None, NaN and the infinities are JSON null: never answered by the index.
    assert matching(tagged, {"n": None}) == []
    assert matching(tagged, {"n": math.inf}) == []
    assert matching(tagged, {"n": {"$in": [1.0, "1", 2**64 - 1, None]}}) == ["float1", "max", "str"]
    assert matching(tagged, {"n": {"$in": []}}) == []
    assert matching(tagged, {"n": {"$gte": 1, "$lt": 2}}) == ["float1", "int1"]
    assert matching(tagged, {"n": {"$gt": math.nan}}) == []
    assert matching(tagged, {"n": {"$ne": 1}}) == ["bare", "big", "float1", "max", "none", "str", "true"]
    assert matching(tagged, {"n": 1, "other": {}}) == ["int1"]
    assert matching(tagged, {}) == []
    assert matching(tagged, {"n": {}}) == []


@pytest.mark.parametrize(
    "where_filter, exc, text",
    [
        ({1: "x"}, TypeError, "'int' object cannot be converted to 'str'"),
        ({"n": {2: 1}}, TypeError, "'int' object cannot be converted to 'str'"),
        ({"n": {"$eq": 1}}, ValueError, "unknown operator: $eq"),
        ({"n": {"$in": ("a", "b")}}, ValueError, "$in value must be a list"),
        ({"n": {"$in": {"a"}}}, ValueError, "$in value must be a list"),
        ({"n": {"$in": [1, [2]]}}, ValueError, "unsupported filter value type"),
        ({"n": {"$gt": "5"}}, ValueError, "$gt value must be a number"),
        ({"n": {"$gte": None}}, ValueError, "$gte value must be a number"),
        ({"n": {"$lt": [1]}}, ValueError, "$lt value must be a number"),
        ({"n": {"$gt": True}}, ValueError, "$gt value must be a number"),
        ({"n": {"$lte": np.bool_(False)}}, ValueError, "$lte value must be a number"),
        ({"n": [1, 2]}, ValueError, "unsupported filter value type"),
        ({"n": {"$ne": {1}}}, ValueError, "unsupported filter value type"),
        ({"n": b"1"}, ValueError, "unsupported filter value type"),
        # The first faulty entry in dict order decides.
        ({"a": {"$bad": 1}, "b": [1]}, ValueError, "unknown operator: $bad"),
        ({"b": [1], "a": {"$bad": 1}}, ValueError, "unsupported filter value type"),
    ],
)
def test_filter_errors(tagged, where_filter, exc, text):
    with pytest.raises(exc) as e:
        tagged.search([0, 0], where_filter=where_filter)
    assert str(e.value) == text
    with pytest.raises(exc):
        tagged.search_many([[0, 0]], where_filter=where_filter)


def test_malformed_nested_filters_raise(tagged):
    deep, deep_not = {"n": 1}, {"$gt": 0}
    for _ in range(40):
        deep, deep_not = {"$and": [deep]}, {"$not": deep_not}
    loop = {}
    loop["$or"] = [loop]
    for where in ({"$or": {"n": 1}}, {"$or": [1]}, {"$and": ({"n": 1},)}, {"n": {"$contains": [1]}},
                  {"n": {"$not_contains": {"a": 1}}}, {"n": {"$not": 1}}, {"n": {"$not": {}}},
                  {"n": {"$nin": "ab"}}, {"$nor": [{"n": 1}]}, {"n": {"$not": {"$bad": 1}}}, deep,
                  {"n": deep_not}, loop):
        with pytest.raises(ValueError):
            tagged.search([0, 0], where_filter=where)
        with pytest.raises(ValueError):
            tagged.count(where)
    with pytest.raises(TypeError):
        tagged.count({"$or": [{1: "x"}]})
    # Nesting well inside the limit is fine.
    ok = {"n": 1}
    for _ in range(20):
        ok = {"$or": [ok]}
    assert tagged.count(ok) == 1


def test_search_argument_order_and_types(tagged):
    # The filter is parsed before the database checks the query length.
    with pytest.raises(ValueError, match="unknown operator"):
        tagged.search([0, 0, 0], where_filter={"n": {"$eq": 1}})
    with pytest.raises(TypeError, match=r"^argument 'where_filter': 'list' object cannot be converted to 'dict'$"):
        tagged.search([0, 0], where_filter=[("n", 1)])
    with pytest.raises(TypeError, match="^argument 'max_distance': "):
        tagged.search([0, 0], max_distance="1")
    assert [h.id for h in tagged.search([0, 0], k=3, max_distance=True)] == ["int1", "float1"]
    assert [h.id for h in tagged.search([0, 0], k=3, max_distance=None)] == ["int1", "float1", "true"]


# ---- SearchResult


@pytest.fixture
def hit(db):
    db.add("it's", [0.5, 0, 0], {"b": [1, 2], "a": 1.5})
    db.add("plain", [0.1, 0, 0])
    return db.search([0, 0, 0], k=2)


def test_search_result_members(hit):
    plain, r = hit
    assert (plain.id, r.id) == ("plain", "it's")
    # Distances are f32 values widened exactly.
    assert plain.distance == float(np.float32(0.1) * np.float32(0.1))
    assert r.distance == 0.25
    assert plain.metadata is None and plain[2] is None
    assert r.metadata == {"a": 1.5, "b": [1, 2]} and list(r.metadata) == ["a", "b"]
    # Decoded afresh on every read; changing one copy changes nothing else.
    assert r.metadata is not r.metadata
    r.metadata["a"] = 0
    assert r[2] == {"a": 1.5, "b": [1, 2]}
    assert (r[0], r[1], r[True]) == (r.id, r.distance, r.distance)


def test_search_result_indexing_and_iteration(hit):
    r = hit[0]
    for bad_index in (3, 100):
        with pytest.raises(ValueError, match="^index out of range$"):
            r[bad_index]
    with pytest.raises(OverflowError, match="idx"):
        r[-1]
    with pytest.raises(OverflowError):
        r[2**64]
    for bad_index in ("0", 1.0, slice(0, 2), None):
        with pytest.raises(TypeError, match="idx"):
            r[bad_index]
    # Iteration and unpacking walk the positions and end with the out-of-range error.
    with pytest.raises(ValueError, match="^index out of range$"):
        list(r)
    with pytest.raises(ValueError, match="^index out of range$"):
        i, d, m = r
    seen = []
    with pytest.raises(ValueError):
        for member in r:
            seen.append(member)
    assert seen == [r.id, r.distance, r.metadata]
    with pytest.raises(TypeError):
        len(r)


def test_search_result_repr(db):
    db.add_many(["q'uote", "zero", "tiny", "far"], [[0.5, 0, 0], [0, 0, 0], [0.01, 0, 0], [300, 0, 0]])
    zero, tiny, quote, far = db.search([0, 0, 0], k=4)
    assert repr(zero) == "SearchResult(id='zero', distance=0.0000)"
    assert repr(quote) == "SearchResult(id='q'uote', distance=0.2500)"
    assert repr(tiny) == "SearchResult(id='tiny', distance=0.0001)"
    assert repr(far) == "SearchResult(id='far', distance=90000.0000)"
    # Four decimals of the exact f32 value, as Python formats the widened double.
    db.add("odd", [0.0123, 0.0456, 0.0789])
    for r in db.search([0.001, 0.002, 0.003], k=5):
        assert repr(r) == f"SearchResult(id='{r.id}', distance={r.distance:.4f})"
    assert str(zero) == repr(zero)


def test_search_result_class(db, hit):
    r = hit[0]
    with pytest.raises(TypeError, match="^No constructor defined for SearchResult$"):
        _qorel.SearchResult()
    with pytest.raises(TypeError, match="^No constructor defined for SearchResult$"):
        _qorel.SearchResult("a", 0.0)
    assert type(r) is _qorel.SearchResult
    assert _qorel.SearchResult.__doc__ is None
    for name in ("id", "distance", "metadata"):
        with pytest.raises(AttributeError):
            setattr(r, name, None)
    assert not hasattr(r, "__len__")
    # Identity semantics: no comparison or hash of its own.
    other = db.search([0, 0, 0], k=1)[0]
    assert other is not r and other.id == r.id
    assert other != r and r == r
    assert hash(r) == hash(r)
    with pytest.raises(TypeError):
        r < other  # noqa: B015


def test_search_result_lists(db):
    db.add_many(["a", "b"], [[0, 0, 0], [1, 0, 0]], [{"i": 0}, {"i": 1}])
    results = db.search_many([[0, 0, 0], [1, 0, 0], [9, 9, 9]], k=1)
    assert type(results) is list and all(type(r) is list for r in results)
    assert [[(h.id, h.metadata) for h in r] for r in results] == [[("a", {"i": 0})], [("b", {"i": 1})], [("b", {"i": 1})]]
    assert db.search([0, 0, 0], k=0) == []


def test_search_many_results_stay_with_their_queries(db):
    # Hits are converted on several threads and put into lists afterwards: every list must be
    # its own query's, in order, with its own hits' metadata.
    n = 500
    db.add_many([f"v{i}" for i in range(n)], np.array([[i, 0, 0] for i in range(n)], dtype=np.float32),
                [{"i": i} if i % 3 else None for i in range(n)])
    results = db.search_many([[n - 1 - i, 0.5, 0] for i in range(n)], k=1)
    assert [(r[0].id, r[0].metadata) for r in results] == [
        (f"v{n - 1 - i}", {"i": n - 1 - i} if (n - 1 - i) % 3 else None) for i in range(n)]
    assert {r[0].distance for r in results} == {0.25}


# ---- count (a method that arrives later than search)


def test_count_parses_filters_like_search(tagged):
    assert tagged.count() == 9
    assert tagged.count(None) == 9
    assert tagged.count({"n": 1}) == 1
    assert tagged.count(where_filter={"n": 2**64 - 1}) == 1
    assert tagged.count({"n": {"$in": [True, 1.0]}}) == 2
    assert tagged.count({}) == 0
    with pytest.raises(TypeError, match="^argument 'where_filter': "):
        tagged.count([("n", 1)])
    with pytest.raises(ValueError, match=r"^unknown operator: \$regex$"):
        tagged.count({"n": {"$regex": "x"}})
    with pytest.raises(ValueError, match="^unsupported filter value type$"):
        tagged.count({"n": {"$ne": object()}})
