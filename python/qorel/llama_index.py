"""A LlamaIndex vector store over a qorel database (the `llama-index` extra).

    from llama_index.core import StorageContext, VectorStoreIndex
    from qorel.llama_index import QorelVectorStore

    store = QorelVectorStore("rag-db")               # opens it when stored, else creates it
    index = VectorStoreIndex(nodes, storage_context=StorageContext.from_defaults(vector_store=store))
    index.as_query_engine().query("...")
    store.persist()                                  # saves the database

Each node is stored under its node id with its embedding; its metadata keys are stored at the
top level of the qorel metadata (so that filters reach them), beside the node itself as JSON
(without its text), its reference document's id and its text under "_node_text". LlamaIndex's
metadata filters are translated into qorel's filter language; an operator qorel cannot answer
raises ValueError.

Besides vector queries (mode "default") the store answers keyword queries (modes "text_search"
and "sparse": BM25 over the nodes' text, from `query_str`) and hybrid ones (mode "hybrid":
reciprocal-rank fusion of both, `alpha` weighing the vector ranking, 0 keyword only, 1 vector
only, 0.5 when unset), through the database's full-text index on "_node_text". The store
enables that index when created with `text_index=True`, or at its first such query.
"""

import os
from typing import Any, Dict, List, Optional, Sequence

from llama_index.core.bridge.pydantic import PrivateAttr
from llama_index.core.schema import BaseNode
from llama_index.core.vector_stores.types import (
    BasePydanticVectorStore,
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
    VectorStoreQueryResult,
)
from llama_index.core.vector_stores.utils import metadata_dict_to_node, node_to_metadata_dict

from _qorel import Database

Filter = Dict[str, Any]

TEXT_KEY = "_node_text"
"""The metadata key that keeps a node's text for the full-text index."""

_KEYWORD_MODES = (VectorStoreQueryMode.TEXT_SEARCH, VectorStoreQueryMode.SPARSE)

_RANGE = {FilterOperator.GT: "$gt", FilterOperator.GTE: "$gte", FilterOperator.LT: "$lt", FilterOperator.LTE: "$lte"}


def _one(f: MetadataFilter) -> Filter:
    op, key, value = f.operator, f.key, f.value
    if op == FilterOperator.EQ:
        return {key: value}
    if op == FilterOperator.NE:
        return {key: {"$ne": value}}
    if op in _RANGE:
        return {key: {_RANGE[op]: value}}
    if op == FilterOperator.IN:
        return {key: {"$in": list(value) if isinstance(value, list) else [value]}}
    if op == FilterOperator.NIN:
        return {key: {"$nin": list(value) if isinstance(value, list) else [value]}}
    if op == FilterOperator.CONTAINS:
        return {key: {"$contains": value}}
    if op == FilterOperator.ANY:
        return {key: {"$in": list(value) if isinstance(value, list) else [value]}}
    if op == FilterOperator.ALL:
        values = value if isinstance(value, list) else [value]
        return {"$and": [{key: {"$contains": v}} for v in values]}
    raise ValueError(f"qorel cannot answer the filter operator {op.value!r} (on key {key!r})")


def _negate(part: Filter) -> Filter:
    """The filter matching every record with metadata that `part` does not match."""
    if "$and" in part:
        return {"$or": [_negate(p) for p in part["$and"]]}
    if "$or" in part:
        return {"$and": [_negate(p) for p in part["$or"]]}
    (key, condition), = part.items()
    if isinstance(condition, dict):
        return {key: {"$not": condition}}
    return {key: {"$ne": condition}}


def translate_filters(filters: MetadataFilters) -> Filter:
    """LlamaIndex's metadata filters as a qorel `where_filter`."""
    parts = [translate_filters(f) if isinstance(f, MetadataFilters) else _one(f) for f in filters.filters]
    condition = filters.condition or FilterCondition.AND
    if condition == FilterCondition.NOT:
        # Not all of them: at least one fails.
        return _negate(parts[0] if len(parts) == 1 else {"$and": parts})
    if len(parts) == 1:
        return parts[0]
    return {"$and" if condition == FilterCondition.AND else "$or": parts}


def _without_text(node: BaseNode) -> BaseNode:
    """A copy of `node` whose JSON will not repeat the text kept under TEXT_KEY. A text
    resource keeps its other fields (LlamaIndex's remove_text would drop all of it)."""
    resource = getattr(node, "text_resource", None)
    if resource is not None:
        return node.model_copy(update={"text_resource": resource.model_copy(update={"text": None})})
    if isinstance(getattr(node, "text", None), str):
        return node.model_copy(update={"text": ""})
    return node


