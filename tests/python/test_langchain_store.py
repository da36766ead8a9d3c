"""QorelVectorStore behaviour that LangChain's conformance suite does not reach: how text and
metadata are kept, reopening, filters, relevance scores, MMR and batches."""

import asyncio
import os
import subprocess
import sys
import uuid

import pytest
from langchain_core.documents import Document
from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings
from langchain_core.structured_query import Comparator, Comparison, Operation, Operator, StructuredQuery

import qorel
from qorel.langchain import QorelTranslator, QorelVectorStore


class TableEmbeddings(Embeddings):
    """Looks each text up in a table, so distances in a test are known exactly."""

    def __init__(self, table):
        self.table = table

    def embed_documents(self, texts):
        return [list(self.table[t]) for t in texts]

    def embed_query(self, text):
        return list(self.table[text])


class AsyncOnlyEmbeddings(TableEmbeddings):
    """Refuses the blocking calls: an async caller must go through the async ones."""

    def embed_documents(self, texts):
        raise AssertionError("blocking embed_documents called from async code")

    def embed_query(self, text):
        raise AssertionError("blocking embed_query called from async code")

    async def aembed_documents(self, texts):
        return TableEmbeddings.embed_documents(self, texts)

    async def aembed_query(self, text):
        return TableEmbeddings.embed_query(self, text)


def fake():
    return DeterministicFakeEmbedding(size=6)


# Near-duplicates a and a2 sit closest to the query; b is farther but points elsewhere.
MMR_TABLE = {
    "query": [1.0, 0.3, 0.0],
    "a": [1.0, 0.0, 0.0],
    "a2": [1.0, 0.02, 0.0],
    "b": [0.6, 0.8, 0.0],
    "c": [0.0, 0.0, 1.0],
}

FILTER_DOCS = [
    ("alpha", {"lang": "en", "year": 2019, "topics": ["db", "python"]}),
    ("beta", {"lang": "de", "year": 2021, "topics": ["rust"], "qorel:src": "a"}),
    ("gamma", {"lang": "en", "year": 2023, "topics": ["python"]}),
    ("delta", {"lang": "fr", "year": 2023.5}),
]


def ids_of(docs):
    return [d.id for d in docs]


class TestRecords:
    def test_text_and_metadata_survive_keys_that_look_reserved(self, tmp_path):
        store = QorelVectorStore(fake(), str(tmp_path / "s"))
        text = 'the text, with "quotes", ünïcode and a trailing newline\n'
        metadata = {
            "qorel:text": "the user's own value",
            "qorel:qorel:x": 1,
            "qorel:": "bare prefix",
            "page": 3,
            "nested": {"a": [1, 2.5, None, True]},
        }
        ids = store.add_texts([text, "second"], [metadata, None], ids=["d1", None])
        assert ids[0] == "d1"
        assert str(uuid.UUID(ids[1])) == ids[1]

        # Unknown and repeated ids are left out; the rest come back as stored.
        assert store.get_by_ids(["d1", "missing", ids[1], "d1"]) == [
            Document(id="d1", page_content=text, metadata=metadata),
            Document(id=ids[1], page_content="second", metadata={}),
        ]
        # A filter reaches the user's key, never the stored text.
        own = {"qorel:text": "the user's own value"}
        assert ids_of(store.similarity_search("second", k=5, filter=own)) == ["d1"]
        assert store.similarity_search("second", k=5, filter={"qorel:text": text}) == []

    def test_a_batch_with_unencodable_metadata_stores_nothing(self, tmp_path):
        store = QorelVectorStore(fake(), str(tmp_path / "s"))
        store.add_texts(["kept"], ids=["k"])
        with pytest.raises(TypeError):
            store.add_texts(["x", "y"], [{"ok": 1}, {"bad": object()}], ids=["x", "k"])
        assert sorted(store.database.ids()) == ["k"]
        assert store.get_by_ids(["k"])[0].page_content == "kept"

    def test_mismatched_lengths_and_unknown_options_are_refused(self, tmp_path):
        store = QorelVectorStore(fake(), str(tmp_path / "s"))
        with pytest.raises(ValueError):
            store.add_texts(["a", "b"], [{}])
        with pytest.raises(ValueError):
            store.add_texts(["a", "b"], ids=["1"])
        store.add_texts(["a"], [{"lang": "en"}])
        # A misspelt option must not silently drop the filter.
        with pytest.raises(TypeError):
            store.similarity_search("a", k=1, filtr={"lang": "de"})
        with pytest.raises(ValueError):
            QorelVectorStore(fake(), str(tmp_path / "t"), metric="L2")

    def test_delete_without_ids_empties_the_store(self, tmp_path):
        store = QorelVectorStore(fake(), str(tmp_path / "s"))
        store.add_texts(["a", "b", "c"])
        assert store.delete(["unknown"]) is True
        assert len(store.database) == 3
        assert store.delete() is True
        assert len(store.database) == 0
        assert store.similarity_search("a") == []


