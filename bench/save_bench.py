"""What a save costs after a small change, beside a full save of the same database.

    .venv/bin/python bench/save_bench.py                      # 1,000,000 x 128, 1,000 added rows
    .venv/bin/python bench/save_bench.py --n 200000 --added 1000

N rows of the mixture set (bench/common.py) are added and saved: the full save, timed, and the
bytes of the files it wrote. Then --added new rows are added and saved again: the bytes that
save wrote (the growth of every data file, and the size of any file it replaced) and its time,
and each as a share of the full save. A last reopen checks that the database holds every row.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import dataset  # noqa: E402

import qorel  # noqa: E402

FILES = ("graph.qorel", "graph.delta", "vectors.bin", "vectors.sq8")


def files(path):
    """{name: (inode, size)} of the data files."""
    out = {}
    for name in FILES:
        p = os.path.join(path, name)
        if os.path.exists(p):
            st = os.stat(p)
            out[name] = (st.st_ino, st.st_size)
    return out


def written(before, after):
    """Bytes a save wrote: a replaced file whole, a file grown in place by its growth."""
    total = 0
    for name, (ino, size) in after.items():
        old = before.get(name)
        total += size if old is None or old[0] != ino else max(0, size - old[1])
    return total


def timed_save(db, path):
    before = files(path)
    start = time.perf_counter()
    db.save()
    took = time.perf_counter() - start
    return took, written(before, files(path))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--added", type=int, default=1_000)
    ap.add_argument("--quantize", action="store_true")
    ap.add_argument("--dir", default=None, help="where to build the database (default: a temporary directory)")
    args = ap.parse_args()

    root = args.dir or tempfile.mkdtemp(prefix="qorel_save_bench_")
    path = os.path.join(root, "db")
    shutil.rmtree(path, ignore_errors=True)
    try:
        data, _ = dataset("reference", args.n + args.added, 1, dim=args.dim)
        # No checkpoints: the saves measured are the two below, the first one full.
        db = qorel.Database(path, dim=args.dim, metric="l2", quantize=args.quantize, checkpoint=None)
        start = time.perf_counter()
        step = 100_000
        for at in range(0, args.n, step):
            end = min(args.n, at + step)
            db.add_many([f"r{i}" for i in range(at, end)], data[at:end])
        print(f"built {args.n} x {args.dim} in {time.perf_counter() - start:.1f} s", flush=True)

        full_s, full_bytes = timed_save(db, path)
        print(f"full save:        {full_s:8.3f} s  {full_bytes / 1e6:10.2f} MB")

        ids = [f"r{i}" for i in range(args.n, args.n + args.added)]
        db.add_many(ids, data[args.n:])
        inc_s, inc_bytes = timed_save(db, path)
        print(f"after {args.added} adds: {inc_s:8.3f} s  {inc_bytes / 1e6:10.2f} MB")
        print(f"ratio:            {inc_s / full_s:8.2%}    {inc_bytes / full_bytes:10.2%}  (time, bytes)")

        del db
        again = qorel.Database(path)
        assert len(again) == args.n + args.added, len(again)
        hit = again.search(data[args.n + args.added - 1], k=1)
        print(f"reopened: {len(again)} rows, nearest to the last added row: {hit[0].id}")
    finally:
        if args.dir is None:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
