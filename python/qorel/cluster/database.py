"""ShardedDatabase: one database spread over Ray actors, used like a single Database."""

import operator
import os
import threading
import weakref
from collections import Counter, defaultdict
from typing import Any, Callable, Literal, Optional

import numpy as np
import ray
import ray.exceptions

import _qorel
import qorel

from .checks import ArgumentChecker, Metadata, Rows, refuse_repeated
from .errors import PartialBatchError, ShardUnavailableError
from .layout import Manifest, read_manifest, shard_dir, shard_of, write_manifest
from .results import SearchResult, fuse, merge
from .shard import Outcome, ShardServer

# Shards served by one worker process each; several calls may run in one shard at once (the
# engine is thread-safe and releases the interpreter lock while it works).
_SHARD_CONCURRENCY = 4
_OK, _ERR, _LOST = "ok", "err", "lost"

# The open handles of this process by the real path of their directory. The shard actors of a
# handle hold the shard directories, so a second handle's actors could never open them: the
# second handle is refused up front with an error that says why.
_open_handles: "weakref.WeakValueDictionary[str, ShardedDatabase]" = weakref.WeakValueDictionary()
_open_lock = threading.Lock()


class ShardedDatabase:
    """A qorel database whose vectors are spread over ``shards`` Ray actors by id.

    ``ShardedDatabase(path, dim=None, metric=None, m=None, ef_construction=None,
    quantize=False, checkpoint=1.0, read_only=False, *, shards=None, address=None, shared_storage=False,
    timeout=None)``

    Without a manifest in ``path`` and with ``dim`` and ``shards`` given, it creates the shards;
    otherwise it opens the stored layout, whose settings win over the arguments (as for
    ``Database``), except that a different ``shards`` is refused. ``address`` is the Ray
    cluster to join (None: the one this process already joined, else a new local one).
    ``shared_storage=True`` says every node sees ``path`` at the same place, so a shard may
    restart on any node; otherwise each shard stays on the node that holds its files.
    ``timeout`` bounds, in seconds, how long a call waits for a shard (None: no bound).
    ``checkpoint`` is every shard's, as for ``Database``: a runtime setting of this handle.
    ``read_only=True`` opens a stored layout beside the handle that writes it: every shard opens
    its database read-only, changes raise ``ReadOnlyError``, and ``refresh()`` moves every
    shard to its newest state.
    """

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
        *,
        shards: Optional[int] = None,
        address: Optional[str] = None,
        shared_storage: bool = False,
        timeout: Optional[float] = None,
    ):
        _qorel._check_path(path)
        _qorel._check_checkpoint(checkpoint)
        self._checkpoint = checkpoint
        if shards is not None and (not isinstance(shards, int) or isinstance(shards, bool)):
            raise TypeError(f"argument 'shards': '{type(shards).__name__}' object is not an integer")
        if shards is not None and shards < 1:
            raise ValueError("shards must be at least 1")
        self._actors: list[Any] = []
        self._timeout = timeout
        self._path = os.path.abspath(path)
        self._claimed: Optional[str] = None
        self._read_only = bool(read_only)
        if self._read_only:
            # Readers hold no directory, so any number of them may sit beside the writer.
            try:
                self._open(dim, metric, m, ef_construction, quantize, shards, address, shared_storage)
            except BaseException:
                self.close()
                raise
            return
        real = os.path.realpath(self._path)
        with _open_lock:
            if _open_handles.get(real) is not None:
                raise qorel.DatabaseInUseError(
                    f"the sharded database at '{self._path}' is already open in this process: "
                    "use the open ShardedDatabase, or close() it before opening another"
                )
            _open_handles[real] = self
            self._claimed = real
        try:
            self._open(dim, metric, m, ef_construction, quantize, shards, address, shared_storage)
        except BaseException:
            self.close()
            raise

    def _open(
        self,
        dim: Optional[int],
        metric: Optional[str],
        m: Optional[int],
        ef_construction: Optional[int],
        quantize: bool,
        shards: Optional[int],
        address: Optional[str],
        shared_storage: bool,
    ) -> None:
        manifest = read_manifest(self._path)
        creating = manifest is None
        if creating and self._read_only:
            raise qorel.DatabaseNotFoundError(f"no sharded database at '{self._path}' to open read-only")
        if manifest is not None:
            if shards is not None and shards != manifest.shards:
                raise ValueError(
                    f"the sharded database at '{self._path}' has {manifest.shards} shards, not {shards}: "
                    "open it without shards=, or with the stored count"
                )
            self._checks = ArgumentChecker(manifest.dim, manifest.metric, manifest.m, manifest.ef_construction, False)
        else:
            if dim is not None and shards is None:
                raise ValueError("shards must be given to create a sharded database")
            # The single database's own checks of the settings, with its own errors (without a
            # dim: that no database is there).
            self._checks = checks = ArgumentChecker(dim, metric, m, ef_construction, quantize)
            assert shards is not None
            manifest = Manifest(
                shards=shards,
                dim=checks.dim,
                metric=checks.metric,
                m=checks.m,
                ef_construction=checks.ef_construction,
                quantize=checks.quantize,
            )
        if not ray.is_initialized():
            ray.init(address=address, ignore_reinit_error=True)
        if creating and not shared_storage:
            manifest.nodes = _place(manifest.shards)
        self._manifest = manifest
        self._n = manifest.shards
        self._start(creating)
        if creating:
            write_manifest(self._path, manifest)

    # ---- life of the handle

    def _start(self, creating: bool) -> None:
        mf = self._manifest
        settings = {
            "dim": mf.dim,
            "metric": mf.metric,
            "m": mf.m,
            "ef_construction": mf.ef_construction,
            "quantize": mf.quantize,
            "checkpoint": self._checkpoint,
            "read_only": self._read_only,
        }
        actor_class = ray.remote(ShardServer)
        for i in range(self._n):
            options: dict[str, Any] = {"max_restarts": -1, "max_concurrency": _SHARD_CONCURRENCY, "num_cpus": 0}
            if mf.nodes is not None:
                # Ray gives every node a resource named after its address; asking for a sliver
                # of it keeps the shard, and every restart of it, on the node with its files.
                options["resources"] = {f"node:{mf.nodes[i]}": 0.001}
            self._actors.append(actor_class.options(**options).remote(i, shard_dir(self._path, i), settings))
        calls = [a.create.remote() if creating else a.describe.remote() for a in self._actors]
        for info in ray.get(calls, timeout=self._timeout):
            if info["error"] is not None:
                raise info["error_class"](
                    f"shard {info['shard']} has no database at '{info['path']}' on node {info['node']}: {info['error']}"
                )
            if info["dim"] != mf.dim or info["metric"] != mf.metric:
                raise qorel.CorruptDatabaseError(
                    f"shard {info['shard']} at '{info['path']}' holds a database of dimension {info['dim']} "
                    f"and metric {info['metric']}, but the manifest says {mf.dim} and {mf.metric}"
                )

    def close(self) -> None:
        """Stops the shard actors. Changes since the last save stay in the shards' logs."""
        actors, self._actors = self._actors, []
        if actors and ray.is_initialized():
            try:
                # Each worker drops its database first, so a handle opened right after this
                # one never finds a directory still held by a dying process.
                ray.get([a.close.remote() for a in actors], timeout=30)
            except Exception:
                pass  # a dead shard holds no directory
            for a in actors:
                try:
                    ray.kill(a, no_restart=True)
                except Exception:
                    pass
        claimed, self._claimed = getattr(self, "_claimed", None), None
        if claimed is not None:
            with _open_lock:
                if _open_handles.get(claimed) is self:
                    del _open_handles[claimed]

    def __enter__(self) -> "ShardedDatabase":
        return self

    def __exit__(self, _exc_type: Any = None, _exc_val: Any = None, _exc_tb: Any = None) -> Literal[False]:
        if not self._read_only:
            self.save()
        return False

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    @property
    def shards(self) -> int:
        return self._n

    @property
    def path(self) -> str:
        return self._path

    def describe(self) -> list[dict[str, Any]]:
        """Where each shard lives now: its number, directory, node address and worker pid."""
        infos = self._all_raw("describe")
        return [{key: info[key] for key in ("shard", "path", "node", "pid")} for info in infos]

    def _all_raw(self, method: str) -> list[dict[str, Any]]:
        return ray.get([getattr(a, method).remote() for a in self._actors], timeout=self._timeout)

    def shard_of(self, id: str) -> int:
        """The shard that holds ``id``."""
        return shard_of(self._checks.id(id), self._n)

    # ---- calls to shards

    def _submit(self, shard: int, kind: str, op: str, *args: Any) -> "ray.ObjectRef[Outcome]":
        if self._read_only and kind != "read":
            # Refused here, before any shard is asked, so a batch never fails part-way.
            raise qorel.ReadOnlyError(f"the sharded database at '{self._path}' is open read-only")
        ref: ray.ObjectRef[Outcome] = getattr(self._actors[shard], kind).remote(op, args)
        return ref

    def _wait(self, refs: "dict[int, ray.ObjectRef[Outcome]]") -> dict[int, Outcome]:
        """Outcome of each shard's call: (ok, value), (err, exception) or (lost, ray error)."""
        out = {}
        for shard, ref in refs.items():
            try:
                out[shard] = ray.get(ref, timeout=self._timeout)
            except (ray.exceptions.RayActorError, ray.exceptions.GetTimeoutError, ray.exceptions.RayTaskError) as e:
                out[shard] = (_LOST, e)
        return out

    def _one(self, shard: int, kind: str, op: str, *args: Any) -> Any:
        outcome = self._wait({shard: self._submit(shard, kind, op, *args)})[shard]
        return self._value(shard, op, outcome)

    def _value(self, shard: int, op: str, outcome: Outcome) -> Any:
        status, value = outcome
        if status == _OK:
            return value
        if status == _ERR:
            raise value
        raise ShardUnavailableError(shard, op, value)

    def _all(self, kind: str, op: str, *args: Any) -> list[Any]:
        """The same call on every shard at once; the values in shard order. The first failing
        shard's error is raised once every shard has answered."""
        outcomes = self._wait({s: self._submit(s, kind, op, *args) for s in range(self._n)})
        return [self._value(s, op, outcomes[s]) for s in range(self._n)]

    def _route(self, ids: list[str]) -> dict[int, list[int]]:
        """Positions of ``ids`` per shard, in batch order."""
        by_shard: dict[int, list[int]] = defaultdict(list)
        n = self._n
        for i, id in enumerate(ids):
            by_shard[shard_of(id, n)].append(i)
        return by_shard

    def _batch(
        self,
        kind: str,
        op: str,
        ids: list[str],
        by_shard: dict[int, list[int]],
        make_args: Callable[[list[int]], tuple[Any, ...]],
    ) -> dict[int, Any]:
        """Sends each shard its part of a batch at once and returns the values per shard.

        When some shards fail, the caller learns which ids were applied: with nothing applied
        it gets the first failing shard's own error, otherwise a PartialBatchError.
        """
        refs = {s: self._submit(s, kind, op, *make_args(pos)) for s, pos in by_shard.items()}
        outcomes = self._wait(refs)
        failed = {s: o for s, o in outcomes.items() if o[0] != _OK}
        if not failed:
            return {s: o[1] for s, o in outcomes.items()}
        applied = [ids[i] for s, pos in by_shard.items() if s not in failed for i in pos]
        if not applied and all(o[0] == _ERR for o in failed.values()):
            # Nothing changed anywhere: the error of the shard holding the earliest failing id.
            first = min(failed, key=lambda s: by_shard[s][0])
            raise failed[first][1]
        not_applied = [ids[i] for s, pos in by_shard.items() if s in failed and failed[s][0] == _ERR for i in pos]
        uncertain = [ids[i] for s, pos in by_shard.items() if s in failed and failed[s][0] == _LOST for i in pos]
        errors = {
            s: (o[1] if o[0] == _ERR else ShardUnavailableError(s, op, o[1])) for s, o in failed.items()
        }
        raise PartialBatchError(op, applied, not_applied, uncertain, errors)

    # ---- writes

    def add(self, id: str, vector: Any, metadata: Optional[Metadata] = None) -> None:
        shard = self.shard_of(id)
        self._one(shard, "write", "add", id, self._checks.vector(vector, id), self._checks.metadata(metadata))

    def upsert(self, id: str, vector: Any, metadata: Optional[Metadata] = None) -> None:
        """Add or update a vector."""
        shard = self.shard_of(id)
        self._one(shard, "repeatable_write", "upsert", id, self._checks.vector(vector, id), self._checks.metadata(metadata))

    def update(self, id: str, vector: Any = None, metadata: Optional[Metadata] = None) -> None:
        shard = self.shard_of(id)
        checked = None if vector is None else self._checks.vector(vector, id)
        self._one(shard, "repeatable_write", "update", id, checked, self._checks.metadata(metadata))

    def delete(self, id: str) -> bool:
        return bool(self._one(self.shard_of(id), "write", "delete", id))

    def add_many(self, ids: Any, vectors: Any, metadatas: Optional[list[Optional[Metadata]]] = None) -> None:
        checked, rows, plain = self._checks.batch(ids, vectors, metadatas)
        if not checked:
            return
        by_shard = self._route(checked)
        self._refuse_stored(checked, by_shard)
        refuse_repeated(checked)
        self._batch("write", "add_many", checked, by_shard, self._batch_args(checked, rows, plain))

    def upsert_many(self, ids: Any, vectors: Any, metadatas: Optional[list[Optional[Metadata]]] = None) -> None:
        """Batch upsert — inserts new vectors, updates existing ones."""
        checked, rows, plain = self._checks.batch(ids, vectors, metadatas)
        if not checked:
            return
        by_shard = self._route(checked)
        self._batch("repeatable_write", "upsert_many", checked, by_shard, self._batch_args(checked, rows, plain))

    def delete_many(self, ids: Any) -> int:
        checked = self._checks.ids(ids)
        if not checked:
            return 0
        by_shard = self._route(checked)
        counts = self._batch("write", "delete_many", checked, by_shard, lambda pos: ([checked[i] for i in pos],))
        return int(sum(counts.values()))

    @staticmethod
    def _batch_args(
        ids: list[str], rows: Rows, metadatas: Optional[list[Optional[Metadata]]]
    ) -> Callable[[list[int]], tuple[Any, ...]]:
        def make(pos: list[int]) -> tuple[Any, ...]:
            part_meta = None if metadatas is None else [metadatas[i] for i in pos]
            return ([ids[i] for i in pos], rows[np.asarray(pos, dtype=np.intp)], part_meta)

        return make

    def _refuse_stored(self, ids: list[str], by_shard: dict[int, list[int]]) -> None:
        """Raises for the first stored id in batch order, as a single database refuses a batch
        before it changes anything."""
        refs = {s: self._submit(s, "read", "first_stored", [ids[i] for i in pos]) for s, pos in by_shard.items()}
        first: Optional[int] = None
        for s, outcome in self._wait(refs).items():
            at = self._value(s, "add_many", outcome)
            if at is not None:
                i = by_shard[s][at]
                first = i if first is None else min(first, i)
        if first is not None:
            raise _qorel._duplicate_id_error(ids[first])

    # ---- search

    def search(
        self,
        vector: Any,
        k: int = 10,
        ef_search: Optional[int] = None,
        where_filter: Optional[dict[str, Any]] = None,
        max_distance: Optional[float] = None,
    ) -> list[SearchResult]:
        """Search every shard for the k nearest neighbours and merge by distance."""
        query = self._checks.search(vector, k, ef_search, where_filter, max_distance)[0]
        hits = self._all("read", "search", query, k, ef_search, where_filter, max_distance)
        return merge(hits, operator.index(k))

    def search_many(
        self,
        vectors: Any,
        k: int = 10,
        ef_search: Optional[int] = None,
        where_filter: Optional[dict[str, Any]] = None,
        max_distance: Optional[float] = None,
    ) -> list[list[SearchResult]]:
        """Every shard answers the whole batch; each query's lists are merged by distance."""
        queries = self._checks.search_many(vectors, k, ef_search, where_filter, max_distance)
        n = len(queries)
        if n == 0:
            return []
        batch = ray.put(queries)
        per_shard = self._all("read", "search_many", batch, k, ef_search, where_filter, max_distance)
        k = operator.index(k)
        return [merge([hits[q] for hits in per_shard], k) for q in range(n)]

    def search_text(self, query: str, k: int = 10, where_filter: Optional[dict[str, Any]] = None) -> list[SearchResult]:
        """Keyword search over the shards, scored by BM25 with the whole database's statistics,
        so that it ranks as one database holding every row would."""
        queries = self._checks.search_text(query, k, where_filter, False)
        return self._search_text(queries, operator.index(k), where_filter)[0]

    def search_text_many(
        self, queries: Any, k: int = 10, where_filter: Optional[dict[str, Any]] = None
    ) -> list[list[SearchResult]]:
        checked = self._checks.search_text(queries, k, where_filter, True)
        return self._search_text(checked, operator.index(k), where_filter)

    def search_hybrid(
        self,
        vector: Any,
        query: str,
        k: int = 10,
        where_filter: Optional[dict[str, Any]] = None,
        *,
        ef_search: Optional[int] = None,
        weight: float = 0.5,
        rrf_k: int = 60,
        candidates: Optional[int] = None,
    ) -> list[SearchResult]:
        """The whole database's vector and keyword rankings fused by reciprocal rank, as
        Database.search_hybrid fuses them."""
        checked = self._checks.search_hybrid(vector, query, k, where_filter, ef_search, weight, rrf_k, candidates, False)
        return self._search_hybrid(*checked, operator.index(k), where_filter)[0]

    def search_hybrid_many(
        self,
        vectors: Any,
        queries: Any,
        k: int = 10,
        where_filter: Optional[dict[str, Any]] = None,
        *,
        ef_search: Optional[int] = None,
        weight: float = 0.5,
        rrf_k: int = 60,
        candidates: Optional[int] = None,
    ) -> list[list[SearchResult]]:
        checked = self._checks.search_hybrid(vectors, queries, k, where_filter, ef_search, weight, rrf_k, candidates, True)
        return self._search_hybrid(*checked, operator.index(k), where_filter)

    def _text_stats(self, batch: Any) -> tuple[int, int, dict[str, int]]:
        """The keyword statistics of the whole database for the batch's words: the shards' summed."""
        documents, length, words = 0, 0, Counter[str]()
        per_shard = self._all("read", "text_stats", batch)
        settings = [setting for setting, _ in per_shard]
        if any(setting != settings[0] for setting in settings):
            # A keyword search failed part-way through enabling: scores of different fields
            # or word forms would be merged as if comparable.
            raise ValueError(
                f"the shards' text indexes differ ({', '.join(map(str, settings))}): "
                "call enable_text_index again to give every shard the same one"
            )
        for _, (shard_documents, shard_length, shard_words) in per_shard:
            documents += shard_documents
            length += shard_length
            words.update(shard_words)
        return documents, length, dict(words)

    def _keyword_refs(self, batch: Any, k: int, where_filter: Any) -> "dict[int, ray.ObjectRef[Outcome]]":
        """Every shard's keyword search of the batch, scored with the whole database's statistics."""
        stats = self._text_stats(batch)
        return {s: self._submit(s, "read", "search_text_many", batch, k, where_filter, stats) for s in range(self._n)}

    def _per_shard(self, op: str, refs: "dict[int, ray.ObjectRef[Outcome]]") -> list[Any]:
        outcomes = self._wait(refs)
        return [self._value(s, op, outcomes[s]) for s in range(self._n)]

    def _search_text(self, queries: list[str], k: int, where_filter: Any) -> list[list[SearchResult]]:
        if not queries:
            return []
        per_shard = self._per_shard("search_text_many", self._keyword_refs(ray.put(queries), k, where_filter))
        return [merge([hits[q] for hits in per_shard], k) for q in range(len(queries))]

    def _search_hybrid(
        self, rows: Rows, queries: list[str], ef_search: Optional[int], weight: float, rrf_k: int, wanted: int,
        k: int, where_filter: Any,
    ) -> list[list[SearchResult]]:
        if not queries or k == 0:
            return [[] for _ in queries]
        # Both global rankings of `wanted` hits: each shard's best `wanted` hold the
        # database's best `wanted`; the keyword searches score with the global statistics.
        keyword_refs = self._keyword_refs(ray.put(queries), wanted, where_filter)
        batch = ray.put(rows)
        vector_refs = {
            s: self._submit(s, "read", "search_many", batch, wanted, ef_search, where_filter, None)
            for s in range(self._n)
        }
        keyword = self._per_shard("search_text_many", keyword_refs)
        nearest = self._per_shard("search_many", vector_refs)
        return [
            fuse(merge([h[q] for h in nearest], wanted), merge([h[q] for h in keyword], wanted), k, weight, rrf_k)
            for q in range(len(queries))
        ]

    # ---- reads

    def get(self, id: str) -> tuple[list[float], Optional[Metadata]]:
        value: tuple[list[float], Optional[Metadata]] = self._one(self.shard_of(id), "read", "get", id)
        return value

    def __contains__(self, id: str) -> bool:
        return bool(self._one(self.shard_of(id), "read", "contains", id))

    def ids(self) -> list[str]:
        return [id for part in self._all("read", "ids") for id in part]

    def count(self, where_filter: Optional[dict[str, Any]] = None) -> int:
        """Count vectors matching a filter, or all vectors if no filter."""
        if where_filter is not None:
            self._checks.count(where_filter)
        return sum(self._all("read", "count", where_filter))

    def __len__(self) -> int:
        return sum(s["len"] for s in self._all("read", "sizes"))

    def stats(self) -> dict[str, Any]:
        """The statistics of the whole database, summed over the shards (shard_stats() gives
        each shard's own)."""
        return combine_stats(self.shard_stats())

    def check(self) -> list[dict[str, Any]]:
        """Every shard's checks (see Database.check), each name prefixed with its shard."""
        return [{**r, "name": f"shard-{i}/{r['name']}"} for i, part in enumerate(self._all("read", "check")) for r in part]

    def shard_stats(self) -> list[dict[str, Any]]:
        """Each shard's statistics, in shard order."""
        return self._all("read", "stats")

    @property
    def dim(self) -> int:
        return self._manifest.dim

    @property
    def metric(self) -> str:
        return self._manifest.metric

    @property
    def total_slots(self) -> int:
        return sum(s["total_slots"] for s in self._all("read", "sizes"))

    @property
    def deleted_count(self) -> int:
        return sum(s["deleted_count"] for s in self._all("read", "sizes"))

    @property
    def quantized_search(self) -> bool:
        """Whether any shard searches its graph with quantized vectors now (a shard without
        vectors never does)."""
        return any(s["quantized_search"] for s in self._all("read", "sizes"))

    @property
    def read_only(self) -> bool:
        return self._read_only

    # ---- whole-database operations

    def save(self) -> None:
        self._all("repeatable_write", "save")

    def compact(self) -> None:
        """Rebuild each shard's index with only live vectors, reclaiming deleted slots."""
        self._all("repeatable_write", "compact")

    def enable_quantized_search(self) -> None:
        self._all("repeatable_write", "enable_quantized_search")

    def enable_text_index(self, field: str, *, stem: bool = False) -> None:
        """Every shard indexes the string member ``field`` of its rows' metadata for
        search_text and search_hybrid (see Database.enable_text_index)."""
        self._all("repeatable_write", "enable_text_index", field, stem)

    def disable_quantized_search(self) -> None:
        self._all("repeatable_write", "disable_quantized_search")

    def refresh(self) -> None:
        """Read-only: moves every shard to the newest state its writer has saved or logged
        (shard by shard: a search meanwhile may see some shards refreshed and others not)."""
        self._all("read", "refresh")


