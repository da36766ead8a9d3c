"""Search hits of a sharded database and the merge of the shards' answers."""

import copy
import math
import operator
from typing import Any, Optional

import numpy as np


class SearchResult:
    """One hit, read like the single database's: ``id``, ``distance`` and ``metadata``, or
    ``r[0]``, ``r[1]``, ``r[2]``; ``r[3]`` raises ValueError, so a result cannot be unpacked."""

    __slots__ = ("_id", "_distance", "_metadata")

    def __init__(self, id: str, distance: float, metadata: Optional[dict[str, Any]]):
        self._id = id
        self._distance = distance
        self._metadata = metadata

    @property
    def id(self) -> str:
        return self._id

    @property
    def distance(self) -> float:
        return self._distance

    @property
    def metadata(self) -> Optional[dict[str, Any]]:
        # Every read gives a fresh dict, so changing one never changes the next read.
        return None if self._metadata is None else copy.deepcopy(self._metadata)

    def __getitem__(self, idx: Any) -> Any:
        # Positions are unsigned: a negative index is an OverflowError, not a count from the end.
        try:
            i = operator.index(idx)
        except TypeError as e:
            raise TypeError(f"argument 'idx': {e}") from None
        if i < 0:
            raise OverflowError("argument 'idx': can't convert negative int to unsigned")
        if i == 0:
            return self._id
        if i == 1:
            return self._distance
        if i == 2:
            return self.metadata
        raise ValueError("index out of range")

    def __repr__(self) -> str:
        return f"SearchResult(id='{self._id}', distance={_format_distance(self._distance)})"


def _format_distance(d: float) -> str:
    if math.isnan(d):
        return "NaN"
    if math.isinf(d):
        return "inf" if d > 0 else "-inf"
    return f"{d:.4f}"


_distance = operator.itemgetter(1)


# A hit as a shard sends it: (id, distance, metadata).
Hit = tuple[str, float, Optional[dict[str, Any]]]


def merge(per_shard: list[list[Hit]], k: int) -> list["SearchResult"]:
    """The k nearest hits of the union of the shards' lists, nearest first.

    Each shard's list is already its own k nearest, so the global k nearest are among them.
    The sort is stable: equal distances keep shard order.
    """
    pooled = [hit for hits in per_shard for hit in hits]
    if len(per_shard) > 1:
        pooled.sort(key=_distance)
    return [SearchResult(*hit) for hit in pooled[:k]]


def fuse(nearest: list[SearchResult], keyword: list[SearchResult], k: int, weight: float, rrf_k: int) -> list[SearchResult]:
    """The k best of two rankings fused by reciprocal rank, as a single database fuses them:
    each id scores weight / (rrf_k + its rank in ``nearest``) + (1 - weight) / (rrf_k + its
    rank in ``keyword``), ranks from 1; the distance is the negated score as a float32."""
    scores: dict[str, float] = {}
    found: dict[str, SearchResult] = {}
    for ranking, share in ((nearest, weight), (keyword, 1.0 - weight)):
        for rank, r in enumerate(ranking, 1):
            scores[r.id] = scores.get(r.id, 0.0) + share / (rrf_k + rank)
            found.setdefault(r.id, r)
    best = sorted(scores.items(), key=lambda item: -item[1])[:k]
    return [SearchResult(id, float(np.float32(-score)), found[id]._metadata) for id, score in best]
