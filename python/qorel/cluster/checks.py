"""Argument checks on the client, made by an empty in-process database.

A batch is split over several shards, so a bad argument must be refused before any shard sees
its part, or some shards would apply theirs. The checks run through an empty database with the
same settings, in a private temporary directory that nothing is ever written to: its argument
conversion is the engine's own, so the client raises the same exceptions, with the same texts,
in the same order as a single database would. The empty database only answers read calls here
and never writes a file.
"""

import math
import os
import shutil
import tempfile
import weakref
from typing import Any, Optional

import numpy as np

import qorel


class ArgumentChecker:
    def __init__(self, dim: Any, metric: Any, m: Any, ef_construction: Any, quantize: Any):
        root = tempfile.mkdtemp(prefix="qorel-checks-")
        self._cleanup = weakref.finalize(self, shutil.rmtree, root, True)
        try:
            # Raises exactly what a single database's constructor raises for these settings.
            self._db = qorel.Database(os.path.join(root, "db"), dim, metric, m, ef_construction, quantize)
        except BaseException:
            self._cleanup()
            raise
        self.dim = self._db.dim
        self.metric = self._db.metric

    def close(self) -> None:
        """Removes the private directory; the empty database itself goes with this object."""
        self._cleanup()

    # ---- single values

    def id(self, id: Any) -> str:
        if not isinstance(id, str):
            id in self._db  # raises the TypeError that names the argument 'id'
        return id

    def metadata(self, metadata: Any) -> Optional[dict]:
        """A metadata argument fit to send: None or a plain dict. Wrong types raise here;
        values that cannot be stored are refused by the shard with the engine's own error."""
        if metadata is None or type(metadata) is dict:
            return metadata
        if isinstance(metadata, dict):
            return dict(metadata)
        self._db.update("", None, metadata)  # the TypeError that names 'metadata'
        raise AssertionError("unreachable")

    def vector(self, vector: Any) -> Any:
        """A vector argument fit to send, checked as the engine converts it (its length is the
        shard's to check, after the other arguments). Lists, tuples and arrays go as they
        are; any other sequence goes as a list of floats."""
        self._search_check(vector)
        return transportable(vector)

    def _search_check(self, vector: Any) -> None:
        try:
            self._db.search(vector, 0)
        except qorel.DimensionMismatchError:
            pass

    # ---- whole argument lists

    def search(self, vector, k, ef_search, where_filter, max_distance) -> None:
        self._db.search(vector, k, ef_search, where_filter, max_distance)

    def search_many(self, vectors, k, ef_search, where_filter, max_distance) -> int:
        """The number of queries, after every check a single database makes."""
        return len(self._db.search_many(vectors, k, ef_search, where_filter, max_distance))

    def count(self, where_filter) -> None:
        self._db.count(where_filter)

    def ids(self, ids: Any) -> list:
        self._db.delete_many(ids)  # converts and refuses like any id list; deletes nothing
        return list(ids)

    def batch(self, ids: Any, vectors: Any, metadatas: Any) -> tuple:
        """(ids, float32 rows, metadatas) of an add_many or upsert_many call, after every check
        a single database makes before it looks at stored ids, in its order."""
        ids = self.ids(ids)
        dimension_error: Optional[qorel.DimensionMismatchError] = None
        try:
            n = len(self._db.search_many(vectors, 0))
        except qorel.DimensionMismatchError as e:
            dimension_error, n = e, len(vectors)
        wide = _wide_rows(vectors)
        # A finite number that float32 cannot hold is refused while the batch is read.
        _refuse_overflow(ids, wide)
        if metadatas is not None and not isinstance(metadatas, list):
            raise TypeError(f"argument 'metadatas': '{type(metadatas).__name__}' object cannot be converted to 'PyList'")
        if n != len(ids):
            raise ValueError(f"ids length ({len(ids)}) != vectors length ({n})")
        if metadatas is not None:
            metadatas = self._metadatas(metadatas, len(ids))
        # Then each item in turn: its length, then its components (NaN and infinities).
        bad = _first_bad_row(wide, self.dim)
        if bad is not None:
            row = wide[bad]
            if len(row) != self.dim:
                assert dimension_error is not None
                raise dimension_error
            j = int(np.flatnonzero(~np.isfinite(row))[0])
            raise qorel.InvalidVectorError(_invalid_component(ids[bad], j, float(row[j])))
        return ids, rows(vectors, n, self.dim), metadatas

    def _metadatas(self, metadatas: list, n: int) -> list:
        if len(metadatas) != n:
            raise ValueError(f"metadatas length ({len(metadatas)}) != ids length ({n})")
        out = list(metadatas)
        for i, md in enumerate(out):
            if md is None:
                continue
            if not isinstance(md, dict):
                raise ValueError("metadatas must be list of dicts or None")
            try:
                self._db.update("", None, md)  # encodes it exactly as a write would
            except qorel.NotFoundError:
                pass  # the metadata encoded; the empty database merely lacks the id
            if type(md) is not dict:
                out[i] = dict(md)
        return out


