"""Handles on one directory: shared within a process, exclusive across processes, and any
number of read-only readers beside the one writer."""

import multiprocessing
import os
import subprocess
import sys
import textwrap
import threading
import traceback

import pytest

import _qorel

IN_USE = "is in use by another process"
NOT_FOUND = "database not found \u2014 specify dim to create a new one"

# Opens the directory given as argv[1] (with a dimension when argv[2] is given), says "ready" and
# keeps the database open until its standard input closes.
HOLDER = textwrap.dedent("""
    import sys, _qorel
    db = _qorel.Database(sys.argv[1], dim=int(sys.argv[2])) if len(sys.argv) > 2 else _qorel.Database(sys.argv[1])
    db.upsert("from-child", [1.0, 1.0])
    print("ready", flush=True)
    sys.stdin.read()
""")


def start_holder(path, *args):
    proc = subprocess.Popen([sys.executable, "-c", HOLDER, path, *map(str, args)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    line = proc.stdout.readline().strip()
    assert line == b"ready", proc.stderr.read().decode()
    return proc


def stop(proc):
    proc.stdin.close()
    assert proc.wait() == 0


class TestOneProcess:
    def test_writes_through_any_handle_survive_the_others_save(self, db_path):
        a = _qorel.Database(db_path, dim=2)
        b = _qorel.Database(db_path, dim=2)
        b.add("b1", [1, 0])
        a.add("a1", [0, 1])
        a.save()
        # Before, this went to the log a's save had just deleted, and was lost.
        b.add("b2", [1, 1])
        assert sorted(a.ids()) == sorted(b.ids()) == ["a1", "b1", "b2"]
        del a, b
        assert sorted(_qorel.Database(db_path).ids()) == ["a1", "b1", "b2"]

    def test_rebinding_and_other_spellings_reach_the_same_database(self, db_path, tmp_path):
        db = _qorel.Database(db_path, dim=2)
        db.add("x", [1, 2], {"n": 1})
        db.save()
        # The old handle is still alive while the new one opens.
        db = _qorel.Database(db_path)
        db = _qorel.Database(db_path + "/")
        os.symlink(db_path, tmp_path / "alias")
        alias = _qorel.Database(str(tmp_path / "alias"), dim=9, metric="dot", quantize=True)
        # An open database keeps its configuration, as a stored one does on reopening.
        assert (alias.dim, alias.metric) == (2, "cosine")
        alias.update("x", metadata={"n": 2})
        assert db.get("x")[1] == {"n": 2}
        assert os.listdir(db_path).count("qorel.lock") == 1

    def test_opening_without_dim_still_needs_a_saved_database(self, db_path):
        db = _qorel.Database(db_path, dim=2)
        db.add("x", [1, 2])
        # The open handle does not change what opening without a dimension means.
        with pytest.raises(ValueError, match=NOT_FOUND):
            _qorel.Database(db_path)
        db.save()
        assert "x" in _qorel.Database(db_path)

    def test_threads_opening_and_dropping_handles(self, db_path):
        _qorel.Database(db_path, dim=2).save()
        errors = []

        def worker(n):
            try:
                for i in range(30):
                    db = _qorel.Database(db_path) if i % 2 else _qorel.Database(db_path, dim=2)
                    db.upsert(f"{n}-{i}", [n, i + 1])
                    del db
            except Exception as e:  # collected for the assertion below
                errors.append(e)

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert len(_qorel.Database(db_path)) == 120


class TestTwoProcesses:
    def test_the_directory_belongs_to_one_process_at_a_time(self, db_path):
        holder = start_holder(db_path, 2)
        with pytest.raises(_qorel.DatabaseInUseError, match=IN_USE) as e:
            _qorel.Database(db_path, dim=2)
        assert os.path.realpath(db_path) in str(e.value)
        with pytest.raises(ValueError, match=IN_USE):
            _qorel.Database(db_path)
        stop(holder)
        # Released when the holder ended: its logged change is replayed here.
        db = _qorel.Database(db_path, dim=2)
        assert "from-child" in db
        db.save()
        # And the other way round: held here until the last handle is dropped.
        other = _qorel.Database(db_path)
        del db
        proc = subprocess.run([sys.executable, "-c", HOLDER, db_path], input=b"", capture_output=True)
        assert proc.returncode != 0 and IN_USE in proc.stderr.decode()
        del other
        stop(start_holder(db_path))


# ---- readers in other processes. The writer moves every base id to the next generation in one
# batch, then adds that generation's extra id and deletes the previous one; a reader must always
# see one generation on every base id, and extras that fit it.
BASE = 30


def base_vector(j, g):
    return [float(g), float(j), 1.0, 0.0]


def one_state(db):
    """The generation a reader's database shows, after checking that it shows only one."""
    hits = db.search([0.0, 0.0, 0.0, 0.0], k=BASE + 10)
    generations = {h.metadata["g"] for h in hits if h.id.startswith("b")}
    assert len(generations) == 1, generations
    g = generations.pop()
    extras = {h.id for h in hits if h.id.startswith("x")}
    assert extras in ({f"x{g - 1}"}, {f"x{g - 1}", f"x{g}"}, {f"x{g}"}), (g, extras)
    assert len(hits) == len(db) == BASE + len(extras)
    assert db.count({"g": g}) == BASE + (f"x{g}" in extras)
    assert db.get("b7")[0] == base_vector(7, g)
    return g


def reader_process(path, ready, stop, out):
    try:
        db = _qorel.Database(path, read_only=True)
        one_state(db)
        ready.release()
        seen, rounds = 0, 0
        while True:
            last = stop.is_set()
            # Mostly refresh(); now and then a fresh open, which takes the same path.
            if rounds % 4 == 3:
                db = _qorel.Database(path, read_only=True)
            else:
                db.refresh()
            g = one_state(db)
            assert g >= seen, (g, seen)
            seen, rounds = g, rounds + 1
            if last:
                break
        out.put((seen, len(db), rounds))
    except BaseException:
        out.put(traceback.format_exc())
        ready.release()


class TestReaders:
    def test_a_reader_changes_nothing_and_refuses_changes(self, db_path):
        with pytest.raises(_qorel.DatabaseNotFoundError):
            _qorel.Database(db_path, read_only=True)
        assert not os.path.exists(db_path)
        writer = _qorel.Database(db_path, dim=2)
        writer.add("a", [1, 2], {"n": 1})
        writer.save()
        writer.add("b", [3, 4])
        files = {name: os.stat(os.path.join(db_path, name)).st_mtime_ns for name in os.listdir(db_path)}
        reader = _qorel.Database(db_path, read_only=True)
        assert reader.read_only and not writer.read_only
        assert sorted(reader.ids()) == ["a", "b"] and reader.get("a") == ([1.0, 2.0], {"n": 1})
        changes = [
            lambda: reader.add("c", [1, 1]), lambda: reader.upsert("a", [1, 1]), lambda: reader.update("a", [1, 1]),
            lambda: reader.delete("a"), lambda: reader.add_many(["c"], [[1, 1]]), lambda: reader.delete_many(["a"]),
            lambda: reader.upsert_many(["a"], [[1, 1]]), reader.save, reader.compact,
            reader.enable_quantized_search, reader.disable_quantized_search,
        ]
        for change in changes:
            with pytest.raises(_qorel.ReadOnlyError):
                change()
        with reader:
            pass  # leaving the block saves nothing
        assert {name: os.stat(os.path.join(db_path, name)).st_mtime_ns for name in os.listdir(db_path)} == files
        # The reader's state stays its own until refresh(); the writer's refresh() does nothing.
        writer.delete("a")
        writer.refresh()
        assert "a" in reader and "a" not in writer
        reader.refresh()
        assert reader.ids() == ["b"]

    def test_readers_in_other_processes_see_one_state_at_a_time(self, db_path):
        writer = _qorel.Database(db_path, dim=4, metric="euclidean")
        ids = [f"b{j}" for j in range(BASE)]

        def write_generation(g):
            writer.upsert_many(ids, [base_vector(j, g) for j in range(BASE)], [{"g": g}] * BASE)
            if g:
                writer.add(f"x{g}", [0.5, 0.5, 0.5, float(g)], {"g": g})
                writer.delete(f"x{g - 1}")

        write_generation(0)
        writer.add("x0", [0.5, 0.5, 0.5, 0.0], {"g": 0})
        writer.save()
        ctx = multiprocessing.get_context("spawn")
        ready, stop, out = ctx.Semaphore(0), ctx.Event(), ctx.Queue()
        readers = [ctx.Process(target=reader_process, args=(db_path, ready, stop, out)) for _ in range(4)]
        for p in readers:
            p.start()
        try:
            for _ in readers:
                assert ready.acquire(timeout=60)
            last = 151
            for g in range(1, last + 1):
                write_generation(g)
                if g % 5 == 0:
                    writer.compact()
                if g % 2 == 0:
                    writer.save()  # the last generation stays in the log
            stop.set()
            reports = [out.get(timeout=60) for _ in readers]
        finally:
            stop.set()
            for p in readers:
                p.join(timeout=60)
        for report in reports:
            assert isinstance(report, tuple), report
            seen, length, rounds = report
            assert (seen, length) == (last, BASE + 1)
            assert rounds > 1


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_reads_its_copy_but_leaves_the_files_alone(db_path):
    db = _qorel.Database(db_path, dim=2)
    db.add("x", [1, 2])
    db.save()
    child_done, child_says = os.pipe()
    parent_done, parent_says = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            if db.get("x")[0] != [1.0, 2.0]:
                code |= 1
            for write in (lambda: db.add("y", [3, 4]), db.save, lambda: db.delete("x")):
                try:
                    write()
                    code |= 2
                except ValueError as e:
                    if "parent process" not in str(e):
                        code |= 4
            try:
                _qorel.Database(db_path)
                code |= 8
            except ValueError as e:
                if IN_USE not in str(e):
                    code |= 16
            os.write(child_says, b"x")
            # Alive until the parent has let go and claimed the directory again.
            os.read(parent_done, 1)
        finally:
            os._exit(code)
    os.read(child_done, 1)
    del db
    # The child, still alive, holds no claim on the directory.
    reopened = _qorel.Database(db_path)
    reopened.add("z", [5, 6])
    os.write(parent_says, b"x")
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    for fd in (child_done, child_says, parent_done, parent_says):
        os.close(fd)
    assert sorted(reopened.ids()) == ["x", "z"]


class TestStrings:
    def test_an_id_without_a_utf8_form_is_refused_clearly(self, db_path):
        db = _qorel.Database(db_path, dim=2)
        bad = "a\ud800"
        calls = [
            lambda: db.add(bad, [1, 2]),
            lambda: db.upsert(bad, [1, 2]),
            lambda: db.update(bad, [1, 2]),
            lambda: db.get(bad),
            lambda: db.delete(bad),
            lambda: bad in db,
        ]
        for call in calls:
            with pytest.raises(ValueError, match="argument 'id': .*surrogates not allowed"):
                call()
        for call in (lambda: db.add_many(["ok", bad], [[1, 2], [3, 4]]), lambda: db.delete_many([bad])):
            with pytest.raises(ValueError, match="argument 'ids': .*surrogates not allowed"):
                call()
        assert len(db) == 0

    def test_metadata_and_filters_without_a_utf8_form_are_refused(self, db_path):
        db = _qorel.Database(db_path, dim=2)
        db.add("a", [1, 2], {"k": "v"})
        with pytest.raises(ValueError, match="invalid metadata"):
            db.add("b", [1, 2], {"\udc80": 1})
        with pytest.raises(ValueError, match="invalid metadata"):
            db.add("b", [1, 2], {"k": "\udc80"})
        for where in ({"\udc80": "v"}, {"k": "\udc80"}, {"k": {"$in": ["v", "\udc80"]}}):
            with pytest.raises(ValueError, match="surrogates not allowed"):
                db.count(where)
        assert db.ids() == ["a"]

    def test_a_path_that_cannot_be_a_directory_name_creates_nothing(self, tmp_path):
        with pytest.raises(ValueError, match="argument 'path': embedded null character"):
            _qorel.Database(str(tmp_path / "db\0tail"), dim=2)
        with pytest.raises(ValueError, match="argument 'path': embedded null character"):
            _qorel.Database(str(tmp_path / "db\0tail"))
        with pytest.raises(ValueError, match="argument 'path': .*surrogates not allowed"):
            _qorel.Database(str(tmp_path / "db\ud800"), dim=2)
        assert os.listdir(tmp_path) == []
        # A name that is not UTF-8 comes from the file system as lone surrogates, and names the
        # same directory when given back.
        name = os.fsdecode(b"db\xff")
        _qorel.Database(str(tmp_path / name), dim=2).save()
        assert os.listdir(bytes(tmp_path)) == [b"db\xff"]
        assert len(_qorel.Database(str(tmp_path / name))) == 0
