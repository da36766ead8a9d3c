"""Writes the seed corpora of the fuzz targets from small databases saved by the engine.

    python tests/fuzz/make_seeds.py   (with the _qorel module importable)

The seeds are kept in the tree; run this again only when a file format changes. Each database
has 4 dimensions and the ids v0..v11, as the log replay target's base database does.
"""

import pathlib
import shutil
import tempfile

import _qorel

HERE = pathlib.Path(__file__).resolve().parent
SEP_GRAPH = b"\xff\xfe"  # graph_fuzz: graph, vectors, quantized file
SEP_DIR = b"\xffQS\xfe"  # dir_fuzz: graph, vectors, quantized file, log, graph.tmp


def vec(i, k=0):
    return [float(i), 1.0, float(i % 3), -0.5 + k]


def build(path, quantize=False):
    db = _qorel.Database(str(path), dim=4, m=4, ef_construction=16, quantize=quantize)
    for i in range(12):
        db.add(f"v{i}", vec(i), {"i": i} if i % 2 else None)
    db.save()
    return db


def log_writes(db):
    db.upsert("v3", vec(3, 1), {"changed": [1, 2, {"x": None}]})
    db.add("n1", vec(20), {"s": "\u00e9t\u00e9", "f": 1.5})
    db.delete("v5")
    db.update("v7", metadata={"k": True})
    db.update("v8", vector=vec(8, 2))
    db.upsert_many(["n2", "v1"], [vec(21), vec(1, 3)], [None, {"b": 0}])
    db.delete_many(["v9", "v10"])
    db.add_many(["n3", "n4"], [vec(22), vec(23)], [{"c": 1}, None])


def read(path, name):
    p = pathlib.Path(path, name)
    return p.read_bytes() if p.exists() else b""


def put(target, name, data):
    d = HERE / "corpus" / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data)


def main():
    for target in ("wal_fuzz", "wal_replay_fuzz", "graph_fuzz", "dir_fuzz"):
        shutil.rmtree(HERE / "corpus" / target, ignore_errors=True)
    with tempfile.TemporaryDirectory() as tmp:
        plain = pathlib.Path(tmp, "plain")
        db = build(plain)
        log_writes(db)
        log = read(plain, "wal.qorel")
        for target in ("wal_fuzz", "wal_replay_fuzz"):
            put(target, "mixed", log)
            put(target, "cut-tail", log[:-7])  # inside the last batch
            damaged = bytearray(log)
            damaged[len(log) // 3] ^= 0x40
            put(target, "damaged-middle", bytes(damaged))

        graph, vectors = read(plain, "graph.qorel"), read(plain, "vectors.bin")
        put("graph_fuzz", "plain", graph + SEP_GRAPH + vectors)
        put("dir_fuzz", "plain-with-log", SEP_DIR.join([graph, vectors, b"", log]))

        quantized = pathlib.Path(tmp, "quantized")
        qdb = build(quantized, quantize=True)
        qgraph, qvectors, sq8 = (read(quantized, n) for n in ("graph.qorel", "vectors.bin", "vectors.sq8"))
        put("graph_fuzz", "quantized", qgraph + SEP_GRAPH + qvectors + SEP_GRAPH + sq8)
        put("dir_fuzz", "quantized", SEP_DIR.join([qgraph, qvectors, sq8]))

        # A save stopped between its renames: the new vectors are in place, the new graph is
        # still at its temporary name next to the old one.
        log_writes(qdb)
        qdb.compact()
        qdb.save()
        put("dir_fuzz", "interrupted-save",
            SEP_DIR.join([qgraph, read(quantized, "vectors.bin"), sq8, b"", read(quantized, "graph.qorel")]))


if __name__ == "__main__":
    main()
