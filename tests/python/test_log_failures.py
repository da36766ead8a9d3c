"""Log writes that fail part-way, and damage in the middle of the log."""

import json
import os
import pathlib
import subprocess
import sys
import textwrap

import _qorel

SALVAGE = [sys.executable, "-m", "qorel.wal_salvage"]

# The child lets the log grow only a little past its current size (RLIMIT_FSIZE, with SIGXFSZ
# ignored so the write fails with EFBIG), so that a batch fails after some of its records were
# written. It ends without saving.
FAILING_BATCH = textwrap.dedent(
    """
    import os, resource, signal, sys, _qorel
    path, method = sys.argv[1], sys.argv[2]
    db = _qorel.Database(path, dim=4)
    db.add("before", [1.0, 2.0, 3.0, 4.0])
    db.save()
    db.upsert("old", [1.0, 1.0, 1.0, 1.0], {"v": 1})
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(path + "/wal.qorel") + 2000, hard))
    ids = ["old"] + [f"b{i}" for i in range(300)]
    vectors = [[float(i), 0.0, 0.0, 1.0] for i in range(len(ids))]
    try:
        if method == "add_many":
            db.add_many(ids[1:], vectors[1:])
        else:
            db.upsert_many(ids, vectors)
        print("no error")
    except ValueError as e:
        print("raised", e)
    resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    print(sorted(db.ids()))
    db.add("after", [4.0, 3.0, 2.0, 1.0])
    os._exit(0)
    """
)


def test_failed_batch_leaves_no_trace_after_restart(tmp_path):
    for method in ("add_many", "upsert_many"):
        path = str(tmp_path / method)
        out = subprocess.run([sys.executable, "-c", FAILING_BATCH, path, method], capture_output=True, text=True,
                             check=True).stdout.splitlines()
        assert out[0].startswith("raised io error"), out
        assert out[1] == "['before', 'old']"  # memory unchanged
        db = _qorel.Database(path)
        assert sorted(db.ids()) == ["after", "before", "old"]
        assert db.get("old") == ([1.0, 1.0, 1.0, 1.0], {"v": 1})


def damaged_log(path, records=5):
    """A saved database whose log holds `records` inserts, with a byte of the third one flipped."""
    db = _qorel.Database(path, dim=2)
    db.save()
    for i in range(records):
        db.add(f"k{i}", [float(i), 0.0], {"i": i})
    del db
    log = pathlib.Path(path, "wal.qorel")
    data = log.read_bytes()
    rec = len(data) // records
    damaged = bytearray(data)
    damaged[2 * rec + 10] ^= 0xFF
    log.write_bytes(bytes(damaged))
    return bytes(damaged), rec


def test_damaged_middle_of_log_is_kept_in_a_side_file(db_path):
    damaged, rec = damaged_log(db_path)
    db = _qorel.Database(db_path)
    assert sorted(db.ids()) == ["k0", "k1"]  # replay still stops at the damage
    side = pathlib.Path(db_path, "wal.qorel.damaged-1")
    assert side.read_bytes() == damaged[2 * rec:]
    db.add("new", [9.0, 9.0])
    db.save()
    del db
    assert side.read_bytes() == damaged[2 * rec:]  # a save leaves it alone

    # A second damaged log gets the next free name; the first side file is never overwritten.
    pathlib.Path(db_path, "wal.qorel").write_bytes(damaged)
    _qorel.Database(db_path)
    assert side.read_bytes() == damaged[2 * rec:]
    assert pathlib.Path(db_path, "wal.qorel.damaged-2").read_bytes() == damaged[2 * rec:]

    # The intact records after the damage come back with the salvage script, in order.
    lines = subprocess.run(SALVAGE + [str(side)], capture_output=True, text=True,
                           check=True).stdout.splitlines()
    assert [json.loads(line) for line in lines] == [
        {"op": "insert", "id": "k3", "vector": [3.0, 0.0], "metadata": {"i": 3}},
        {"op": "insert", "id": "k4", "vector": [4.0, 0.0], "metadata": {"i": 4}},
    ]


def test_salvage_script_reads_every_record_kind(db_path):
    db = _qorel.Database(db_path, dim=2)
    db.save()
    db.add("a", [1.0, 2.0])
    db.update("a", vector=[3.0, 4.0])
    db.update("a", metadata={"t": [1, "x"]})
    db.delete("a")
    db.add_many(["b", "c"], [[5.0, 6.0], [7.0, 8.0]])
    del db
    log = pathlib.Path(db_path, "wal.qorel")
    # Garbage in front stands for a damaged record: the script skips to the next intact one.
    log.write_bytes(b"\x01\xff\x00\x00\x00garbage" + log.read_bytes())
    lines = subprocess.run(SALVAGE + [str(log)], capture_output=True, text=True,
                           check=True).stdout.splitlines()
    assert [json.loads(line) for line in lines] == [
        {"op": "insert", "id": "a", "vector": [1.0, 2.0], "metadata": None},
        {"op": "update", "id": "a", "vector": [3.0, 4.0]},
        {"op": "update", "id": "a", "metadata": {"t": [1, "x"]}},
        {"op": "delete", "id": "a"},
        {"op": "batch", "records": 2},
        {"op": "insert", "id": "b", "vector": [5.0, 6.0], "metadata": None},
        {"op": "insert", "id": "c", "vector": [7.0, 8.0], "metadata": None},
    ]

    missing = subprocess.run(SALVAGE + [str(log) + ".absent"], capture_output=True, text=True)
    assert missing.returncode != 0
    assert len(missing.stderr.splitlines()) == 1
