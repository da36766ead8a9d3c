"""A LangChain vector store over one qorel database.

Install with ``pip install qorel[langchain]``. Importing :mod:`qorel` alone never imports
LangChain; only this module does.

How documents are stored
------------------------
Each document becomes one record: its id is the record id, its embedding the record vector,
and its text and metadata share the record's metadata dict. The text sits under the reserved
key ``"qorel:text"``. So that no metadata key can collide with it, every metadata key that
starts with ``"qorel:"`` is stored with one more ``"qorel:"`` in front (the key
``"qorel:text"`` becomes ``"qorel:qorel:text"``) and loses it again when read back. Every other
key is stored as it is, at the top level, which is what lets a ``filter`` reach it.

Metadata values must be JSON values, as in qorel itself: a value that JSON cannot encode
refuses the whole batch and nothing is written.

Keyword and hybrid search
-------------------------
Because the text is a metadata field, the database's full-text index can cover it: the store
enables that index on ``"qorel:text"`` when created with ``text_index=True``, or at its first
keyword or hybrid search. :meth:`QorelVectorStore.keyword_search` ranks documents by BM25
over their words, :meth:`QorelVectorStore.hybrid_search` fuses that ranking with the vector
search's by reciprocal rank, and ``as_retriever(search_type="keyword")`` or ``"hybrid"`` gives
a retriever for either.
"""

from __future__ import annotations

import asyncio
import math
import os
import tempfile
import threading
import uuid
from collections.abc import Collection, Iterable, Sequence
from typing import Any, Callable, ClassVar, Optional, Union

import numpy as np

try:
    from langchain_core.callbacks import AsyncCallbackManagerForRetrieverRun, CallbackManagerForRetrieverRun
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.runnables.config import run_in_executor
    from langchain_core.structured_query import (
        Comparator,
        Comparison,
        FilterDirective,
        Operation,
        Operator,
        StructuredQuery,
        Visitor,
    )
    from langchain_core.vectorstores import VectorStore, VectorStoreRetriever
    from langchain_core.vectorstores.utils import maximal_marginal_relevance
except ImportError as _missing:  # the extra is not installed
    raise ImportError("qorel.langchain needs LangChain: pip install 'qorel[langchain]'") from _missing

from _qorel import _metric_names
from qorel import CorruptDatabaseError, Database, DatabaseNotFoundError, NotFoundError
from qorel._files import data_files_in

__all__ = ["QorelRetriever", "QorelTranslator", "QorelVectorStore", "TEXT_KEY"]

Metadata = dict[str, Any]
Filter = dict[str, Any]
Place = Union[str, os.PathLike[str], Database, None]

_PREFIX = "qorel:"
TEXT_KEY = _PREFIX + "text"
"""The metadata key under which a record keeps its document text."""

# The names the engine accepts for each metric, mapped to the name it reports back.
_METRICS = _metric_names



def _stored_key(key: Any) -> Any:
    if isinstance(key, str) and key.startswith(_PREFIX):
        return _PREFIX + key
    return key


def _user_key(key: str) -> str:
    return key[len(_PREFIX):] if key.startswith(_PREFIX) else key


def _encode(text: str, metadata: Optional[Metadata]) -> Metadata:
    record: Metadata = {_stored_key(k): v for k, v in (metadata or {}).items()}
    record[TEXT_KEY] = text
    return record


def _decode(id_: str, record: Optional[Metadata]) -> Document:
    record = dict(record or {})
    text = record.pop(TEXT_KEY, "")
    metadata = {_user_key(k): v for k, v in record.items()}
    return Document(id=id_, page_content=text if isinstance(text, str) else str(text), metadata=metadata)


def _stored_filter(filter: Optional[Filter]) -> Optional[Filter]:
    if filter is None:
        return None
    if not isinstance(filter, dict):
        raise TypeError(f"filter must be a dict, got {type(filter).__name__}")
    return _stored_where(filter)


