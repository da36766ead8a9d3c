"""The Ray actor that owns one shard: an ordinary qorel database in its own worker process.

The actor is restartable. When its process dies, Ray starts a new one, which reopens the
shard's directory; opening replays the shard's log, so every write the dead process
acknowledged is back before the new process answers its first call. Only the actor ever opens
its shard directory: the client handle talks to it and never opens the files itself, so two
live processes never hold the same directory.
"""

import os
import time
from typing import Any, Optional

import ray

import _qorel
import qorel
from qorel._files import REQUIRED_FILES, data_files_in

from .results import Hit

# A restarted worker may start while the dead one's process is still being reaped; the
# directory's lock is free once it is gone.
_IN_USE_WAIT_S = 10.0

# What every entry point returns: ("ok", value) or ("err", exception).
Outcome = tuple[str, Any]


def _has_data_files(path: str) -> bool:
    return all(os.path.exists(os.path.join(path, name)) for name in REQUIRED_FILES)


def _node() -> str:
    return str(ray.util.get_node_ip_address())  # type: ignore[no-untyped-call]  # Ray has no annotation


def _hits(results: list[qorel.SearchResult]) -> list[Hit]:
    # SearchResult objects stay in this process; the client rebuilds them from plain tuples.
    return [(r.id, r.distance, r.metadata) for r in results]


class ShardServer:
    """One shard. Every entry point returns ("ok", value) or ("err", exception), so the client
    re-raises the engine's own exception with its own text instead of a wrapped remote error."""

    _open_error: Optional[BaseException]

    def __init__(self, shard: int, path: str, settings: dict[str, Any]):
        self._shard = shard
        self._path = path
        self._settings = settings
        self._db: Optional[qorel.Database] = None
        self._open_error = None
        # A shard that was created before has data files (creation saves at once). Without
        # them this process must not create an empty shard: on a node that lacks the files
        # that would silently hide every stored vector. It waits for create() instead.
        if _has_data_files(path):
            try:
                self._db = self._open()
            except Exception as e:  # reported by describe() and by every call
                self._open_error = e
        else:
            self._open_error = qorel.CorruptDatabaseError("no database files there")

    def _open(self) -> qorel.Database:
        s = self._settings
        deadline = time.monotonic() + _IN_USE_WAIT_S
        if s.get("read_only"):
            return qorel.Database(self._path, read_only=True)
        while True:
            try:
                return qorel.Database(
                    self._path, s["dim"], s["metric"], s["m"], s["ef_construction"], s["quantize"], s["checkpoint"]
                )
            except qorel.DatabaseInUseError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    def create(self) -> dict[str, Any]:
        """Opens the shard, creating it when it does not exist, and saves a new one at once so
        that a restarted worker finds data files and reopens instead of creating."""
        if self._db is None:
            present = data_files_in(self._path)
            if present and not _has_data_files(self._path):
                # What is left of a saved shard: an empty one saved here would replace it.
                self._open_error = qorel.CorruptDatabaseError(
                    f"the shard is incomplete (it has {', '.join(present)} only); not creating a new one over it"
                )
                return self.describe()
            try:
                self._db = self._open()
                self._open_error = None
                if not _has_data_files(self._path):
                    self._db.save()
            except Exception as e:
                self._open_error = e
        return self.describe()

    def describe(self) -> dict[str, Any]:
        db = self._db
        return {
            "shard": self._shard,
            "path": self._path,
            "node": _node(),
            "pid": os.getpid(),
            "error": None if self._open_error is None else str(self._open_error),
            # The class the client raises for the failure: the engine's own where it has one.
            "error_class": _error_class(self._open_error),
            "dim": db.dim if db is not None else None,
            "metric": db.metric if db is not None else None,
        }

    def close(self) -> None:
        """Drops the database, which releases the directory for the next process."""
        self._db = None

    # Reads and writes that give the same outcome when repeated are retried on the restarted
    # worker; a write that cannot be repeated safely (add would find its own id, delete would
    # report False) is not, and its caller learns that the outcome is unknown.
    @ray.method(max_task_retries=-1)
    def read(self, op: str, args: tuple[Any, ...]) -> Outcome:
        return self._run(op, args)

    @ray.method(max_task_retries=-1)
    def repeatable_write(self, op: str, args: tuple[Any, ...]) -> Outcome:
        return self._run(op, args)

    @ray.method(max_task_retries=0)
    def write(self, op: str, args: tuple[Any, ...]) -> Outcome:
        return self._run(op, args)

    def _run(self, op: str, args: tuple[Any, ...]) -> Outcome:
        db = self._db
        if db is None:
            node = _node()
            text = f"shard {self._shard} has no database at '{self._path}' on node {node}: {self._open_error}"
            return ("err", _error_class(self._open_error)(text))
        try:
            # A batch shared by every shard travels once, as a reference inside the arguments.
            args = tuple(ray.get(a) if isinstance(a, ray.ObjectRef) else a for a in args)
            return ("ok", _OPS[op](db, *args))
        except Exception as e:
            return ("err", e)


