"""Kills and I/O failures at every file-system call of a save (full and incremental), of a
compaction plus save and of a batch write, and runs of interrupted saves one after another.

A child process applies a list of operations to a database directory and reports each one it
completed. One operation runs inside a fault window of tests/faults/fault_shim.c (preloaded into
the child): the N-th call that changes a file either kills the child or fails. The directory is
then reopened here and compared with a model: every acknowledged change is present, a call that
raised left nothing behind, a call that was killed is either wholly present or wholly absent,
and the directory always opens.
"""

import gc
import json
import os
import pathlib
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import _qorel

DIM = 8
SHIM_SOURCE = pathlib.Path(__file__).resolve().parents[1] / "faults" / "fault_shim.c"
COUNT, KILL, FAIL = 0, 1, 2
# Cases are independent directories; two children at a time keep both processors busy.
WORKERS = 2

CHILD = r"""
import ctypes, json, sys
import _qorel

plan = json.loads(sys.argv[1])
lib = ctypes.CDLL(None)
lib.qorel_fault_arm.argtypes = [ctypes.c_long, ctypes.c_int]
lib.qorel_fault_disarm.restype = ctypes.c_long
db = _qorel.Database(plan["path"], **plan["open"])

def run(op):
    kind, args = op[0], op[1:]
    if kind == "compact_save":
        db.compact()
        db.save()
    else:
        getattr(db, kind)(*args)

for i, op in enumerate(plan["ops"]):
    faulty = i == plan["fault_op"]
    if faulty:
        lib.qorel_fault_arm(plan["fault_at"], plan["mode"])
    error = None
    try:
        run(op)
    except Exception as e:
        error = e
    calls = lib.qorel_fault_disarm() if faulty else 0
    print(json.dumps({"op": i, "ok": error is None, "calls": calls, "error": repr(error)}), flush=True)
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    assert cc, "a C compiler is needed to build the fault-injection library"
    out = tmp_path_factory.mktemp("shim") / "fault_shim.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", str(out), str(SHIM_SOURCE), "-ldl"], check=True)
    return str(out)


def vec(key, k=0):
    """A vector every component of which float32 holds exactly."""
    return [float((key * 3 + j * 5) % 7) - 3.0 + 0.25 * k for j in range(DIM)]


def apply(model, op):
    """The change an operation makes to the model; saves and compactions change nothing."""
    kind, args = op[0], op[1:]
    model = dict(model)
    if kind in ("upsert", "add"):
        model[args[0]] = (args[1], args[2])
    elif kind in ("upsert_many", "add_many"):
        for i, v, m in zip(*args):
            model[i] = (v, m)
    elif kind == "delete":
        model.pop(args[0], None)
    elif kind == "delete_many":
        for i in args[0]:
            model.pop(i, None)
    elif kind == "update":
        old = model[args[0]]
        model[args[0]] = (args[1] if args[1] is not None else old[0], args[2] if args[2] is not None else old[1])
    return model


def state(path):
    """The reopened directory as {id: (vector, metadata)}; the handle is gone on return."""
    db = _qorel.Database(path)
    try:
        return {i: tuple(db.get(i)) for i in db.ids()}
    finally:
        del db
        gc.collect()


def run_child(shim, path, ops, fault_op, fault_at, mode, open_args=None):
    env = dict(os.environ)
    # Keep a sanitizer runtime that is already preloaded first in line.
    env["LD_PRELOAD"] = " ".join(p for p in (env.get("LD_PRELOAD", ""), shim) if p)
    plan = {"path": path, "open": open_args or {}, "ops": ops, "fault_op": fault_op, "fault_at": fault_at, "mode": mode}
    proc = subprocess.run([sys.executable, "-c", CHILD, json.dumps(plan)], env=env, capture_output=True, text=True)
    reports = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
    if mode == KILL and proc.returncode == -9:
        return reports, True
    assert proc.returncode == 0, f"child failed ({proc.returncode}): {proc.stderr[-2000:]}"
    assert len(reports) == len(ops), proc.stdout
    return reports, False


def check_outcome(shim, path, model, ops, fault_op, fault_at, mode, open_args=None):
    """Runs one case and returns (problem or None, model of the state after it)."""
    reports, killed = run_child(shim, path, ops, fault_op, fault_at, mode, open_args)
    acknowledged = dict(model)
    for r in reports:
        if r["ok"]:
            acknowledged = apply(acknowledged, ops[r["op"]])
    # A killed call may have completed on disk before the signal: both outcomes are sound.
    candidates = [acknowledged]
    if killed and len(reports) < len(ops):
        candidates.append(apply(acknowledged, ops[len(reports)]))
    try:
        got = state(path)
    except Exception as e:  # the database must always open
        return f"does not open: {e!r}", acknowledged
    for want in candidates:
        if got == want:
            return None, want
    missing = sorted(set(acknowledged) - set(got))[:5]
    extra = sorted(set(got) - set(acknowledged))[:5]
    changed = sorted(i for i in set(got) & set(acknowledged) if got[i] != acknowledged[i])[:5]
    return f"reopened state differs: missing {missing}, unexpected {extra}, changed {changed}", acknowledged


def make_base(path, quantize, n=40):
    """A saved database with a few changes in its log, and its model."""
    db = _qorel.Database(path, dim=DIM, metric="l2", m=8, ef_construction=32, quantize=quantize)
    ids = [f"v{i}" for i in range(n)]
    metas = [{"i": i} if i % 3 else None for i in range(n)]
    db.add_many(ids, [vec(i) for i in range(n)], metas)
    db.save()
    model = {i: (vec(k), m) for k, (i, m) in enumerate(zip(ids, metas))}
    for op in (("upsert", "v1", vec(1, 2), {"logged": True}), ("delete", "v2"), ("upsert", "w0", vec(50), None)):
        getattr(db, op[0])(*op[1:])
        model = apply(model, op)
    del db
    gc.collect()
    return model


def calls_of(shim, template, tmp, ops, fault_op, open_args=None):
    """How many counted calls the fault window sees when nothing fails."""
    work = str(tmp / "count")
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(template, work)
    reports, _ = run_child(shim, work, ops, fault_op, 0, COUNT, open_args)
    assert all(r["ok"] for r in reports)
    return reports[fault_op]["calls"]


def sweep(shim, tmp, template, model, ops, fault_op, modes=(KILL, FAIL)):
    """Every call of the window, in each mode, each from a fresh copy of the template."""
    total = calls_of(shim, template, tmp, ops, fault_op)
    assert total >= 1, "the fault window saw no file-system call: is the library preloaded?"

    def case(at_mode):
        at, mode = at_mode
        work = str(tmp / f"case-{at}-{mode}")
        shutil.copytree(template, work)
        problem, _ = check_outcome(shim, work, model, ops, fault_op, at, mode)
        shutil.rmtree(work)
        return f"{'kill' if mode == KILL else 'fail'} at call {at}/{total}: {problem}" if problem else None

    with ThreadPoolExecutor(WORKERS) as pool:
        results = pool.map(case, [(at, mode) for at in range(1, total + 1) for mode in modes])
        return [r for r in results if r]


@pytest.mark.parametrize("quantize", [False, True], ids=["plain", "quantized"])
def test_every_call_of_save(shim, tmp_path, quantize):
    template = str(tmp_path / "template")
    model = make_base(template, quantize)
    ops = [["upsert", "x", vec(60), {"x": 1}], ["save"], ["upsert", "y", vec(61), None], ["delete", "v5"]]
    problems = sweep(shim, tmp_path, template, model, ops, 1)
    assert not problems, "\n".join(problems)


def test_every_call_of_a_save_that_writes_the_text_settings(shim, tmp_path):
    template = str(tmp_path / "template")
    model = make_base(template, False)
    ops = [["enable_text_index", "x"], ["save"], ["upsert", "y", vec(61), {"x": "words"}], ["save"]]
    problems = sweep(shim, tmp_path, template, model, ops, 1)
    assert not problems, "\n".join(problems)


@pytest.mark.parametrize("quantize", [False, True], ids=["plain", "quantized"])
def test_every_call_of_compact_then_save(shim, tmp_path, quantize):
    template = str(tmp_path / "template")
    model = make_base(template, quantize)
    ops = [["delete_many", [f"v{i}" for i in range(0, 40, 2)]], ["compact_save"], ["upsert", "v4", vec(70), {"after": 1}]]
    problems = sweep(shim, tmp_path, template, model, ops, 1)
    assert not problems, "\n".join(problems)


@pytest.mark.parametrize("quantize", [False, True], ids=["plain", "quantized"])
def test_every_call_of_an_incremental_save(shim, tmp_path, quantize):
    """A save that appends a second segment to graph.delta (and rows to vectors.bin) after an
    add, a re-vectored row, a metadata change and a deletion."""
    template = str(tmp_path / "template")
    model = make_base(template, quantize)
    ops = [
        ["upsert", "x", vec(60), {"x": 1}],
        ["save"],
        ["upsert", "v6", vec(6, 3), None],
        ["update", "v7", None, {"m": 7}],
        ["delete", "v8"],
        ["add", "y", vec(61), {"y": 1}],
        ["save"],
        ["upsert", "z", vec(62), None],
    ]
    problems = sweep(shim, tmp_path, template, model, ops, 6)
    assert not problems, "\n".join(problems)


def batch_case(tmp_path, kind):
    """The template, its model, the operations and which of them is the batch under test."""
    template = str(tmp_path / "template")
    model = make_base(template, False)
    # Long ids, so that even a batch of deletions takes several writes of the log writer's buffer.
    ids = [f"b{i}-" + "i" * 80 for i in range(120)]
    rows = [[vec(i, 1) for i in range(len(ids))], [{"b": i, "pad": "p" * 40} for i in range(len(ids))]]
    after = ["upsert", "after", vec(80), None]
    if kind == "delete_many":
        return template, model, [["add_many", ids, *rows], [kind, ids[::-1] + ["v3", "absent"]], after], 1
    if kind == "upsert_many":  # over stored ids too
        ids += ["v3", "v7", "w0"]
        rows = [r + r[:3] for r in rows]
    return template, model, [[kind, ids, *rows], after], 0


BATCH_KINDS = ["upsert_many", "add_many", "delete_many"]


@pytest.mark.parametrize("kind", BATCH_KINDS)
def test_a_batch_write_that_failed_leaves_no_trace(shim, tmp_path, kind):
    template, model, ops, batch = batch_case(tmp_path, kind)
    problems = sweep(shim, tmp_path, template, model, ops, batch, modes=(FAIL,))
    assert not problems, "\n".join(problems)


@pytest.mark.parametrize("kind", BATCH_KINDS)
def test_a_killed_batch_write_is_all_or_nothing(shim, tmp_path, kind):
    template, model, ops, batch = batch_case(tmp_path, kind)
    problems = sweep(shim, tmp_path, template, model, ops, batch, modes=(KILL,))
    assert not problems, "\n".join(problems)


@pytest.mark.parametrize("quantize", [False, True], ids=["plain", "quantized"])
def test_interrupted_saves_in_a_row(shim, tmp_path, quantize):
    """Three saves in a row, each stopped at some call and reopened in between; some rounds
    compact first. Each round starts where the previous one left the directory. Across the
    runs every call is once the stopping point of the first save, and the later saves stop at
    calls spread over the whole save."""
    template = str(tmp_path / "template")
    base = make_base(template, quantize)
    plain_ops = [["upsert", "r", vec(90), None], ["save"], ["upsert", "s", vec(91), None]]
    total = calls_of(shim, template, tmp_path, plain_ops, 1)

    def run(first):
        work = str(tmp_path / f"run-{first}")
        shutil.copytree(template, work)
        model = base
        for round_ in range(3):
            # Each round stops at a call that walks through all positions in its own order.
            at = [first, (first * 7) % total + 1, (first * 3 + 5) % total + 1][round_]
            mode = (KILL, FAIL)[(first + round_) % 2]
            save = ["compact_save"] if (first + round_) % 3 == 0 else ["save"]
            ops = [
                ["upsert", f"r{round_}", vec(90 + round_), {"round": round_}],
                ["delete", f"v{10 + first % 20 + round_}"],
                save,
                ["upsert", f"s{round_}", vec(95 + round_), None],
            ]
            problem, model = check_outcome(shim, work, model, ops, 2, at, mode)
            if problem:
                return f"run {first}, round {round_} ({'kill' if mode == KILL else 'fail'} at {at}): {problem}"
        # Finally a save that completes keeps exactly that state.
        problem, _ = check_outcome(shim, work, model, [["save"]], 0, 0, COUNT)
        shutil.rmtree(work)
        return f"run {first}, final save: {problem}" if problem else None

    with ThreadPoolExecutor(WORKERS) as pool:
        problems = [p for p in pool.map(run, range(1, total + 1)) if p]
    assert not problems, "\n".join(problems)
