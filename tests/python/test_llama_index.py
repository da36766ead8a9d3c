"""The LlamaIndex store: an index over it answers queries, survives a reopen and deletes by
document; LlamaIndex's filters select what a Python reading of them selects."""

import numpy as np
import pytest
from llama_index.core import StorageContext, VectorStoreIndex
from llama_index.core.embeddings import MockEmbedding
from llama_index.core.llms import MockLLM
from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode
from llama_index.core.vector_stores.types import (
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
)

from qorel.llama_index import QorelVectorStore


def node(i, doc, embedding=None):
    n = TextNode(text=f"passage {i}", id_=f"n{i}", embedding=embedding,
                 metadata={"n": i, "kind": ["a", "b", "c"][i % 3], "tags": [f"t{i % 4}", f"t{i % 5}"]})
    n.relationships[NodeRelationship.SOURCE] = RelatedNodeInfo(node_id=doc)
    return n


def test_an_index_over_the_store_answers_persists_and_deletes_by_document(tmp_path):
    path = str(tmp_path / "db")
    store = QorelVectorStore(path)
    index = VectorStoreIndex([node(i, f"doc{i % 2}") for i in range(12)], embed_model=MockEmbedding(embed_dim=8),
                             storage_context=StorageContext.from_defaults(vector_store=store))
    answer = index.as_query_engine(llm=MockLLM(), similarity_top_k=3).query("what is in passage 4?")
    assert len(answer.source_nodes) == 3 and all(s.node.text.startswith("passage") for s in answer.source_nodes)
    store.persist()
    reopened = QorelVectorStore(path)
    assert len(reopened.client) == 12
    reopened.delete("doc0")
    assert sorted(n.node_id for n in reopened.get_nodes()) == sorted(f"n{i}" for i in range(1, 12, 2))
    assert reopened.get_nodes(["n3"])[0].metadata["kind"] == "a"


FILTERS = [
    (MetadataFilters(filters=[MetadataFilter(key="n", value=5, operator=FilterOperator.GT)]), lambda m: m["n"] > 5),
    (MetadataFilters(filters=[MetadataFilter(key="kind", value="a"),
                              MetadataFilter(key="n", value=20, operator=FilterOperator.LTE)]),
     lambda m: m["kind"] == "a" and m["n"] <= 20),
    (MetadataFilters(filters=[MetadataFilter(key="kind", value="a"), MetadataFilter(key="n", value=3)],
                     condition=FilterCondition.OR), lambda m: m["kind"] == "a" or m["n"] == 3),
    (MetadataFilters(filters=[MetadataFilter(key="kind", value=["b", "c"], operator=FilterOperator.NIN)]),
     lambda m: m["kind"] not in ("b", "c")),
    (MetadataFilters(filters=[MetadataFilter(key="tags", value="t1", operator=FilterOperator.CONTAINS)]),
     lambda m: "t1" in m["tags"]),
    (MetadataFilters(filters=[MetadataFilter(key="tags", value=["t0", "t3"], operator=FilterOperator.ANY)]),
     lambda m: bool({"t0", "t3"} & set(m["tags"]))),
    (MetadataFilters(filters=[MetadataFilter(key="tags", value=["t1", "t2"], operator=FilterOperator.ALL)]),
     lambda m: {"t1", "t2"} <= set(m["tags"])),
    (MetadataFilters(filters=[MetadataFilters(filters=[MetadataFilter(key="kind", value="b"),
                                                       MetadataFilter(key="n", value=10, operator=FilterOperator.LT)],
                                              condition=FilterCondition.OR),
                              MetadataFilter(key="n", value=[1, 2, 3, 40, 41], operator=FilterOperator.IN)]),
     lambda m: (m["kind"] == "b" or m["n"] < 10) and m["n"] in (1, 2, 3, 40, 41)),
    (MetadataFilters(filters=[MetadataFilter(key="kind", value="a")], condition=FilterCondition.NOT),
     lambda m: m["kind"] != "a"),
]


@pytest.fixture(scope="module")
def filled(tmp_path_factory):
    rng = np.random.default_rng(2)
    store = QorelVectorStore(str(tmp_path_factory.mktemp("ll") / "db"), metric="l2")
    nodes = [node(i, f"doc{i % 7}", rng.standard_normal(6).tolist()) for i in range(60)]
    store.add(nodes)
    return store, {n.node_id: n.metadata for n in nodes}


@pytest.mark.parametrize("filters,predicate", FILTERS)
def test_filters_select_what_they_say(filled, filters, predicate):
    store, metadata = filled
    want = {i for i, m in metadata.items() if predicate(m)}
    got = store.query(VectorStoreQuery(query_embedding=[0.0] * 6, similarity_top_k=100, filters=filters))
    assert set(got.ids) == want
    assert {n.node_id for n in store.get_nodes(filters=filters)} == want


def test_queries_it_cannot_answer_are_refused(filled):
    store, _ = filled
    text = MetadataFilters(filters=[MetadataFilter(key="kind", value="a", operator=FilterOperator.TEXT_MATCH)])
    with pytest.raises(ValueError):
        store.query(VectorStoreQuery(query_embedding=[0.0] * 6, similarity_top_k=3, filters=text))
    top = store.query(VectorStoreQuery(query_embedding=[0.0] * 6, similarity_top_k=5, node_ids=["n1", "n2", "n50"]))
    assert sorted(top.ids) == ["n1", "n2", "n50"] and top.similarities == sorted(top.similarities, reverse=True)