class TestReopening:
    def test_saved_and_logged_documents_come_back(self, tmp_path):
        path = str(tmp_path / "s")
        store = QorelVectorStore(fake(), path, metric="euclidean")
        assert store.similarity_search("anything") == []
        assert not os.path.exists(path)  # a read creates nothing
        store.add_texts(["one", "two"], [{"n": 1}, {"n": 2}], ids=["1", "2"])
        store.save()
        store.add_texts(["three"], [{"n": 3}], ids=["3"])  # only in the log
        expected = store.similarity_search("two", k=3)
        del store

        again = QorelVectorStore(fake(), path)  # the stored metric wins over the default
        assert again.database.metric == "euclidean"
        assert again.similarity_search("two", k=3) == expected
        assert again.get_by_ids(["3"]) == [Document(id="3", page_content="three", metadata={"n": 3})]

    def test_a_database_never_saved_is_replayed_not_ignored(self, tmp_path):
        path = str(tmp_path / "s")
        db = qorel.Database(path, dim=6)  # its directory holds only the log
        QorelVectorStore(fake(), db).add_texts(["logged"], [{"k": "v"}], ids=["x"])
        del db

        again = QorelVectorStore(fake(), path)
        assert again.get_by_ids(["x"]) == [Document(id="x", page_content="logged", metadata={"k": "v"})]

    def test_a_read_only_store_beside_the_writer(self, tmp_path):
        path = str(tmp_path / "s")
        with pytest.raises(qorel.DatabaseNotFoundError):
            QorelVectorStore(fake(), path, read_only=True)
        writer = QorelVectorStore(fake(), path)
        writer.add_texts(["one"], ids=["1"])
        reader = QorelVectorStore(fake(), path, read_only=True)
        assert ids_of(reader.similarity_search("one", k=3)) == ["1"]
        with pytest.raises(qorel.ReadOnlyError):
            reader.add_texts(["two"], ids=["2"])
        writer.add_texts(["two"], ids=["2"])
        reader.refresh()
        assert sorted(ids_of(reader.similarity_search("one", k=3))) == ["1", "2"]

    @pytest.mark.parametrize(
        "damage",
        [
            lambda path: (path / "graph.qorel").write_bytes(b"not a graph"),
            # An incomplete database: once it was taken for a new one, and saved over.
            lambda path: (path / "vectors.bin").unlink(),
            lambda path: (path / "graph.qorel").unlink(),
        ],
    )
    def test_damaged_files_raise_and_stay_as_they_are(self, tmp_path, damage):
        path = tmp_path / "s"
        store = QorelVectorStore(fake(), str(path))
        store.add_texts(["kept"])
        store.save()
        del store
        damage(path)
        before = {f.name: f.read_bytes() for f in path.iterdir()}
        with pytest.raises(qorel.CorruptDatabaseError):
            QorelVectorStore(fake(), str(path))
        assert {f.name: f.read_bytes() for f in path.iterdir()} == before

    def test_a_database_saved_after_the_store_looked_is_used_not_refused(self, tmp_path):
        path = str(tmp_path / "s")
        store = QorelVectorStore(fake(), path)  # nothing there yet
        db = qorel.Database(path, dim=6)
        QorelVectorStore(fake(), db).add_texts(["earlier"], ids=["e"])
        db.save()
        store.add_texts(["later"], ids=["l"])
        assert [d.page_content for d in store.get_by_ids(["e", "l"])] == ["earlier", "later"]

    def test_a_store_without_a_path_lives_in_a_temporary_directory(self):
        store = QorelVectorStore.from_texts(["a", "b"], fake(), ids=["a", "b"])
        assert ids_of(store.similarity_search("b", k=1)) == ["b"]