def _to_node(record: Dict[str, Any]) -> BaseNode:
    """The node a stored record describes, its text put back from TEXT_KEY. Records written
    before the text was kept only there carry it inside the node's JSON as well."""
    node = metadata_dict_to_node(record)
    text = record.get(TEXT_KEY)
    if isinstance(text, str) and not node.get_content():
        resource = getattr(node, "text_resource", None)
        if resource is not None:
            resource.text = text
        else:
            node.set_content(text)
    return node


class QorelVectorStore(BasePydanticVectorStore):
    """LlamaIndex's vector store interface over a qorel database directory. The database is
    opened when one is stored at `path`, otherwise created at the first `add`, with the
    dimension of its first embedding and `metric` ("cosine", "euclidean"/"l2" or
    "dot"/"dot_product"). Similarities are 1 - distance for cosine, 1 / (1 + distance) for
    squared Euclidean and the dot product itself for "dot"."""

    stores_text: bool = True
    flat_metadata: bool = False
    path: str
    metric: str = "cosine"
    # Enable the full-text index on the nodes' text at once rather than at the first keyword
    # or hybrid query; stem chooses English stemming for it.
    text_index: bool = False
    stem: bool = False

    # The Database, or None until the first add; pydantic keeps it per instance.
    _db: Any = PrivateAttr(default=None)

    def __init__(self, path: str, metric: str = "cosine", **kwargs: Any) -> None:
        fields: Dict[str, Any] = {"path": path, "metric": metric, **kwargs}
        super().__init__(**fields)
        if os.path.exists(os.path.join(path, "graph.qorel")) or os.path.exists(os.path.join(path, "wal.qorel")):
            self._db = Database(path)
            if self.text_index:
                self._enable_text_index()

    @classmethod
    def class_name(cls) -> str:
        return "QorelVectorStore"

    @property
    def client(self) -> Optional[Database]:
        """The qorel Database (None until the first add creates it)."""
        db: Optional[Database] = self._db
        return db

    def add(self, nodes: Sequence[BaseNode], **kwargs: Any) -> List[str]:
        if not nodes:
            return []
        vectors = [node.get_embedding() for node in nodes]
        if self._db is None:
            self._db = Database(self.path, dim=len(vectors[0]), metric=self.metric)
            if self.text_index:
                self._enable_text_index()
        ids = [node.node_id for node in nodes]
        records: List[Optional[Dict[str, Any]]] = []
        for node in nodes:
            record = node_to_metadata_dict(_without_text(node), remove_text=False, flat_metadata=self.flat_metadata)
            record[TEXT_KEY] = node.get_content()
            records.append(record)
        # LlamaIndex adds a node again under its id when its document is refreshed.
        self._db.upsert_many(ids, vectors, records)
        return ids

    def _ids_where(self, where: Filter) -> List[str]:
        if self._db is None:
            return []
        n = self._db.count(where)
        if n == 0:
            return []
        probe = [1.0] + [0.0] * (self._db.dim - 1)
        # Every match comes back when k is their number.
        return [hit.id for hit in self._db.search(probe, k=n, where_filter=where)]

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Deletes every node of the reference document."""
        ids = self._ids_where({"ref_doc_id": ref_doc_id})
        if ids and self._db is not None:
            self._db.delete_many(ids)

    def _select(self, node_ids: Optional[List[str]], filters: Optional[MetadataFilters]) -> List[str]:
        if self._db is None:
            return []
        if filters is None:
            ids: List[str] = self._db.ids() if node_ids is None else [i for i in node_ids if i in self._db]
            return ids
        chosen = self._ids_where(translate_filters(filters))
        if node_ids is not None:
            wanted = set(node_ids)
            chosen = [i for i in chosen if i in wanted]
        return chosen

    def get_nodes(self, node_ids: Optional[List[str]] = None,
                  filters: Optional[MetadataFilters] = None) -> List[BaseNode]:
        nodes = []
        for id in self._select(node_ids, filters):
            vector, record = self._db.get(id)
            node = _to_node(record or {})
            node.embedding = vector
            nodes.append(node)
        return nodes

    def delete_nodes(self, node_ids: Optional[List[str]] = None, filters: Optional[MetadataFilters] = None,
                     **delete_kwargs: Any) -> None:
        ids = self._select(node_ids, filters)
        if ids and self._db is not None:
            self._db.delete_many(ids)

    def clear(self) -> None:
        if self._db is not None:
            self._db.delete_many(self._db.ids())

    def _similarity(self, distance: float) -> float:
        if self.metric == "cosine":
            return 1.0 - distance
        if self.metric in ("euclidean", "l2"):
            return 1.0 / (1.0 + distance)
        return -distance

    def _enable_text_index(self) -> None:
        current = self._db.text_index
        if current is not None and current["field"] != TEXT_KEY:
            # Replacing it would take the owner's index away; searching it would not search
            # the nodes' text.
            raise ValueError(f"the database's text index covers the field {current['field']!r}, not the nodes' text")
        if current is None:
            # Nodes stored before their text was kept apart carry it only inside the node's
            # JSON: copy it out once, so that keyword search finds them too.
            for id in self._db.ids():
                _, record = self._db.get(id)
                if record is not None and TEXT_KEY not in record and "_node_content" in record:
                    record[TEXT_KEY] = metadata_dict_to_node(record).get_content()
                    self._db.update(id, metadata=record)
        if current is None or (self.text_index and bool(current["stem"]) != self.stem):
            self._db.enable_text_index(TEXT_KEY, stem=self.stem)

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        mode = VectorStoreQueryMode(query.mode)  # a dataclass field: a plain string stays one
        keyword = mode in _KEYWORD_MODES
        if not keyword and mode not in (VectorStoreQueryMode.DEFAULT, VectorStoreQueryMode.HYBRID):
            raise ValueError(f"qorel's LlamaIndex store answers vector, keyword and hybrid queries, not {mode.value!r}")
        if not keyword and query.query_embedding is None:
            raise ValueError(f"a {mode.value} query needs query_embedding")
        if mode != VectorStoreQueryMode.DEFAULT and not query.query_str:
            raise ValueError(f"a {mode.value} query needs query_str")
        if mode == VectorStoreQueryMode.HYBRID and query.hybrid_top_k is not None:
            top_k = query.hybrid_top_k
        else:
            top_k = query.similarity_top_k
        if self._db is None or top_k <= 0:
            return VectorStoreQueryResult(nodes=[], similarities=[], ids=[])
        if mode != VectorStoreQueryMode.DEFAULT:
            self._enable_text_index()
        parts = []
        if query.filters is not None and query.filters.filters:
            parts.append(translate_filters(query.filters))
        if query.doc_ids:
            parts.append({"ref_doc_id": {"$in": list(query.doc_ids)}})
        where = None if not parts else parts[0] if len(parts) == 1 else {"$and": parts}
        k = top_k
        if query.node_ids:
            # Restricted to named nodes: every match of the rest, then those nodes among them.
            wanted = set(query.node_ids)
            k = self._db.count(where) if where is not None else len(self._db)
        k = max(k, 1)
        if keyword:
            hits = self._db.search_text(query.query_str, k=k, where_filter=where)
        elif mode == VectorStoreQueryMode.HYBRID:
            # LlamaIndex's alpha weighs the vector side as the database's weight does. The
            # database asks each side for its own number of candidates unless told one.
            weight = 0.5 if query.alpha is None else query.alpha
            candidates = None
            if query.sparse_top_k is not None:
                candidates = max(query.similarity_top_k, query.sparse_top_k, top_k)
            hits = self._db.search_hybrid(query.query_embedding, query.query_str, k=k, where_filter=where,
                                          weight=weight, candidates=candidates)
        else:
            hits = self._db.search(query.query_embedding, k=k, where_filter=where)
        if query.node_ids:
            hits = [h for h in hits if h.id in wanted][:top_k]
        nodes, similarities, ids = [], [], []
        for hit in hits:
            nodes.append(_to_node(hit.metadata or {}))
            # Keyword and hybrid distances are negated scores: the scores, larger is better.
            similarities.append(self._similarity(hit.distance) if mode == VectorStoreQueryMode.DEFAULT else -hit.distance)
            ids.append(hit.id)
        return VectorStoreQueryResult(nodes=nodes, similarities=similarities, ids=ids)

    def persist(self, persist_path: Optional[str] = None, fs: Any = None) -> None:
        """Saves the database to its own directory (qorel keeps its files there; the path
        LlamaIndex passes for its other stores is not used)."""
        if self._db is not None:
            self._db.save()