def combine_stats(per_shard: list[dict[str, Any]]) -> dict[str, Any]:
    """One statistics dict for the whole database, with the keys of a single database's."""
    live = sum(s["num_vectors"] for s in per_shard)
    populated = [s for s in per_shard if s["num_vectors"] > 0]
    return {
        "num_vectors": live,
        "num_deleted": sum(s["num_deleted"] for s in per_shard),
        "num_layers": max((s["num_layers"] for s in per_shard), default=0),
        # Weighted by each shard's live vectors: the average over every live node.
        "avg_degree_layer0": (sum(s["avg_degree_layer0"] * s["num_vectors"] for s in per_shard) / live) if live else 0.0,
        "max_degree_layer0": max((s["max_degree_layer0"] for s in populated), default=0),
        "min_degree_layer0": min((s["min_degree_layer0"] for s in populated), default=0),
        "memory_vectors_bytes": sum(s["memory_vectors_bytes"] for s in per_shard),
        "memory_graph_bytes": sum(s["memory_graph_bytes"] for s in per_shard),
        "memory_quantized_bytes": sum(s["memory_quantized_bytes"] for s in per_shard),
        # Results are exact only when every shard scans exactly.
        "uses_brute_force": all(s["uses_brute_force"] for s in per_shard),
        "uses_quantized_search": any(s["uses_quantized_search"] for s in per_shard),
        "wal_bytes": sum(s["wal_bytes"] for s in per_shard),
        # Shards replay at once, each its own log: reopening waits for the slowest.
        "wal_replay_seconds": max((s["wal_replay_seconds"] for s in per_shard), default=0.0),
        # The oldest shard's: the whole database is saved up to then (None while a shard has none).
        "last_checkpoint": None if any(s["last_checkpoint"] is None for s in per_shard)
        else min((s["last_checkpoint"] for s in per_shard), default=None),
        # The text index a shard was given (the cluster itself enables none).
        "text_field": next((s["text_field"] for s in per_shard if s.get("text_field")), None),
    }


def _place(shards: int) -> list[str]:
    """A node address per shard: the live nodes that offer CPUs, round robin in address order."""
    live: list[dict[str, Any]] = ray.nodes()  # type: ignore[no-untyped-call]  # Ray has no annotation
    nodes = sorted({n["NodeManagerAddress"] for n in live if n.get("Alive") and n.get("Resources", {}).get("CPU", 0) > 0})
    if not nodes:
        raise RuntimeError("the Ray cluster has no live node with CPUs to hold the shards")
    return [nodes[i % len(nodes)] for i in range(shards)]
