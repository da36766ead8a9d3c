"""Every member of the public API, used the way a typed program would. The typing tests check
it with mypy --strict and then run it, so the stubs have to agree with both the checker and the
module."""

from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

import _qorel
import qorel


def describe(hit: qorel.SearchResult) -> str:
    name: str = hit.id
    distance: float = hit.distance
    metadata: Optional[dict[str, Any]] = hit.metadata
    first: Any = hit[0]
    return f"{name} {distance:.3f} {metadata} {first} {hit!r}"


def run(path: str) -> list[str]:
    version: str = qorel.__version__
    lines = [version]
    db: qorel.Database = qorel.Database(path, dim=3, metric="euclidean", m=8, ef_construction=50,
                                        quantize=False)
    batch: npt.NDArray[np.float32] = np.array([[0.0, 1.0, 0.0], [0.0, 0.0, 1.0]], dtype=np.float32)
    db.add("a", [1.0, 0.0, 0.0], {"kind": "x", "n": 1})
    db.add_many(["b", "c"], batch, [{"kind": "y"}, None])
    db.upsert("d", np.array([1.0, 1.0, 0.0], dtype=np.float32))
    db.upsert_many(["d", "e"], [[1.0, 1.0, 1.0], [0.5, 0.5, 0.5]])
    db.update("e", vector=[0.2, 0.2, 0.2], metadata={"kind": "z"})

    hits: list[qorel.SearchResult] = db.search([1.0, 0.0, 0.0], k=2, ef_search=20,
                                               where_filter={"kind": {"$ne": "q"}}, max_distance=9.0)
    lines.extend(describe(h) for h in hits)
    batches: list[list[qorel.SearchResult]] = db.search_many(batch, k=1)
    lines.extend(describe(h) for hs in batches for h in hs)
    # Arrays of other dtypes are converted: float64 from NumPy's generators, integers.
    wide: npt.NDArray[np.float64] = np.random.default_rng(1).standard_normal((2, 3))
    ints: npt.NDArray[np.int64] = np.array([0, 0, 1], dtype=np.int64)
    lines.append(f"{len(db.search_many(wide, k=1))} {len(db.search(ints, k=1))}")

    db.enable_text_index("kind", stem=True)
    text: Optional[dict[str, Union[str, bool]]] = db.text_index
    keyword: list[qorel.SearchResult] = db.search_text("x", k=2, where_filter={"n": 1})
    fused: list[qorel.SearchResult] = db.search_hybrid([1.0, 0.0, 0.0], "y", k=2, weight=0.7, rrf_k=10,
                                                        candidates=5, ef_search=20)
    keyword_batches: list[list[qorel.SearchResult]] = db.search_text_many(["x", "y"], k=1)
    fused_batches: list[list[qorel.SearchResult]] = db.search_hybrid_many(batch, ["x", "y"], k=1)
    lines.append(f"{text} {len(keyword)} {len(fused)} {len(keyword_batches)} {len(fused_batches)}")

    vector, metadata = db.get("a")
    first: float = vector[0]
    lines.append(f"{first} {metadata}")
    gone: bool = db.delete("b")
    removed: int = db.delete_many(["c", "missing"])
    matching: int = db.count({"kind": "z"})
    every: int = db.count()
    names: list[str] = sorted(db.ids())
    lines.append(f"{gone} {removed} {matching} {every} {names}")

    db.enable_quantized_search()
    on: bool = db.quantized_search
    db.disable_quantized_search()
    db.compact()
    stats: dict[str, Any] = db.stats()
    lines.append(f"{on} {db.quantized_search} {stats['num_vectors']} {db.dim} {db.metric} "
                 f"{db.total_slots} {db.deleted_count} {len(db)} {'a' in db}")
    db.save()

    reopened: _qorel.Database
    with _qorel.Database(path) as reopened:
        lines.append(f"{len(reopened)}")

    try:
        db.get("never stored")
    except qorel.NotFoundError as e:
        base: qorel.QorelError = e
        plain: ValueError = base
        assert str(plain)
    missing: type[qorel.QorelError] = qorel.DatabaseNotFoundError
    assert issubclass(missing, ValueError)
    return lines
