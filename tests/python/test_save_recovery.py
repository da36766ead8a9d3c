"""Saves interrupted by a killed process or a failing system call, several in a row, reopen to
the last completed save plus the log; and opening reports what is wrong with a directory.

The faults are injected into a child process that opens the database and saves it, with
strace's syscall tampering, at system calls counted per thread exactly as strace counts them.
"""

import os
import pathlib
import shutil
import struct
import subprocess
import sys

import numpy as np
import pytest

import _qorel

NOT_FOUND = "database not found \u2014 specify dim to create a new one"
TRACED = "openat,write,fsync,rename,unlink,close,flock"
CHILD = """
import sys, _qorel
db = _qorel.Database(sys.argv[1])
if sys.argv[2] == "compact":
    db.compact()
db.save()
"""


def snapshot(db):
    return {i: db.get(i) for i in sorted(db.ids())}


def run_child(directory, compact, inject=None, trace=None):
    cmd = ["strace", "-f", "-qq", "-e", "trace=" + TRACED]
    if inject:
        cmd += ["-e", "inject=" + inject]
    if trace:
        cmd += ["-y", "-o", str(trace)]
    else:
        cmd += ["-o", os.devnull]
    cmd += [sys.executable, "-c", CHILD, str(directory), "compact" if compact else "-"]
    env = dict(os.environ, PYTHONHASHSEED="0")
    return subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE).returncode


def save_events(base, work, compact):
    """The save's system calls on the database directory, in order, as strace's inject
    arguments (syscall and its invocation number in the calling thread)."""
    shutil.copytree(base, work)
    trace = work.parent / (work.name + ".trace")
    assert run_child(work, compact, trace=trace) == 0
    counts, events, started, main = {}, [], False, None
    for line in trace.read_text().splitlines():
        pid, rest = line.split(None, 1)
        name = rest.split("(", 1)[0]
        main = main or pid
        # The directory's lock file is taken at open and let go when the process ends; it is
        # no part of the save.
        if pid != main or name not in TRACED.split(",") or "qorel.lock" in rest:
            continue
        counts[name] = counts.get(name, 0) + 1
        # The save begins with the first file it creates; the open before only reads.
        started = started or (name == "openat" and "O_CREAT" in rest and str(work) in rest)
        if started and str(work) in rest:
            events.append((name, counts[name], rest.split(")", 1)[0]))
        # The save ends when it deletes the log; the vectors file is then only mapped again.
        if started and name == "unlink" and "wal.qorel" in rest:
            break
    shutil.rmtree(work)
    return events


@pytest.fixture
def logged(tmp_path):
    """A saved quantized database with changes in its log since, and the state they give."""
    base = tmp_path / "base"
    rng = np.random.default_rng(5)
    db = _qorel.Database(str(base), dim=4, m=4, quantize=True)
    db.add_many([f"v{i}" for i in range(30)], rng.standard_normal((30, 4)).astype(np.float32),
                [{"i": i} for i in range(30)])
    db.save()
    for i in range(0, 30, 4):
        db.delete(f"v{i}")
    db.upsert("v1", [1, 2, 3, 4], {"changed": True})
    db.add("new", [4, 3, 2, 1])
    # Every other row moved: more change than an increment takes, so the save rewrites every file.
    moved = [f"v{i}" for i in range(2, 30, 2) if i % 4]
    db.upsert_many(moved, rng.standard_normal((len(moved), 4)).astype(np.float32), [{"moved": m} for m in moved])
    expected = snapshot(db)
    del db
    return base, expected


