"""Types of the extension module _qorel, which is imported from the top level and re-exported
by qorel."""

from typing import Any, Callable, Optional, Sequence, Tuple, Union, final

import numpy as np
import numpy.typing as npt

# Arrays of any numeric dtype are accepted: float32 batches are read in place, the others are
# converted element by element.
_Array = npt.NDArray[Union[np.floating[Any], np.integer[Any]]]
_Vector = Union[Sequence[float], _Array]
_Vectors = Union[Sequence[Sequence[float]], _Array]
_Filter = dict[str, Any]

# Every error qorel raises for a failed call is a QorelError, and so a ValueError.
class QorelError(ValueError): ...
class NotFoundError(QorelError): ...
class DuplicateIdError(QorelError): ...
class DimensionMismatchError(QorelError): ...
class DatabaseNotFoundError(QorelError): ...
class CorruptDatabaseError(QorelError): ...
class DatabaseInUseError(QorelError): ...
class StorageError(QorelError): ...
class InvalidVectorError(QorelError): ...
class InvalidMetricError(QorelError): ...
class ReadOnlyError(QorelError): ...

# A broken engine invariant: outside the Exception hierarchy, so `except Exception` misses it.
class InternalError(BaseException): ...

# Instances come only from searches, and the class cannot be subclassed.
@final
class SearchResult:
    @property
    def id(self) -> str: ...
    @property
    def distance(self) -> float: ...
    @property
    def metadata(self) -> Optional[dict[str, Any]]: ...
    # r[0], r[1], r[2] are id, distance and metadata; iteration and unpacking go through
    # __getitem__ and end with ValueError("index out of range") at position 3.
    def __getitem__(self, idx: int, /) -> Any: ...
    def __repr__(self, /) -> str: ...

class Database:
    def __init__(
        self,
        path: str,
        dim: Optional[int] = None,
        metric: Optional[str] = None,
        m: Optional[int] = None,
        ef_construction: Optional[int] = None,
        quantize: bool = False,
        checkpoint: Optional[float] = 1.0,
        read_only: bool = False,
    ) -> None: ...
    def add(self, id: str, vector: _Vector, metadata: Optional[dict[str, Any]] = None) -> None: ...
    def upsert(self, id: str, vector: _Vector, metadata: Optional[dict[str, Any]] = None) -> None: ...
    def add_many(
        self, ids: Sequence[str], vectors: _Vectors, metadatas: Optional[list[Optional[dict[str, Any]]]] = None
    ) -> None: ...
    def search(
        self,
        vector: _Vector,
        k: int = 10,
        ef_search: Optional[int] = None,
        where_filter: Optional[_Filter] = None,
        max_distance: Optional[float] = None,
    ) -> list[SearchResult]: ...
    def search_many(
        self,
        vectors: _Vectors,
        k: int = 10,
        ef_search: Optional[int] = None,
        where_filter: Optional[_Filter] = None,
        max_distance: Optional[float] = None,
    ) -> list[list[SearchResult]]: ...
    def search_text(
        self, query: str, k: int = 10, where_filter: Optional[_Filter] = None
    ) -> list[SearchResult]: ...
    def search_text_many(
        self, queries: Sequence[str], k: int = 10, where_filter: Optional[_Filter] = None
    ) -> list[list[SearchResult]]: ...
    def search_hybrid(
        self,
        vector: _Vector,
        query: str,
        k: int = 10,
        where_filter: Optional[_Filter] = None,
        *,
        ef_search: Optional[int] = None,
        weight: float = 0.5,
        rrf_k: int = 60,
        candidates: Optional[int] = None,
    ) -> list[SearchResult]: ...
    def search_hybrid_many(
        self,
        vectors: _Vectors,
        queries: Sequence[str],
        k: int = 10,
        where_filter: Optional[_Filter] = None,
        *,
        ef_search: Optional[int] = None,
        weight: float = 0.5,
        rrf_k: int = 60,
        candidates: Optional[int] = None,
    ) -> list[list[SearchResult]]: ...
    def get(self, id: str) -> Tuple[list[float], Optional[dict[str, Any]]]: ...
    def delete(self, id: str) -> bool: ...
    def delete_many(self, ids: Sequence[str]) -> int: ...
    def update(
        self, id: str, vector: Optional[_Vector] = None, metadata: Optional[dict[str, Any]] = None
    ) -> None: ...
    def upsert_many(
        self, ids: Sequence[str], vectors: _Vectors, metadatas: Optional[list[Optional[dict[str, Any]]]] = None
    ) -> None: ...
    def count(self, where_filter: Optional[_Filter] = None) -> int: ...
    def ids(self) -> list[str]: ...
    def save(self) -> None: ...
    def compact(self) -> None: ...
    def enable_quantized_search(self) -> None: ...
    def disable_quantized_search(self) -> None: ...
    def enable_text_index(self, field: str, *, stem: bool = False) -> None: ...
    def refresh(self) -> None: ...
    def stats(self) -> dict[str, Union[int, float, bool, None]]: ...
    def check(self) -> list[dict[str, Union[str, bool]]]: ...
    def __enter__(self) -> "Database": ...
    def __exit__(self, _exc_type: Any = None, _exc_val: Any = None, _exc_tb: Any = None) -> bool: ...
    def __len__(self) -> int: ...
    def __contains__(self, id: str) -> bool: ...
    @property
    def quantized_search(self) -> bool: ...
    @property
    def deleted_count(self) -> int: ...
    @property
    def total_slots(self) -> int: ...
    @property
    def dim(self) -> int: ...
    @property
    def metric(self) -> str: ...
    @property
    def read_only(self) -> bool: ...
    @property
    def text_index(self) -> Optional[dict[str, Union[str, bool]]]: ...