def _wide_rows(vectors: Any) -> Any:
    """The batch's rows as read, before narrowing to float32: one 2-D array when the rows are
    of one length, else a list of 1-D arrays."""
    if isinstance(vectors, np.ndarray) and vectors.ndim == 2:
        return vectors if vectors.dtype == np.float32 else vectors.astype(np.float64)
    try:
        wide = np.asarray(vectors, dtype=np.float64)
        if wide.ndim == 2:
            return wide
    except (TypeError, ValueError):
        pass
    return [np.asarray([float(x) for x in row], dtype=np.float64) for row in vectors]


def _first(mask: Any) -> Optional[int]:
    hits = np.flatnonzero(mask)
    return int(hits[0]) if len(hits) else None


def _first_bad_row(wide: Any, dim: int) -> Optional[int]:
    """The first row of the wrong length or with a NaN or infinite component, or None."""
    if isinstance(wide, np.ndarray):
        if len(wide) and wide.shape[1] != dim:
            return 0
        return _first(~np.isfinite(wide).all(axis=1))
    for i, row in enumerate(wide):
        if len(row) != dim or not np.isfinite(row).all():
            return i
    return None


def _refuse_overflow(ids: list, wide: Any) -> None:
    if isinstance(wide, np.ndarray) and wide.dtype == np.float32:
        return
    for i, row in enumerate(wide[: len(ids)] if isinstance(wide, list) else [wide[: len(ids)]]):
        with np.errstate(over="ignore"):
            lost = np.isfinite(row) & ~np.isfinite(row.astype(np.float32))
        if lost.any():
            if isinstance(wide, list):
                at, j = i, _first(lost)
            else:  # the whole array at once: the first hit in reading order
                at, j = divmod(_first(lost.ravel()) or 0, row.shape[1])
            assert j is not None
            raise qorel.InvalidVectorError(_invalid_component(ids[at], j, float(wide[at][j])))


def _invalid_component(id: str, index: int, value: float) -> str:
    if math.isnan(value):
        shown = "NaN"
    elif math.isinf(value):
        shown = "inf" if value > 0 else "-inf"
    else:
        shown = "%.9g" % value
    what = "component beyond the float32 range" if math.isfinite(value) else "non-finite component"
    return f"invalid vector for id '{id}': {what} at index {index} ({shown})"


def transportable(vector: Any) -> Any:
    """A checked vector in a form that travels to another process unchanged."""
    if isinstance(vector, (list, tuple, np.ndarray)):
        return vector
    return [float(x) for x in vector]


def rows(vectors: Any, n: int, dim: int) -> np.ndarray:
    """The checked batch as one float32 array of n rows, narrowed like the engine narrows."""
    if isinstance(vectors, np.ndarray) and vectors.dtype == np.float32 and vectors.ndim == 2:
        return np.ascontiguousarray(vectors)
    if n == 0:
        return np.zeros((0, dim), dtype=np.float32)
    try:
        return np.asarray(vectors, dtype=np.float32).reshape(n, dim)
    except (TypeError, ValueError):
        return np.array([[float(x) for x in row] for row in vectors], dtype=np.float32).reshape(n, dim)
