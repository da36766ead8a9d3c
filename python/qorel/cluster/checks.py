"""Argument checks on the client, made by the engine's own conversion.

A batch is split over several shards, so a bad argument must be refused before any shard sees
its part, or some shards would apply theirs. The checks are the extension's ``_check_*``
functions, which run the conversions and checks the methods of a single database run, so the
client raises the same exceptions, with the same texts, in the same order as a single database
would. What they return is the converted argument, in a form that travels to a shard unchanged.
"""

from typing import Any, Optional

import numpy as np
import numpy.typing as npt

import _qorel

Metadata = dict[str, Any]
Rows = npt.NDArray[np.float32]


def _plain(metadata: Optional[Metadata]) -> Optional[Metadata]:
    # A dict subclass travels as the plain dict the engine reads from it.
    return metadata if metadata is None or type(metadata) is dict else dict(metadata)


class ArgumentChecker:
    """The checks for one database's settings; raises what a single database's constructor
    raises for them."""

    def __init__(self, dim: Any, metric: Any, m: Any, ef_construction: Any, quantize: Any):
        self.dim, self.metric, self.m, self.ef_construction, self.quantize = _qorel._check_settings(
            dim, metric, m, ef_construction, quantize
        )

    # ---- single values

    def id(self, id: Any) -> str:
        return _qorel._check_id(id)

    def metadata(self, metadata: Any) -> Optional[Metadata]:
        """A metadata argument fit to send: None or a plain dict whose values the engine can store."""
        _qorel._check_metadata(metadata)
        return _plain(metadata)

    def vector(self, vector: Any, id: str) -> list[float]:
        """A vector to store under ``id``, as the engine reads it. Its length and components
        are the shard's to check, after the other arguments."""
        return _qorel._check_vector(vector, None, id)

    # ---- whole argument lists

    def search(
        self, vector: Any, k: Any, ef_search: Any, where_filter: Any, max_distance: Any
    ) -> Rows:
        """The query as one float32 row, after every check a single database makes."""
        return self._rows(*_qorel._check_search(vector, k, ef_search, where_filter, max_distance, self.dim, False))

    def search_many(
        self, vectors: Any, k: Any, ef_search: Any, where_filter: Any, max_distance: Any
    ) -> Rows:
        """The queries as float32 rows, after every check a single database makes."""
        return self._rows(*_qorel._check_search(vectors, k, ef_search, where_filter, max_distance, self.dim, True))

    def search_text(self, queries: Any, k: Any, where_filter: Any, many: bool) -> list[str]:
        """The queries as a list, after every check a single database makes."""
        checked: list[str] = _qorel._check_text_search(queries, k, where_filter, many)
        return checked

    def search_hybrid(
        self, vectors: Any, queries: Any, k: Any, where_filter: Any, ef_search: Any, weight: Any, rrf_k: Any,
        candidates: Any, many: bool,
    ) -> tuple[Rows, list[str], Optional[int], float, int, int]:
        """(float32 rows, queries, ef_search, weight, rrf_k, hits each search is asked for),
        after every check a single database makes."""
        flat, queries, ef, weight, rrf_k, wanted = _qorel._check_hybrid_search(
            vectors, queries, k, where_filter, ef_search, weight, rrf_k, candidates, self.dim, many
        )
        return self._rows(flat, len(queries)), queries, ef, weight, rrf_k, wanted

    def count(self, where_filter: Any) -> None:
        _qorel._check_filter(where_filter)

    def ids(self, ids: Any) -> list[str]:
        return _qorel._check_ids(ids)

    def batch(self, ids: Any, vectors: Any, metadatas: Any) -> tuple[list[str], Rows, Optional[list[Optional[Metadata]]]]:
        """(ids, float32 rows, metadatas) of an add_many or upsert_many call, after every check
        a single database makes before it looks at stored ids, in its order."""
        checked, flat = _qorel._check_batch(ids, vectors, metadatas, self.dim)
        plain = None if metadatas is None else [_plain(md) for md in metadatas]
        return checked, self._rows(flat, len(checked)), plain

    def _rows(self, flat: bytes, n: int) -> Rows:
        return np.frombuffer(flat, dtype=np.float32).reshape(n, self.dim)


def refuse_repeated(ids: list[str]) -> None:
    """Raises the engine's DuplicateIdError for the first id repeated in a batch."""
    seen: set[str] = set()
    for id in ids:
        if id in seen:
            raise _qorel._duplicate_id_error(id)
        seen.add(id)