def _error_class(error: Optional[BaseException]) -> type[Exception]:
    return type(error) if isinstance(error, qorel.QorelError) else ValueError


def _search(db: qorel.Database, vector: Any, k: int, ef_search: Any, where_filter: Any, max_distance: Any) -> list[Hit]:
    return _hits(db.search(vector, k, ef_search, where_filter, max_distance))


def _search_many(
    db: qorel.Database, vectors: Any, k: int, ef_search: Any, where_filter: Any, max_distance: Any
) -> list[list[Hit]]:
    return [_hits(hits) for hits in db.search_many(vectors, k, ef_search, where_filter, max_distance)]


def _search_text_many(db: qorel.Database, queries: list[str], k: int, where_filter: Any, stats: Any) -> list[list[Hit]]:
    return [_hits(hits) for hits in _qorel._search_text_many(db, queries, k, where_filter, stats)]


def _first_stored(db: qorel.Database, ids: list[str]) -> Optional[int]:
    """The position of the first id of ``ids`` that is stored, or None."""
    for i, id in enumerate(ids):
        if id in db:
            return i
    return None


def _sizes(db: qorel.Database) -> dict[str, Any]:
    return {
        "len": len(db),
        "total_slots": db.total_slots,
        "deleted_count": db.deleted_count,
        "quantized_search": db.quantized_search,
    }


_OPS: dict[str, Any] = {
    "add": lambda db, *a: db.add(*a),
    "upsert": lambda db, *a: db.upsert(*a),
    "update": lambda db, *a: db.update(*a),
    "delete": lambda db, id: db.delete(id),
    "add_many": lambda db, *a: db.add_many(*a),
    "upsert_many": lambda db, *a: db.upsert_many(*a),
    "delete_many": lambda db, ids: db.delete_many(ids),
    "get": lambda db, id: db.get(id),
    "contains": lambda db, id: id in db,
    "first_stored": _first_stored,
    "ids": lambda db: db.ids(),
    "count": lambda db, where_filter: db.count(where_filter),
    "search": _search,
    "search_many": _search_many,
    # The setting travels with the statistics, so that shards indexing differently are caught
    # at the keyword search that would mix their scores.
    "text_stats": lambda db, queries: (db.text_index, _qorel._text_stats(db, queries)),
    "search_text_many": _search_text_many,
    "save": lambda db: db.save(),
    "compact": lambda db: db.compact(),
    "enable_quantized_search": lambda db: db.enable_quantized_search(),
    "disable_quantized_search": lambda db: db.disable_quantized_search(),
    "enable_text_index": lambda db, field, stem: db.enable_text_index(field, stem=stem),
    "refresh": lambda db: db.refresh(),
    "stats": lambda db: db.stats(),
    "check": lambda db: db.check(),
    "sizes": _sizes,
}
