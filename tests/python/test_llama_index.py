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

from llama_index.core.vector_stores.utils import node_to_metadata_dict

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


def test_keyword_and_hybrid_queries(tmp_path):
    rng = np.random.default_rng(4)
    nodes = [node(i, f"doc{i % 3}", rng.standard_normal(6).tolist()) for i in range(30)]
    for n in nodes[3::10]:
        n.text += " cobalt"
    cobalt = {"n3", "n13", "n23"}
    path = str(tmp_path / "db")
    store = QorelVectorStore(path)
    index = VectorStoreIndex(nodes, embed_model=MockEmbedding(embed_dim=6),
                             storage_context=StorageContext.from_defaults(vector_store=store))
    for mode in ("text_search", "sparse", "hybrid"):
        found = index.as_retriever(vector_store_query_mode=mode, similarity_top_k=3).retrieve("cobalt")
        assert {n.node.node_id for n in found} == cobalt and all("cobalt" in n.node.text for n in found)
        assert found[0].score >= found[-1].score > 0

    vector = rng.standard_normal(6).tolist()
    plain = store.query(VectorStoreQuery(query_embedding=vector, similarity_top_k=4))
    words = store.query(VectorStoreQuery(query_str="cobalt passage", mode="text_search", similarity_top_k=4))
    # alpha weighs the vector ranking: 1 gives it alone, 0 the keyword ranking alone.
    for alpha, expected in ((1.0, plain.ids), (0.0, words.ids)):
        got = store.query(VectorStoreQuery(query_embedding=vector, query_str="cobalt passage", mode="hybrid",
                                           alpha=alpha, similarity_top_k=4))
        assert got.ids == expected
    only_a = MetadataFilters(filters=[MetadataFilter(key="kind", value="a")])
    assert store.query(VectorStoreQuery(query_str="cobalt", mode="text_search", similarity_top_k=5,
                                        filters=only_a)).ids == ["n3"]
    for bad in (VectorStoreQuery(query_embedding=vector, mode="hybrid", similarity_top_k=2),
                VectorStoreQuery(query_str="cobalt", mode="hybrid", similarity_top_k=2),
                VectorStoreQuery(query_embedding=vector, query_str="cobalt", mode="mmr", similarity_top_k=2)):
        with pytest.raises(ValueError):
            store.query(bad)


def test_nodes_stored_without_their_text_apart_are_found_by_keyword(tmp_path):
    # As an earlier version of the store wrote them: the text only inside the node's JSON.
    path = str(tmp_path / "db")
    store = QorelVectorStore(path)
    store.add([node(i, "doc", [1.0, float(i)]) for i in range(3)])
    for i in range(3):
        store.client.update(f"n{i}", metadata=node_to_metadata_dict(node(i, "doc"), remove_text=False))
    store.persist()
    again = QorelVectorStore(path, text_index=True)
    found = again.query(VectorStoreQuery(query_str="passage 1", mode="text_search", similarity_top_k=1))
    assert found.ids == ["n1"] and again.client.text_index == {"field": "_node_text", "stem": False}


def test_the_text_is_stored_once_and_comes_back_with_the_node(tmp_path):
    store = QorelVectorStore(str(tmp_path / "db"))
    store.add([node(i, "doc", [1.0, float(i)]) for i in range(3)])
    _, record = store.client.get("n1")
    assert record["_node_text"] == "passage 1" and "passage 1" not in record["_node_content"]
    # As the store wrote records before: the text inside the node's JSON as well.
    old = node_to_metadata_dict(node(2, "doc"), remove_text=False)
    old["_node_text"] = "passage 2"
    store.client.update("n2", metadata=old)
    hits = store.query(VectorStoreQuery(query_embedding=[1.0, 1.0], similarity_top_k=3))
    assert sorted(n.text for n in hits.nodes) == ["passage 0", "passage 1", "passage 2"]
    words = store.query(VectorStoreQuery(query_str="passage", mode="text_search", similarity_top_k=3))
    assert sorted(n.text for n in words.nodes) == ["passage 0", "passage 1", "passage 2"]
    assert [n.text for n in store.get_nodes(["n1", "n2"])] == ["passage 1", "passage 2"]
