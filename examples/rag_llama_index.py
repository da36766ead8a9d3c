"""Retrieval with LlamaIndex over a qorel database: passages indexed with their document and a
year, queried with a filter, persisted, reopened and queried again.

    pip install "qorel[llama-index]"
    python examples/rag_llama_index.py

The embedding and the language model are LlamaIndex's mock ones (no model download, no API key):
put a real embedding model and LLM in their place for real answers.
"""

import tempfile

from llama_index.core import StorageContext, VectorStoreIndex
from llama_index.core.embeddings import MockEmbedding
from llama_index.core.llms import MockLLM
from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode
from llama_index.core.vector_stores.types import FilterOperator, MetadataFilter, MetadataFilters

from qorel.llama_index import QorelVectorStore

PASSAGES = [
    ("notes", 2021, "qorel keeps vectors, ids and metadata in one directory."),
    ("notes", 2023, "Every change is logged before it is applied."),
    ("guide", 2024, "A filter selects passages by their metadata."),
    ("guide", 2025, "Saving writes the data files and empties the log."),
]


def main() -> None:
    directory = tempfile.mkdtemp() + "/passages"
    embed = MockEmbedding(embed_dim=16)
    nodes = []
    for i, (doc, year, text) in enumerate(PASSAGES):
        node = TextNode(text=text, id_=f"p{i}", metadata={"year": year, "topics": ["storage", doc]})
        node.relationships[NodeRelationship.SOURCE] = RelatedNodeInfo(node_id=doc)
        nodes.append(node)

    store = QorelVectorStore(directory)
    index = VectorStoreIndex(nodes, embed_model=embed, storage_context=StorageContext.from_defaults(vector_store=store))
    recent = MetadataFilters(filters=[MetadataFilter(key="year", value=2023, operator=FilterOperator.GTE)])
    for hit in index.as_retriever(similarity_top_k=2, filters=recent).retrieve("what does a save do?"):
        print(f"{hit.score:.3f} {hit.node.metadata['year']} {hit.node.get_content()}")
    print(index.as_query_engine(llm=MockLLM(max_tokens=8), filters=recent).query("what does a save do?"))
    store.persist()

    store = QorelVectorStore(directory)  # reopened from its files
    store.delete("notes")  # every passage of one document
    index = VectorStoreIndex.from_vector_store(store, embed_model=embed)
    print(len(index.as_retriever(similarity_top_k=10).retrieve("anything")), "passages left")


if __name__ == "__main__":
    main()