def test_failed_then_killed_save_keeps_the_database(logged, tmp_path):
    """The first save fails when it creates the quantized temporary file, after vectors.bin was
    replaced; a new process opens the database, compacts it and its save is killed right after
    it has written graph.tmp again. The graph that matches vectors.bin must survive both."""
    base, expected = logged
    events = save_events(base, tmp_path / "trace1", compact=False)
    tmp_opens = [n for name, n, args in events if name == "openat" and "vectors.tmp" in args]
    assert len(tmp_opens) == 2
    work = tmp_path / "db"
    shutil.copytree(base, work)
    assert run_child(work, False, inject=f"openat:error=ENOSPC:when={tmp_opens[1]}") != 0

    events = save_events(work, tmp_path / "trace2", compact=True)
    graph_closes = [n for name, n, args in events if name == "close" and "graph.tmp" in args]
    assert len(graph_closes) == 1
    assert run_child(work, True, inject=f"close:signal=KILL:when={graph_closes[0]}") != 0
    db = _qorel.Database(str(work))
    assert snapshot(db) == expected
    assert not (work / "graph.tmp").exists()


@pytest.mark.parametrize("compact", [False, True])
def test_interrupted_at_every_call_then_again(logged, tmp_path, compact):
    """Each system call of the save in turn is killed (or fails), then the next process's save
    fails (or is killed) at another call; the database reopens to the same contents."""
    base, expected = logged
    events = save_events(base, tmp_path / "trace", compact)
    assert len(events) >= 20
    for k, (name, n, _) in enumerate(events):
        work = tmp_path / f"run{k}"
        shutil.copytree(base, work)
        first, second = ("signal=KILL", "error=EIO") if k % 2 == 0 else ("error=ENOSPC", "signal=KILL")
        assert run_child(work, compact, inject=f"{name}:{first}:when={n}") != 0, events[k]
        other_name, other_n, _ = events[(k * 7 + 3) % len(events)]
        run_child(work, compact, inject=f"{other_name}:{second}:when={other_n}")
        db = _qorel.Database(str(work))
        assert snapshot(db) == expected, (events[k], events[(k * 7 + 3) % len(events)])
        del db
        shutil.rmtree(work)


def test_equal_lengths_and_norms_do_not_pair_another_saves_graph(tmp_path):
    """After a compaction the new vectors.bin can have the length and the norms of the old one
    (unit vectors, as many as before). A save stopped between its renames must still be
    recovered from the graph that was written with those vectors."""
    base = tmp_path / "base"
    unit = np.eye(4, dtype=np.float32)
    db = _qorel.Database(str(base), dim=4)
    db.add_many(["a", "b", "c", "d"], unit, [{"id": x} for x in "abcd"])
    db.save()
    db.delete("a")
    db.add("e", [0.6, 0.8, 0, 0], {"id": "e"})
    db.compact()
    expected = snapshot(db)
    del db
    old = {p.name: p.read_bytes() for p in base.iterdir()}
    done = tmp_path / "done"
    shutil.copytree(base, done)
    db = _qorel.Database(str(done))
    db.compact()
    db.save()
    del db
    new = {p.name: p.read_bytes() for p in done.iterdir()}
    assert len(new["vectors.bin"]) == len(old["vectors.bin"])
    assert new["vectors.bin"] != old["vectors.bin"]

    crashed = tmp_path / "crashed"
    crashed.mkdir()
    for name, data in [("graph.qorel", old["graph.qorel"]), ("graph.tmp", new["graph.qorel"]),
                       ("vectors.bin", new["vectors.bin"]), ("wal.qorel", old["wal.qorel"])]:
        (crashed / name).write_bytes(data)
    db = _qorel.Database(str(crashed))
    assert snapshot(db) == expected
    assert db.get("b") == ([0.0, 1.0, 0.0, 0.0], {"id": "b"})
    assert (crashed / "graph.qorel").read_bytes() == new["graph.qorel"]


def test_nothing_is_read_or_changed_before_the_lock(tmp_path):
    """A directory whose first save stopped between its renames, without a lock file yet (a
    copy, say): opening it settles graph.tmp into place, which must wait for the directory's
    lock, since another process may hold it and be opening or saving the same files."""
    work = tmp_path / "db"
    db = _qorel.Database(str(work), dim=2)
    db.add("a", [1, 2])
    db.save()
    del db
    (work / "graph.qorel").rename(work / "graph.tmp")
    (work / "qorel.lock").unlink()
    trace = tmp_path / "trace"
    assert run_child(work, False, trace=trace) == 0
    calls = [line.split(None, 1)[1] for line in trace.read_text().splitlines() if str(work) in line]
    locked = next(i for i, call in enumerate(calls) if call.startswith("flock("))
    assert all("qorel.lock" in call for call in calls[:locked]), calls[:locked]
    assert _qorel.Database(str(work)).get("a")[0] == [1, 2]