# The methods' signatures and docs, and the property docs, from the binding's one table:
# ((name, parameters after self, doc or None), ...), {property: doc or None}.
_api: Tuple[Tuple[Tuple[str, str, Optional[str]], ...], dict[str, Optional[str]]]
# Every metric name the engine accepts, mapped to the name it reports.
_metric_names: dict[str, str]

# The conversions and checks the methods run, for a caller that spreads one call over several
# databases and must refuse a bad argument before any of them sees its part. (Declared as
# callables: the binding's functions are not Python functions.)
_check_settings: Callable[[Any, Any, Any, Any, Any], Tuple[int, str, int, int, bool]]
_check_checkpoint: Callable[[Any], None]
_check_path: Callable[[Any], None]
_check_id: Callable[[Any], str]
# (vector, dim or None, id or None)
_check_vector: Callable[[Any, Optional[int], Optional[str]], list[float]]
_check_metadata: Callable[[Any], None]
_check_filter: Callable[[Any], None]
_check_ids: Callable[[Any], list[str]]
# (vector(s), k, ef_search, where_filter, max_distance, dim, many) -> (float32 rows, count)
_check_search: Callable[[Any, Any, Any, Any, Any, int, bool], Tuple[bytes, int]]
# (ids, vectors, metadatas, dim) -> (ids, float32 rows)
_check_batch: Callable[[Any, Any, Any, int], Tuple[list[str], bytes]]
# (queries, k, where_filter, many) -> queries
_check_text_search: Callable[[Any, Any, Any, bool], list[str]]
# (vector(s), query/queries, k, where_filter, ef_search, weight, rrf_k, candidates, dim, many)
# -> (float32 rows, queries, ef_search, weight, rrf_k, hits each of the two searches is asked for)
_check_hybrid_search: Callable[
    [Any, Any, Any, Any, Any, Any, Any, Any, int, bool], Tuple[bytes, list[str], Optional[int], float, int, int]
]
_duplicate_id_error: Callable[[str], DuplicateIdError]
# A database's keyword statistics for the words of a batch of queries, (documents, total length
# in words, {word: documents holding it}), and its search_text_many scored with given ones (the
# sums over the shards of one collection).
_text_stats: Callable[[Database, Any], Tuple[int, int, dict[str, int]]]
_search_text_many: Callable[[Database, Any, Any, Any, Tuple[int, int, dict[str, int]]], list[list[SearchResult]]]
# The intact records of a log's bytes, damage skipped: (offset, record); metadata as JSON text.
_salvage_log: Callable[[bytes], list[tuple[int, dict[str, Any]]]]
