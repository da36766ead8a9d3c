"""The qorel command: a database goes out and back in unchanged, check finds damage an open
does not, and import stores whole batches or nothing of them."""

import json
import subprocess
import sys

import numpy as np
import pytest

import _qorel
from qorel.cli import main


def run(capsys, *argv):
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def saved(tmp_path):
    path = str(tmp_path / "db")
    db = _qorel.Database(path, dim=8, metric="l2")
    rng = np.random.default_rng(3)
    db.add_many([f"v{i}" for i in range(300)], rng.standard_normal((300, 8)).astype(np.float32),
                [{"i": i, "tags": ["a", "b"], "name": f"n\u00e9{i}"} if i % 3 else None for i in range(300)])
    db.delete("v5")
    db.save()
    db.update("v7", metadata={"changed": True})  # left in the log
    return path


def contents(path):
    db = _qorel.Database(path)
    return {i: db.get(i) for i in sorted(db.ids())}


def test_export_then_import_gives_the_same_database(saved, tmp_path, capsys):
    exported = tmp_path / "rows.jsonl"
    assert run(capsys, "export", saved, "-o", str(exported))[0] == 0
    copy = str(tmp_path / "copy")
    status, out, _ = run(capsys, "import", copy, str(exported), "--batch", "7", "--metric", "l2", "--json")
    assert status == 0 and json.loads(out) == {"imported": 299}
    assert contents(copy) == contents(saved)
    status, out, _ = run(capsys, "info", copy, "--json")
    info = json.loads(out)
    assert (info["vectors"], info["dim"], info["metric"], info["m"]) == (299, 8, "euclidean", 16)
    assert info["files"]["vectors.bin"] > 0


def test_import_recreates_the_text_index(saved, tmp_path, capsys):
    db = _qorel.Database(saved)
    db.enable_text_index("name", stem=True)
    db.save()
    exported = tmp_path / "rows.jsonl"
    run(capsys, "export", saved, "-o", str(exported))
    copy = str(tmp_path / "copy")
    assert run(capsys, "import", copy, str(exported), "--metric", "l2", "--text-index", "name", "--stem")[0] == 0
    imported = _qorel.Database(copy)
    assert imported.text_index == {"field": "name", "stem": True}
    for query in ("n\u00e91", "n\u00e942 n\u00e97"):
        assert [h.id for h in imported.search_text(query, k=20)] == [h.id for h in db.search_text(query, k=20)]
    # An existing database with another index is refused before a row is stored.
    extra = tmp_path / "extra.jsonl"
    extra.write_text(json.dumps({"id": "new", "vector": [0.5] * 8, "metadata": {"name": "x"}}) + "\n")
    for flags in (["--text-index", "name"], ["--text-index", "i", "--stem"]):
        status, _, err = run(capsys, "import", copy, str(extra), *flags)
        assert status == 1 and err
    assert "new" not in _qorel.Database(copy)
    assert run(capsys, "import", copy, str(extra), "--text-index", "name", "--stem")[0] == 0
    assert "new" in _qorel.Database(copy)


def test_info_names_the_text_index(saved, capsys):
    status, out, _ = run(capsys, "info", saved, "--json")
    assert status == 0 and json.loads(out)["text_index"] is None
    assert "text_index" in run(capsys, "info", saved)[1]
    _qorel.Database(saved).enable_text_index("name", stem=True)  # logged, not saved
    assert json.loads(run(capsys, "info", saved, "--json")[1])["text_index"] == {"field": "name", "stem": True}
    line = next(x for x in run(capsys, "info", saved)[1].splitlines() if x.startswith("text_index"))
    assert "name" in line and "none" not in line


def test_check_finds_a_flipped_vector_byte_that_opening_does_not(saved, tmp_path, capsys):
    writer = _qorel.Database(saved)  # looking needs no lock: it runs beside the writer
    status, out, _ = run(capsys, "check", saved, "--json")
    assert status == 0 and all(c["ok"] for c in json.loads(out)["checks"])
    del writer
    with open(f"{saved}/vectors.bin", "r+b") as f:
        f.seek(100)
        byte = f.read(1)
        f.seek(100)
        f.write(bytes([byte[0] ^ 0x40]))
    _qorel.Database(saved)  # the open trusts the vectors it does not read
    status, out, _ = run(capsys, "check", saved, "--json")
    failed = [c["name"] for c in json.loads(out)["checks"] if not c["ok"]]
    assert status == 1 and failed == ["vectors.bin"]
    with open(f"{saved}/graph.qorel", "r+b") as f:
        f.seek(60)
        f.write(b"\xff\xff")
    status, _, err = run(capsys, "check", saved)
    assert status == 1 and err


def test_import_stores_whole_batches_only(tmp_path, capsys):
    rows = tmp_path / "rows.jsonl"
    lines = [json.dumps({"id": f"r{i}", "vector": [float(i)] * (3 if i != 6 else 2)}) for i in range(9)]
    rows.write_text("\n".join(lines) + "\n")
    path = str(tmp_path / "db")
    status, _, err = run(capsys, "import", path, str(rows), "--batch", "4")
    assert status == 1 and "lines 5-8" in err
    assert sorted(_qorel.Database(path).ids()) == ["r0", "r1", "r2", "r3"]
    rows.write_text('{"id": 1, "vector": [1]}\n')
    assert run(capsys, "import", path, str(rows))[0] == 1


def test_compact_salvage_and_the_module_entry_point(saved, tmp_path, capsys):
    status, out, _ = run(capsys, "compact", saved, "--json")
    assert status == 0 and json.loads(out)["slots_after"] == 299
    db = _qorel.Database(saved)
    db.add("late", [1.0] * 8)
    del db
    status, out, _ = run(capsys, "salvage", f"{saved}/wal.qorel")
    assert status == 0 and json.loads(out.splitlines()[0])["id"] == "late"
    for argv in (["--help"], ["check", "--help"]):
        assert subprocess.run([sys.executable, "-m", "qorel", *argv], capture_output=True).returncode == 0
    assert subprocess.run([sys.executable, "-m", "qorel", "bogus"], capture_output=True).returncode == 2