class TestOpenErrors:
    """Only a directory without data files asks for a dimension; every other failure to open
    says what it is."""

    @pytest.fixture
    def saved(self, db_path):
        db = _qorel.Database(db_path, dim=3)
        db.add_many(["a", "b"], [[1, 2, 3], [4, 5, 6]])
        db.save()
        return pathlib.Path(db_path)

    def error(self, path):
        with pytest.raises(ValueError) as e:
            _qorel.Database(str(path))
        return str(e.value)

    def test_missing_files_ask_for_a_dimension(self, saved, db_path):
        assert self.error(pathlib.Path(db_path) / "elsewhere") == NOT_FOUND
        # The temporary files of a first save stopped before its renames, and the log that still
        # holds its changes, are not a stored database either.
        (saved / "graph.qorel").rename(saved / "graph.tmp")
        (saved / "vectors.bin").rename(saved / "vectors.tmp")
        _qorel.Database(str(saved), dim=3).add("x", [1, 1, 1])
        assert self.error(saved) == NOT_FOUND
        (saved / "graph.tmp").unlink()
        assert self.error(saved) == NOT_FOUND
        assert _qorel.Database(str(saved), dim=3).get("x")[0] == [1, 1, 1]

    @pytest.mark.parametrize("dim", [None, 3])
    @pytest.mark.parametrize("left, missing", [
        ({"graph.qorel": "graph.qorel"}, "vectors.bin"),
        ({"vectors.bin": "vectors.bin"}, "graph.qorel"),
        ({"graph.tmp": "graph.qorel"}, "vectors.bin"),
        # A graph.tmp of another save does not stand in for graph.qorel.
        ({"vectors.bin": "vectors.bin", "graph.tmp": "earlier graph"}, "graph.qorel"),
    ])
    def test_a_lost_data_file_is_never_replaced_by_a_new_database(self, saved, left, missing, dim):
        earlier = (saved / "graph.qorel").read_bytes()
        db = _qorel.Database(str(saved))
        db.add("c", [7, 8, 9])
        db.save()
        del db
        files = {p.name: p.read_bytes() for p in saved.iterdir()}
        files["earlier graph"] = earlier
        shutil.rmtree(saved)
        saved.mkdir()
        for name, source in left.items():
            (saved / name).write_bytes(files[source])
        with pytest.raises(ValueError) as e:
            _qorel.Database(str(saved), dim=dim)
        assert missing in str(e.value) and str(e.value) != NOT_FOUND
        assert {p.name: p.read_bytes() for p in saved.iterdir() if p.name != "qorel.lock"} == {
            name: files[source] for name, source in left.items()}

    def test_damaged_and_unreachable_files_say_so(self, saved):
        graph = saved / "graph.qorel"
        good = graph.read_bytes()
        graph.write_bytes(b"XXXX" + good[4:])
        assert self.error(saved) == "io error: bad graph magic"
        # One byte of m: refused as damaged, nothing allocated for it.
        graph.write_bytes(good[:14] + b"\xff" + good[15:])
        assert self.error(saved) == "io error: graph checksum mismatch (the file is damaged)"
        graph.write_bytes(good)
        (saved / "vectors.bin").write_bytes(b"\0" * 32)
        assert self.error(saved) == "io error: vectors.bin does not belong to graph.qorel (a save was interrupted)"
        # A file that is there but cannot be looked at is not a missing one.
        graph.unlink()
        graph.symlink_to(graph)
        assert self.error(saved).startswith("io error: Too many levels of symbolic links")
