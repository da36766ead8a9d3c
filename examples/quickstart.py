"""A first look at qorel: create a database and look at it."""

import tempfile

import qorel

with tempfile.TemporaryDirectory() as tmp:
    db = qorel.Database(f"{tmp}/quickstart_db", dim=3, metric="cosine")
    print(f"qorel {qorel.__version__}: created a database of dimension {db.dim} with metric {db.metric}")
    print(f"it holds {len(db)} vectors")