class TestFilters:
    @pytest.fixture()
    def store(self, tmp_path):
        texts = [t for t, _ in FILTER_DOCS]
        return QorelVectorStore.from_texts(
            texts, fake(), [m for _, m in FILTER_DOCS], ids=texts, database=str(tmp_path / "s")
        )

    @pytest.mark.parametrize(
        "where, expected",
        [
            ({"lang": "en"}, ["alpha", "gamma"]),
            ({"lang": {"$in": ["de", "fr"]}}, ["beta", "delta"]),
            ({"year": {"$gte": 2021, "$lt": 2023.5}}, ["beta", "gamma"]),
            ({"lang": {"$ne": "en"}, "year": {"$gt": 2022}}, ["delta"]),
            ({"lang": "es"}, []),
            ({}, []),  # an empty filter matches nothing, as in the database
            ({"topics": {"$contains": "python"}}, ["alpha", "gamma"]),
            ({"$or": [{"lang": "de"}, {"topics": {"$contains": "db"}}]}, ["alpha", "beta"]),
            ({"$and": [{"qorel:src": "a"}]}, ["beta"]),  # user keys are escaped inside lists too
        ],
    )
    def test_every_search_path_applies_the_filter(self, store, where, expected):
        assert sorted(ids_of(store.similarity_search("alpha", k=10, filter=where))) == expected
        assert sorted(d.id for d, _ in store.similarity_search_with_score("alpha", k=10, filter=where)) == expected
        mmr = store.max_marginal_relevance_search("alpha", k=10, fetch_k=10, filter=where)
        assert sorted(ids_of(mmr)) == expected
        retriever = store.as_retriever(search_kwargs={"k": 10, "filter": where})
        assert sorted(ids_of(retriever.invoke("alpha"))) == expected
        assert sorted(ids_of(asyncio.run(store.asimilarity_search("alpha", k=10, filter=where)))) == expected

    def test_structured_queries_translate(self, store):
        translator = QorelTranslator()
        where = Operation(operator=Operator.AND, arguments=[
            Comparison(comparator=Comparator.CONTAIN, attribute="topics", value="python"),
            Operation(operator=Operator.NOT, arguments=[Operation(operator=Operator.OR, arguments=[
                Comparison(comparator=Comparator.EQ, attribute="lang", value="de"),
                Comparison(comparator=Comparator.GT, attribute="year", value=2020),
            ])]),
        ])
        query, kwargs = translator.visit_structured_query(StructuredQuery(query="alpha", filter=where, limit=None))
        assert ids_of(store.similarity_search(query, k=10, **kwargs)) == ["alpha"]
        negated = Operation(operator=Operator.NOT, arguments=[
            Comparison(comparator=Comparator.NIN, attribute="lang", value=["en"]),
        ])
        assert sorted(ids_of(store.similarity_search("alpha", k=10, filter=negated.accept(translator)))) == ["alpha", "gamma"]
        assert translator.visit_structured_query(StructuredQuery(query="q", filter=None, limit=None)) == ("q", {})
        with pytest.raises(ValueError):
            Comparison(comparator=Comparator.LIKE, attribute="lang", value="e").accept(translator)

    def test_a_malformed_filter_raises(self, store):
        with pytest.raises(ValueError, match="unknown operator"):
            store.similarity_search("alpha", filter={"year": {"$eq": 2019}})
        with pytest.raises(TypeError):
            store.similarity_search("alpha", filter=[("lang", "en")])


class TestScores:
    TABLE = {
        "q": [1.0, 0.0],
        "same": [2.0, 0.0],
        "side": [0.0, 1.0],
        "opposite": [-1.0, 0.0],
        "far": [1000.0, 0.0],
        "anti": [-1000.0, 0.0],
    }

    def scores(self, tmp_path, metric, texts):
        store = QorelVectorStore.from_texts(
            texts, TableEmbeddings(self.TABLE), ids=texts, database=str(tmp_path / metric), metric=metric
        )
        return {d.id: s for d, s in store.similarity_search_with_relevance_scores("q", k=len(texts))}

    def test_cosine_runs_from_opposite_to_same_direction(self, tmp_path):
        s = self.scores(tmp_path, "cosine", ["same", "side", "opposite"])
        assert s == pytest.approx({"same": 1.0, "side": 0.5, "opposite": 0.0}, abs=1e-6)

    def test_squared_euclidean_folds_onto_zero_to_one(self, tmp_path):
        s = self.scores(tmp_path, "euclidean", ["same", "side", "opposite", "far"])
        # squared distances 1, 2, 4 and 999**2
        assert s == pytest.approx({"same": 0.5, "side": 1 / 3, "opposite": 0.2, "far": 1 / (1 + 999.0**2)})

    def test_dot_product_stays_ordered_and_bounded_for_large_vectors(self, tmp_path):
        s = self.scores(tmp_path, "dot", ["same", "side", "opposite", "far", "anti"])
        assert s["side"] == pytest.approx(0.5)
        assert 1.0 >= s["far"] > s["same"] > s["side"] > s["opposite"] > s["anti"] >= 0.0

    def test_threshold_retriever_keeps_only_relevant_documents(self, tmp_path):
        store = QorelVectorStore.from_texts(
            ["same", "side", "opposite"], TableEmbeddings(self.TABLE), ids=["same", "side", "opposite"],
            database=str(tmp_path / "s"),
        )
        retriever = store.as_retriever(
            search_type="similarity_score_threshold", search_kwargs={"score_threshold": 0.4}
        )
        assert ids_of(retriever.invoke("q")) == ["same", "side"]


