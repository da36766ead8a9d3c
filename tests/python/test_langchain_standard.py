"""LangChain's own conformance suite for vector stores, sync and async, run against
QorelVectorStore unchanged: every test of the suite is inherited as it is."""

from collections.abc import Iterator

import pytest
from langchain_tests.integration_tests import VectorStoreIntegrationTests

from qorel.langchain import QorelVectorStore

# The suite's async tests are plain coroutines; this runs them on an event loop (the mark
# leaves the synchronous tests alone).



class TestQorelVectorStoreStandard(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self, tmp_path) -> Iterator[QorelVectorStore]:
        # A fresh directory per test keeps every store empty at the start.
        yield QorelVectorStore(self.get_embeddings(), str(tmp_path / "store"))