def _stored_where(where: Filter) -> Filter:
    # Field names are escaped as the stored keys are, also inside $and and $or lists; anything
    # malformed is passed on as it is, for the database to refuse.
    out: Filter = {}
    for key, value in where.items():
        if key in ("$and", "$or") and isinstance(value, list):
            out[key] = [_stored_where(m) if isinstance(m, dict) else m for m in value]
        else:
            out[_stored_key(key)] = value
    return out


_COMPARATORS = {
    Comparator.NE: "$ne",
    Comparator.GT: "$gt",
    Comparator.GTE: "$gte",
    Comparator.LT: "$lt",
    Comparator.LTE: "$lte",
    Comparator.IN: "$in",
    Comparator.NIN: "$nin",
    Comparator.CONTAIN: "$contains",
}
# A negated comparison that qorel spells with one operator: like a negation, $ne and $nin keep
# the rows where the field is missing.
_OPPOSITES = {
    Comparator.NE: Comparator.EQ,
    Comparator.EQ: Comparator.NE,
    Comparator.IN: Comparator.NIN,
    Comparator.NIN: Comparator.IN,
}


class QorelTranslator(Visitor):
    """Turns LangChain's structured queries (as a self-querying retriever builds them) into
    qorel filter dicts: ``and``/``or`` become ``$and``/``$or``, ``not`` is pushed down to the
    comparisons, and ``contain`` tests membership in a list field. ``like`` has no qorel
    counterpart and is refused."""

    allowed_operators = (Operator.AND, Operator.OR, Operator.NOT)
    allowed_comparators = (
        Comparator.EQ,
        Comparator.NE,
        Comparator.GT,
        Comparator.GTE,
        Comparator.LT,
        Comparator.LTE,
        Comparator.IN,
        Comparator.NIN,
        Comparator.CONTAIN,
    )

    def visit_operation(self, operation: Operation) -> Filter:
        self._validate_func(operation.operator)
        if operation.operator == Operator.NOT:
            if len(operation.arguments) != 1:
                raise ValueError("not takes exactly one argument")
            return self._negated(operation.arguments[0])
        members = [argument.accept(self) for argument in operation.arguments]
        return {"$and" if operation.operator == Operator.AND else "$or": members}

    def visit_comparison(self, comparison: Comparison) -> Filter:
        self._validate_func(comparison.comparator)
        value = comparison.value
        if comparison.comparator in (Comparator.IN, Comparator.NIN) and not isinstance(value, list):
            value = list(value) if isinstance(value, (tuple, set)) else [value]
        if comparison.comparator == Comparator.EQ:
            return {comparison.attribute: value}
        return {comparison.attribute: {_COMPARATORS[comparison.comparator]: value}}

    def visit_structured_query(self, structured_query: StructuredQuery) -> tuple[str, dict[str, Any]]:
        if structured_query.filter is None:
            return structured_query.query, {}
        return structured_query.query, {"filter": structured_query.filter.accept(self)}

    def _negated(self, directive: FilterDirective) -> Filter:
        if isinstance(directive, Operation):
            self._validate_func(directive.operator)
            if directive.operator == Operator.NOT:
                if len(directive.arguments) != 1:
                    raise ValueError("not takes exactly one argument")
                positive: Filter = directive.arguments[0].accept(self)
                return positive
            # De Morgan: the negation of "all" is "some not", of "some" is "none".
            members = [self._negated(argument) for argument in directive.arguments]
            return {"$or" if directive.operator == Operator.AND else "$and": members}
        if not isinstance(directive, Comparison):
            raise TypeError(f"cannot translate {type(directive).__name__}")
        self._validate_func(directive.comparator)
        opposite = _OPPOSITES.get(directive.comparator)
        if opposite is not None:
            return self.visit_comparison(Comparison(comparator=opposite, attribute=directive.attribute, value=directive.value))
        if directive.comparator == Comparator.CONTAIN:
            return {directive.attribute: {"$not_contains": directive.value}}
        return {directive.attribute: {"$not": {_COMPARATORS[directive.comparator]: directive.value}}}