class TestMaximalMarginalRelevance:
    @pytest.fixture()
    def store(self, tmp_path):
        texts = ["a", "a2", "b", "c"]
        embeddings = TableEmbeddings(MMR_TABLE)
        return QorelVectorStore.from_texts(texts, embeddings, ids=texts, database=str(tmp_path / "s"))

    def test_a_near_duplicate_gives_way_to_a_different_document(self, store):
        assert ids_of(store.similarity_search("query", k=2)) == ["a2", "a"]
        assert ids_of(store.max_marginal_relevance_search("query", k=2, fetch_k=4)) == ["a2", "b"]
        diverse = store.max_marginal_relevance_search("query", k=3, fetch_k=4, lambda_mult=0.25)
        assert ids_of(diverse) == ["a2", "c", "b"]
        # With all weight on relevance it is a plain similarity search.
        relevant = store.max_marginal_relevance_search("query", k=3, fetch_k=4, lambda_mult=1.0)
        assert ids_of(relevant) == ["a2", "a", "b"]
        retriever = store.as_retriever(search_type="mmr", search_kwargs={"k": 2, "fetch_k": 4})
        assert ids_of(retriever.invoke("query")) == ["a2", "b"]

    def test_only_fetched_documents_are_candidates(self, store):
        assert ids_of(store.max_marginal_relevance_search("query", k=2, fetch_k=2)) == ["a2", "a"]

    def test_async_variants_use_the_async_embedding_calls(self, tmp_path):
        async def run():
            store = QorelVectorStore(AsyncOnlyEmbeddings(MMR_TABLE), str(tmp_path / "s"))
            await store.aadd_texts(["a", "a2", "b", "c"], ids=["a", "a2", "b", "c"])
            mmr = await store.amax_marginal_relevance_search("query", k=2, fetch_k=4)
            near = await store.asimilarity_search_with_relevance_scores("query", k=1)
            batch = await store.asimilarity_search_batch(["query", "c"], k=1)
            return ids_of(mmr), [d.id for d, _ in near], [ids_of(hits) for hits in batch]

        assert asyncio.run(run()) == (["a2", "b"], ["a2"], [["a2"], ["c"]])


# Vectors chosen so that the vector ranking for "zebra" (k3, k1, k2, k4) differs from the keyword one.
KEYWORD_TABLE = {
    "zebra": [1.0, 0.1, 0.0],
    "the zebra grazes on the plain": [0.8, 0.6, 0.0],
    "a zebra and a lion": [0.0, 1.0, 0.2],
    "lions sleep at noon": [1.0, 0.0, 0.0],
    "nothing to see here": [0.0, 0.0, 1.0],
}
KEYWORD_DOCS = [
    ("k1", "the zebra grazes on the plain", {"lang": "en"}),
    ("k2", "a zebra and a lion", {"lang": "de"}),
    ("k3", "lions sleep at noon", {"lang": "en"}),
    # The word is in its metadata, never in its text: keyword search must not find it.
    ("k4", "nothing to see here", {"qorel:text": "zebra", "note": "zebra"}),
]


