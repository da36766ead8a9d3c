"""Concurrent writers: what the log replays must be what memory holds, id by id."""

import json
import subprocess
import sys
import textwrap

import _qorel

# Each round, writers on a few shared ids queue behind a compaction (and every other round a
# save) and race once it lets them go. After the round the child records its live state and
# copies the directory, as a crash at that moment would leave it; the parent reopens each copy.
WRITERS = textwrap.dedent(
    """
    import json, random, shutil, sys, threading, _qorel
    path, out, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
    db = _qorel.Database(path, dim=4)
    db.add_many([f"f{i}" for i in range(4000)], [[float(i), 1.0, 0.0, 0.5] for i in range(4000)])
    db.save()
    hot = ["a", "b", "c"]

    def writer(seed):
        rnd = random.Random(seed)
        for step in range(2):
            key = rnd.choice(hot)
            # The metadata names the writer and step that its vector carries.
            vec = [float(seed), float(step), 0.5, 1.0]
            tag = {"w": seed, "s": step}
            r = rnd.random()
            if r < 0.35:
                db.upsert(key, vec, tag)
            elif r < 0.5:
                db.upsert_many([key, rnd.choice(hot)], [vec, [float(step), float(seed), 2.0, 1.0]], [tag, tag])
            elif r < 0.7:
                try:
                    db.update(key, vector=vec, metadata=tag)
                except ValueError:
                    pass  # deleted meanwhile
            elif r < 0.9:
                db.delete(key)
            else:
                db.delete_many([key, rnd.choice(hot)])

    states = []
    for round in range(rounds):
        db.add_many([f"d{i}" for i in range(50)], [[0.0, float(i), 1.0, 0.0] for i in range(50)])
        db.delete_many([f"d{i}" for i in range(50)])  # something for the compaction to drop
        maintainer = threading.Thread(target=lambda: (db.compact(), round % 2 and db.save()))
        maintainer.start()
        ws = [threading.Thread(target=writer, args=(round * 100 + s,)) for s in range(1, 7)]
        for t in ws:
            t.start()
        for t in ws + [maintainer]:
            t.join()
        states.append({i: db.get(i) for i in db.ids()})
        shutil.copytree(path, f"{out}/round{round}")
    with open(f"{out}/live.json", "w") as f:
        json.dump(states, f)
    """
)


def test_reopen_after_concurrent_writers_matches_memory(tmp_path):
    path = str(tmp_path / "db")
    out = tmp_path / "out"
    out.mkdir()
    rounds = 12
    subprocess.run([sys.executable, "-c", WRITERS, path, str(out), str(rounds)], check=True, timeout=600)
    states = json.loads((out / "live.json").read_text())
    for round, live in enumerate(states):
        reopened = _qorel.Database(str(out / f"round{round}"))
        assert sorted(reopened.ids()) == sorted(live), round
        for key, (vector, metadata) in live.items():
            assert reopened.get(key) == (vector, metadata), (round, key)
            if key in ("a", "b", "c"):
                w, s = float(metadata["w"]), float(metadata["s"])
                assert vector in ([w, s, 0.5, 1.0], [s, w, 2.0, 1.0]), (round, key)