def _cosine_relevance(distance: float) -> float:
    # Cosine distance runs from 0 (same direction) to 2 (opposite); rounding can step just
    # outside that range.
    return min(1.0, max(0.0, 1.0 - distance / 2.0))


def _euclidean_relevance(distance: float) -> float:
    # Squared distances have no upper bound, so fold [0, inf) onto (0, 1].
    return 1.0 / (1.0 + max(0.0, distance))


def _dot_relevance(distance: float) -> float:
    # The distance is the negated dot product, unbounded both ways: the logistic function of
    # the dot product keeps the order and stays inside (0, 1). Written so exp never overflows.
    if distance >= 0.0:
        e = math.exp(-distance)
        return e / (1.0 + e)
    return 1.0 / (1.0 + math.exp(distance))


_RELEVANCE = {
    "cosine": _cosine_relevance,
    "euclidean": _euclidean_relevance,
    "dot_product": _dot_relevance,
}


def _no_extra(method: str, kwargs: dict[str, Any]) -> None:
    # A misspelt option (``filtr=``) would otherwise be dropped silently and change results.
    if kwargs:
        names = ", ".join(sorted(kwargs))
        raise TypeError(f"{method}() got unexpected keyword arguments: {names}")


class QorelVectorStore(VectorStore):
    """A LangChain ``VectorStore`` kept in a qorel database.

    Args:
        embedding: turns texts into vectors.
        database: a directory path, or an open :class:`qorel.Database`. A path that holds a
            database opens it (damaged files raise :class:`qorel.CorruptDatabaseError`, and
            any other failure to open raises too); otherwise the database
            is created there when the first documents arrive, with the dimension of their
            embeddings. ``None`` keeps the
            store in a temporary directory that is removed with the store.
        metric: ``"cosine"`` (default), ``"euclidean"``/``"l2"`` (squared distance) or
            ``"dot"``/``"dot_product"`` (negated dot product). Used only when the database
            is created; an existing one keeps its own.
        dim: creates the database at once with this dimension instead of waiting for the
            first documents.
        m, ef_construction: graph parameters for a database created here.
        relevance_score_fn: maps a distance to a relevance score in [0, 1]; by default
            cosine gives ``1 - d/2``, squared euclidean ``1/(1 + d)`` and dot product the
            logistic function of the dot product.
        read_only: opens the database at the path read-only, beside the process that writes
            it: searches work, changes raise :class:`qorel.ReadOnlyError`, nothing is created
            (a path without a database raises :class:`qorel.DatabaseNotFoundError`), and
            :meth:`refresh` takes in the writer's newer changes.
        text_index: enables the database's full-text index on the documents' text at once
            (otherwise the first keyword or hybrid search enables it); ``stem`` chooses English
            stemming for it. A read-only store searches only the index the writer enabled.

    Ids are strings; documents added without one get a random UUID. Adding a document whose
    id is stored replaces it. Search scores from ``similarity_search_with_score`` are the
    database's distances (smaller is nearer). ``filter`` takes qorel's filter dicts, e.g.
    ``{"year": {"$gte": 2020}, "lang": {"$in": ["en", "de"]}}`` or
    ``{"$or": [{"topics": {"$contains": "db"}}, {"lang": "de"}]}``; note that ``{}`` matches
    nothing, so pass ``None`` for no filter. :class:`QorelTranslator` turns LangChain's
    structured queries into such dicts.

    Every change is logged by the database before it returns, so nothing is lost without
    :meth:`save`; saving writes the data files and empties the log. The database the store
    opens saves on its own, too, once replaying its log would take about a second, so a
    restart replays little even when nothing calls :meth:`save` (the database's default
    ``checkpoint``; pass an open :class:`qorel.Database` to choose another).
    """

    def __init__(
        self,
        embedding: Embeddings,
        database: Place = None,
        *,
        metric: str = "cosine",
        dim: Optional[int] = None,
        m: Optional[int] = None,
        ef_construction: Optional[int] = None,
        relevance_score_fn: Optional[Callable[[float], float]] = None,
        read_only: bool = False,
        text_index: bool = False,
        stem: bool = False,
    ) -> None:
        if metric not in _METRICS:
            raise ValueError(f"unknown metric: {metric!r}")
        if read_only and database is None:
            raise ValueError("read_only needs the path of a stored database")
        self.embedding = embedding
        self._metric = metric
        self._m = m
        self._ef_construction = ef_construction
        self._relevance_score_fn = relevance_score_fn
        self._text_index = text_index
        self._stem = stem
        self._create_lock = threading.Lock()
        self._tmpdir: Optional[tempfile.TemporaryDirectory[str]] = None
        self._db: Optional[Database] = None
        self._path: Optional[str] = None

        if isinstance(database, Database):
            self._db = database
            if text_index and not database.read_only:
                self._enable_text_index(database)
            return
        if database is None:
            self._tmpdir = tempfile.TemporaryDirectory(prefix="qorel-langchain-")
            self._path = os.path.join(self._tmpdir.name, "db")
        else:
            self._path = os.fspath(database)
        if read_only:
            self._db = Database(self._path, read_only=True)
            return
        try:
            self._db = Database(self._path)
            if text_index:
                self._enable_text_index(self._db)
            return
        except DatabaseNotFoundError:
            pass  # no data files there; any other failure (damage, a lock, the OS) propagates
        if dim is None and os.path.isdir(self._path) and os.listdir(self._path):
            # Something is there but has no data files: a database that only has its log so
            # far. Opening with the dimension replays the log instead of presenting the store
            # as empty.
            dim = len(self.embedding.embed_query(""))
        if dim is not None:
            self._create(dim)

    # -- the database ------------------------------------------------------------------

    @property
    def database(self) -> Optional[Database]:
        """The underlying database, or ``None`` until the first documents create it."""
        return self._db

    @property
    def embeddings(self) -> Embeddings:
        return self.embedding

    def save(self) -> None:
        """Writes the database's data files and empties its log."""
        if self._db is not None:
            self._db.save()

    def refresh(self) -> None:
        """Read-only: moves to the newest state the writer has saved or logged."""
        if self._db is not None:
            self._db.refresh()

    def _create(self, dim: int) -> Database:
        with self._create_lock:
            if self._db is None:
                assert self._path is not None
                # The save below writes data files, so it may only ever happen where there are
                # none: files of a database that would not open stay as they are.
                present = data_files_in(self._path)
                if present:
                    try:
                        db = Database(self._path)  # saved there since this store looked
                    except DatabaseNotFoundError:
                        raise CorruptDatabaseError(
                            f"the database at '{self._path}' is incomplete (it has {', '.join(present)} only); "
                            "not creating a new one over it"
                        ) from None
                else:
                    db = Database(
                        self._path, dim=dim, metric=self._metric, m=self._m, ef_construction=self._ef_construction
                    )
                if self._text_index:
                    self._enable_text_index(db)
                if not present:
                    # Saving at once writes the data files, so the directory reopens by its path
                    # alone, without knowing the dimension.
                    db.save()
                self._db = db
            return self._db

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        if self._relevance_score_fn is not None:
            return self._relevance_score_fn
        metric = self._db.metric if self._db is not None else _METRICS[self._metric]
        return _RELEVANCE[metric]

    # -- adding ------------------------------------------------------------------------

    @staticmethod
    def _prepare(
        texts: list[str], metadatas: Optional[Sequence[Optional[Metadata]]], ids: Optional[Sequence[Optional[str]]]
    ) -> tuple[list[str], list[Optional[Metadata]], bool]:
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError(f"got {len(metadatas)} metadatas for {len(texts)} texts")
        if ids is not None and len(ids) != len(texts):
            raise ValueError(f"got {len(ids)} ids for {len(texts)} texts")
        chosen: list[str] = []
        for i in range(len(texts)):
            given = None if ids is None else ids[i]
            chosen.append(str(uuid.uuid4()) if given is None else given)
        records: list[Optional[Metadata]] = [
            _encode(t, metadatas[i] if metadatas else None) for i, t in enumerate(texts)
        ]
        # Ids made here are new, so the batch can skip the replace path.
        all_new = ids is None or all(i is None for i in ids)
        return chosen, records, all_new

    def _write(self, ids: list[str], vectors: Any, records: list[Optional[Metadata]], all_new: bool) -> list[str]:
        array = np.asarray(vectors, dtype=np.float32)
        if array.ndim != 2 or array.shape[0] != len(ids):
            got = array.shape[0] if array.ndim else 0
            raise ValueError(f"the embeddings gave {got} vectors for {len(ids)} texts")
        db = self._db if self._db is not None else self._create(int(array.shape[1]))
        if all_new:
            db.add_many(ids, array, records)
        else:
            db.upsert_many(ids, array, records)
        return ids

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: Optional[list[Metadata]] = None,
        *,
        ids: Optional[list[str]] = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embeds the texts and stores them in one batch; an id already stored is replaced."""
        _no_extra("add_texts", kwargs)
        texts = list(texts)
        if not texts:
            return []
        chosen, records, all_new = self._prepare(texts, metadatas, ids)
        return self._write(chosen, self.embedding.embed_documents(texts), records, all_new)

    async def aadd_texts(
        self,
        texts: Iterable[str],
        metadatas: Optional[list[Metadata]] = None,
        *,
        ids: Optional[list[str]] = None,
        **kwargs: Any,
    ) -> list[str]:
        _no_extra("aadd_texts", kwargs)
        texts = list(texts)
        if not texts:
            return []
        chosen, records, all_new = self._prepare(texts, metadatas, ids)
        vectors = await self.embedding.aembed_documents(texts)
        return await run_in_executor(None, self._write, chosen, vectors, records, all_new)

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: Optional[list[Metadata]] = None,
        *,
        ids: Optional[list[str]] = None,
        database: Place = None,
        **kwargs: Any,
    ) -> QorelVectorStore:
        """Creates a store (see the class for ``database`` and the other options) holding the texts."""
        store = cls(embedding, database, **kwargs)
        store.add_texts(texts, metadatas, ids=ids)
        return store

    @classmethod
    async def afrom_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: Optional[list[Metadata]] = None,
        *,
        ids: Optional[list[str]] = None,
        database: Place = None,
        **kwargs: Any,
    ) -> QorelVectorStore:
        store = await run_in_executor(None, lambda: cls(embedding, database, **kwargs))
        await store.aadd_texts(texts, metadatas, ids=ids)
        return store

    # -- reading and deleting ----------------------------------------------------------

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """Returns the stored documents among ``ids``, in the order asked, each id once."""
        db = self._db
        if db is None:
            return []
        found: list[Document] = []
        seen: set[str] = set()
        for id_ in ids:
            if id_ in seen:
                continue
            seen.add(id_)
            try:
                _, record = db.get(id_)
            except NotFoundError:
                continue
            found.append(_decode(id_, record))
        return found

    def delete(self, ids: Optional[list[str]] = None, **kwargs: Any) -> Optional[bool]:
        """Deletes the given ids (unknown ones are skipped), or every document when ``ids`` is None."""
        _no_extra("delete", kwargs)
        db = self._db
        if db is None:
            return True
        db.delete_many(db.ids() if ids is None else list(ids))
        return True

    # -- searching ---------------------------------------------------------------------

    def _search(
        self,
        vector: Any,
        k: int,
        filter: Optional[Filter],
        ef_search: Optional[int],
        max_distance: Optional[float],
    ) -> list[Any]:
        db = self._db
        if db is None:
            return []
        return db.search(
            vector, k=k, ef_search=ef_search, where_filter=_stored_filter(filter), max_distance=max_distance
        )

    def similarity_search_with_score_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        filter: Optional[Filter] = None,
        *,
        ef_search: Optional[int] = None,
        max_distance: Optional[float] = None,
        **kwargs: Any,
    ) -> list[tuple[Document, float]]:
        """The ``k`` nearest documents with their distances (smaller is nearer)."""
        _no_extra("similarity_search", kwargs)
        hits = self._search(embedding, k, filter, ef_search, max_distance)
        return [(_decode(h.id, h.metadata), h.distance) for h in hits]

    def similarity_search_with_score(
        self, query: str, k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """The ``k`` documents nearest to the query's embedding, with their distances."""
        return self.similarity_search_with_score_by_vector(self.embedding.embed_query(query), k, filter, **kwargs)

    def similarity_search_by_vector(
        self, embedding: list[float], k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> list[Document]:
        return [d for d, _ in self.similarity_search_with_score_by_vector(embedding, k, filter, **kwargs)]

    def similarity_search(
        self, query: str, k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> list[Document]:
        return [d for d, _ in self.similarity_search_with_score(query, k, filter, **kwargs)]

    async def asimilarity_search_with_score(
        self, query: str, k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        vector = await self.embedding.aembed_query(query)
        search = self.similarity_search_with_score_by_vector
        return await run_in_executor(None, search, vector, k, filter, **kwargs)

    async def asimilarity_search(
        self, query: str, k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> list[Document]:
        return [d for d, _ in await self.asimilarity_search_with_score(query, k, filter, **kwargs)]

    # -- batches of queries ------------------------------------------------------------

    def similarity_search_with_score_by_vectors(
        self,
        embeddings: Sequence[Sequence[float]],
        k: int = 4,
        filter: Optional[Filter] = None,
        *,
        ef_search: Optional[int] = None,
        max_distance: Optional[float] = None,
    ) -> list[list[tuple[Document, float]]]:
        """One result list per query vector, in query order; the queries run in parallel."""
        queries = np.asarray(embeddings, dtype=np.float32)
        db = self._db
        if db is None or len(queries) == 0:
            return [[] for _ in range(len(queries))]
        if queries.ndim != 2:
            raise ValueError("embeddings must be a sequence of vectors")
        results = db.search_many(
            queries, k=k, ef_search=ef_search, where_filter=_stored_filter(filter), max_distance=max_distance
        )
        return [[(_decode(h.id, h.metadata), h.distance) for h in hits] for hits in results]

    def similarity_search_batch(
        self, queries: Sequence[str], k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> list[list[Document]]:
        """``similarity_search`` for many queries at once, in query order."""
        vectors = [self.embedding.embed_query(q) for q in queries]
        results = self.similarity_search_with_score_by_vectors(vectors, k, filter, **kwargs)
        return [[d for d, _ in hits] for hits in results]

    async def asimilarity_search_batch(
        self, queries: Sequence[str], k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> list[list[Document]]:
        vectors = await asyncio.gather(*(self.embedding.aembed_query(q) for q in queries))
        search = self.similarity_search_with_score_by_vectors
        results = await run_in_executor(None, search, vectors, k, filter, **kwargs)
        return [[d for d, _ in hits] for hits in results]

    # -- keyword and hybrid search -----------------------------------------------------

    def _enable_text_index(self, db: Database, *, lazily: bool = False) -> None:
        """Enables the full-text index on the documents' text: lazily only where there is none,
        otherwise also to change its stemming to the store's."""
        current = db.text_index
        if current is not None and current["field"] != TEXT_KEY:
            # Replacing it would take the owner's index away; searching it would not search
            # the documents' text.
            raise ValueError(
                f"the database's text index covers the field {current['field']!r}, not the documents' text"
            )
        if current is None or (not lazily and bool(current["stem"]) != self._stem):
            if db.read_only:
                raise ValueError("keyword search needs the text index, and this read-only store cannot enable it")
            db.enable_text_index(TEXT_KEY, stem=self._stem)

    def _text_database(self) -> Optional[Database]:
        """The database, its text index enabled on the documents' text (None before the first documents)."""
        db = self._db
        if db is not None:
            self._enable_text_index(db, lazily=True)
        return db

    def keyword_search_with_score(
        self, query: str, k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """The ``k`` documents whose text best matches the query's words by BM25 (a document
        matching any of them counts), with their scores (larger is better)."""
        _no_extra("keyword_search", kwargs)
        db = self._text_database()
        if db is None:
            return []
        hits = db.search_text(query, k=k, where_filter=_stored_filter(filter))
        return [(_decode(h.id, h.metadata), -h.distance) for h in hits]

    def keyword_search(
        self, query: str, k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> list[Document]:
        return [d for d, _ in self.keyword_search_with_score(query, k, filter, **kwargs)]

    def _hybrid_by_vector(
        self,
        vector: list[float],
        query: str,
        k: int,
        filter: Optional[Filter],
        ef_search: Optional[int],
        weight: float,
        rrf_k: int,
        candidates: Optional[int],
    ) -> list[tuple[Document, float]]:
        db = self._text_database()
        if db is None:
            return []
        hits = db.search_hybrid(
            vector, query, k=k, where_filter=_stored_filter(filter), ef_search=ef_search,
            weight=weight, rrf_k=rrf_k, candidates=candidates,
        )
        return [(_decode(h.id, h.metadata), -h.distance) for h in hits]

    def hybrid_search_with_score(
        self,
        query: str,
        k: int = 4,
        filter: Optional[Filter] = None,
        *,
        weight: float = 0.5,
        rrf_k: int = 60,
        candidates: Optional[int] = None,
        ef_search: Optional[int] = None,
        **kwargs: Any,
    ) -> list[tuple[Document, float]]:
        """The ``k`` best documents of the vector search for the query's embedding and the
        keyword search for its words together, by reciprocal-rank fusion: ``weight`` for the
        vector ranking, ``1 - weight`` for the keyword ranking, each asked for ``candidates``
        hits. The scores are the fused ones (larger is better)."""
        _no_extra("hybrid_search", kwargs)
        if self._db is None:
            return []
        vector = self.embedding.embed_query(query)
        return self._hybrid_by_vector(vector, query, k, filter, ef_search, weight, rrf_k, candidates)

    def hybrid_search(
        self, query: str, k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> list[Document]:
        return [d for d, _ in self.hybrid_search_with_score(query, k, filter, **kwargs)]

    async def akeyword_search(
        self, query: str, k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> list[Document]:
        return await run_in_executor(None, self.keyword_search, query, k, filter, **kwargs)

    async def ahybrid_search(
        self,
        query: str,
        k: int = 4,
        filter: Optional[Filter] = None,
        *,
        weight: float = 0.5,
        rrf_k: int = 60,
        candidates: Optional[int] = None,
        ef_search: Optional[int] = None,
        **kwargs: Any,
    ) -> list[Document]:
        _no_extra("hybrid_search", kwargs)
        if self._db is None:
            return []
        vector = await self.embedding.aembed_query(query)
        hits = await run_in_executor(
            None, self._hybrid_by_vector, vector, query, k, filter, ef_search, weight, rrf_k, candidates
        )
        return [d for d, _ in hits]

    def search(self, query: str, search_type: str, **kwargs: Any) -> list[Document]:
        """LangChain's search types, and ``"keyword"`` and ``"hybrid"``."""
        if search_type == "keyword":
            return self.keyword_search(query, **kwargs)
        if search_type == "hybrid":
            return self.hybrid_search(query, **kwargs)
        return super().search(query, search_type, **kwargs)

    async def asearch(self, query: str, search_type: str, **kwargs: Any) -> list[Document]:
        if search_type == "keyword":
            return await self.akeyword_search(query, **kwargs)
        if search_type == "hybrid":
            return await self.ahybrid_search(query, **kwargs)
        return await super().asearch(query, search_type, **kwargs)

    def as_retriever(self, **kwargs: Any) -> VectorStoreRetriever:
        """A retriever whose ``search_type`` may also be ``"keyword"`` or ``"hybrid"``
        (``search_kwargs`` as for :meth:`keyword_search` and :meth:`hybrid_search`)."""
        tags = kwargs.pop("tags", None) or [*self._get_retriever_tags()]
        return QorelRetriever(vectorstore=self, tags=tags, **kwargs)

    # -- maximal marginal relevance ----------------------------------------------------

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Optional[Filter] = None,
        *,
        ef_search: Optional[int] = None,
        **kwargs: Any,
    ) -> list[Document]:
        """Picks ``k`` of the ``fetch_k`` nearest documents, trading nearness to the query
        (weight ``lambda_mult``) against cosine similarity to those already picked."""
        _no_extra("max_marginal_relevance_search", kwargs)
        db = self._db
        hits = self._search(embedding, fetch_k, filter, ef_search, None)
        docs: list[Document] = []
        vectors: list[list[float]] = []
        for h in hits:
            assert db is not None
            try:
                vector, _ = db.get(h.id)
            except NotFoundError:  # deleted since the search
                continue
            docs.append(_decode(h.id, h.metadata))
            vectors.append(vector)
        if not docs:
            return []
        picked = maximal_marginal_relevance(
            np.asarray(embedding, dtype=np.float32), vectors, lambda_mult=lambda_mult, k=k
        )
        return [docs[i] for i in picked]

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Optional[Filter] = None,
        **kwargs: Any,
    ) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(
            self.embedding.embed_query(query), k, fetch_k, lambda_mult, filter, **kwargs
        )

    async def amax_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Optional[Filter] = None,
        **kwargs: Any,
    ) -> list[Document]:
        vector = await self.embedding.aembed_query(query)
        return await run_in_executor(
            None, self.max_marginal_relevance_search_by_vector, vector, k, fetch_k, lambda_mult, filter, **kwargs
        )


class QorelRetriever(VectorStoreRetriever):
    """The store's retriever: LangChain's search types, and ``"keyword"`` and ``"hybrid"``."""

    allowed_search_types: ClassVar[Collection[str]] = (*VectorStoreRetriever.allowed_search_types, "keyword", "hybrid")

    def __init__(self, **kwargs: Any) -> None:
        # The fields are LangChain's: vectorstore, search_type, search_kwargs, tags, ...
        super().__init__(**kwargs)

    def _get_relevant_documents(
        self, query: str, *, run_manager: CallbackManagerForRetrieverRun, **kwargs: Any
    ) -> list[Document]:
        if self.search_type in ("keyword", "hybrid"):
            return self.vectorstore.search(query, self.search_type, **(self.search_kwargs | kwargs))
        return super()._get_relevant_documents(query, run_manager=run_manager, **kwargs)

    async def _aget_relevant_documents(
        self, query: str, *, run_manager: AsyncCallbackManagerForRetrieverRun, **kwargs: Any
    ) -> list[Document]:
        if self.search_type in ("keyword", "hybrid"):
            return await self.vectorstore.asearch(query, self.search_type, **(self.search_kwargs | kwargs))
        return await super()._aget_relevant_documents(query, run_manager=run_manager, **kwargs)