class TestKeywordAndHybrid:
    @pytest.fixture()
    def store(self, tmp_path):
        store = QorelVectorStore(TableEmbeddings(KEYWORD_TABLE), str(tmp_path / "s"))
        store.add_texts([t for _, t, _ in KEYWORD_DOCS], [m for _, _, m in KEYWORD_DOCS],
                        ids=[i for i, _, _ in KEYWORD_DOCS])
        return store

    def test_keyword_and_hybrid_rank_the_documents_text(self, store):
        scored = store.keyword_search_with_score("zebra", k=4)
        assert sorted(d.id for d, _ in scored) == ["k1", "k2"] and scored[0][1] >= scored[1][1] > 0
        assert scored[0][0].metadata in ({"lang": "en"}, {"lang": "de"})
        assert ids_of(store.keyword_search("zebra", filter={"lang": "de"})) == ["k2"]
        assert store.database.text_index["field"] == "qorel:text"
        # All weight on one side gives that side's ranking.
        assert ids_of(store.hybrid_search("zebra", k=3, weight=1.0)) == ids_of(store.similarity_search("zebra", k=3))
        assert ids_of(store.hybrid_search("zebra", k=2, weight=0.0)) == [d.id for d, _ in scored]
        fused = store.hybrid_search_with_score("zebra", k=4, filter={"lang": "en"})
        assert [d.id for d, _ in fused] == ["k1", "k3"] and fused[0][1] > fused[1][1] > 0
        for kind, expected in (("keyword", [d.id for d, _ in scored]), ("hybrid", ids_of(store.hybrid_search("zebra")))):
            assert ids_of(store.search("zebra", kind)) == expected
            retriever = store.as_retriever(search_type=kind, search_kwargs={"k": 4})
            assert ids_of(retriever.invoke("zebra")) == expected
            assert ids_of(asyncio.run(retriever.ainvoke("zebra"))) == expected
        with pytest.raises(TypeError):
            store.keyword_search("zebra", filtr={"lang": "en"})

    def test_the_index_is_enabled_once_and_stays(self, store, tmp_path):
        path = str(tmp_path / "s")
        store.keyword_search("zebra")
        reader = QorelVectorStore(TableEmbeddings(KEYWORD_TABLE), path, read_only=True)
        assert sorted(ids_of(reader.keyword_search("zebra"))) == ["k1", "k2"]
        # Created with the index: the first search already has it, with the stemming asked for.
        eager = QorelVectorStore(TableEmbeddings(KEYWORD_TABLE), str(tmp_path / "e"), text_index=True, stem=True)
        assert eager.keyword_search("zebra") == []
        eager.add_texts(["lions sleep at noon"], ids=["x"])
        assert eager.database.text_index == {"field": "qorel:text", "stem": True}
        assert ids_of(eager.keyword_search("lion")) == ["x"]

    def test_an_index_it_cannot_use_is_refused_not_replaced(self, tmp_path):
        path = str(tmp_path / "s")
        QorelVectorStore(TableEmbeddings(KEYWORD_TABLE), path).add_texts(["lions sleep at noon"])
        reader = QorelVectorStore(TableEmbeddings(KEYWORD_TABLE), path, read_only=True)
        with pytest.raises(ValueError):
            reader.keyword_search("lions")
        db = qorel.Database(str(tmp_path / "other"), dim=3)
        db.enable_text_index("title")
        store = QorelVectorStore(TableEmbeddings(KEYWORD_TABLE), db)
        store.add_texts(["lions sleep at noon"], [{"title": "lions"}])
        with pytest.raises(ValueError):
            store.hybrid_search("zebra")
        assert db.text_index == {"field": "title", "stem": False}

    def test_async_hybrid_uses_the_async_embedding_call(self, tmp_path):
        async def run():
            store = QorelVectorStore(AsyncOnlyEmbeddings(KEYWORD_TABLE), str(tmp_path / "s"))
            await store.aadd_texts([t for _, t, _ in KEYWORD_DOCS], ids=[i for i, _, _ in KEYWORD_DOCS])
            return ids_of(await store.ahybrid_search("zebra", k=2, weight=0.0))

        assert sorted(asyncio.run(run())) == ["k1", "k2"]


def test_a_batch_of_queries_matches_one_search_per_query(tmp_path):
    texts = [f"sentence {i}" for i in range(50)]
    store = QorelVectorStore.from_texts(texts, fake(), [{"i": i} for i in range(50)], database=str(tmp_path / "s"))
    queries = ["sentence 3", "sentence 41", "unrelated"]
    where = {"i": {"$lt": 25}}
    assert store.similarity_search_batch(queries, k=5, filter=where) == [
        store.similarity_search(q, k=5, filter=where) for q in queries
    ]
    assert store.similarity_search_batch([], k=5) == []


def test_importing_qorel_does_not_import_langchain():
    code = "import sys, qorel; print(sorted(m for m in sys.modules if m.startswith('langchain')))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[]"
