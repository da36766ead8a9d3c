"""List-valued metadata in graph mode: `$contains` on a tag list beside an equality filter on a
scalar field that matches the very same rows (1 % and 0.01 % of them), plus an `$or` of two
tags and a `$not_contains`: recall@10 against an exact search over the matching rows, hits
returned, and queries per second one at a time and in batches, beside an unfiltered search
(the ratios are processor time, as in filtered_bench.py).

    .venv/bin/python bench/contains_bench.py                  # 200,000 x 128 reference mixture
    .venv/bin/python bench/contains_bench.py --n 80000 --queries 200

Writes the figures to docs/bench/contains.json (--out to change).
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import dataset  # noqa: E402
from filtered_bench import BUCKETS, measure_filter, row_line, write_result  # noqa: E402

import qorel  # noqa: E402


def metadata(n, seed=7):
    """Per row a random bucket b in [0, BUCKETS): scalar fields b % 100 and b % 10000, and a list
    of three tags, two of them naming the same residues and one filler."""
    b = np.random.default_rng(seed).integers(0, BUCKETS, n)
    rows = [{"m100": int(x % 100), "m10000": int(x % 10000), "s100": f"a{x % 100}", "s10000": f"c{x % 10000}",
             "tags": [f"a{x % 100}", f"c{x % 10000}", f"f{i % 7}"]}
            for i, x in enumerate(b.tolist())]
    return rows, b


def filters(b):
    """(share label, name, where_filter, boolean mask of the matching rows)."""
    return [
        ("1%", "equality", {"m100": 0}, b % 100 == 0),
        ("1%", "equality str", {"s100": "a0"}, b % 100 == 0),
        ("1%", "contains", {"tags": {"$contains": "a0"}}, b % 100 == 0),
        ("0.01%", "equality", {"m10000": 0}, b % 10000 == 0),
        ("0.01%", "equality str", {"s10000": "c0"}, b % 10000 == 0),
        ("0.01%", "contains", {"tags": {"$contains": "c0"}}, b % 10000 == 0),
        ("2%", "or", {"$or": [{"tags": {"$contains": "a0"}}, {"tags": {"$contains": "a1"}}]}, b % 100 < 2),
        ("99%", "not_contains", {"tags": {"$not_contains": "a0"}}, b % 100 != 0),
    ]


def run(n, nq, k, ef, out_path):
    base, queries = dataset("reference", n, nq)
    rows, b = metadata(n)
    b2 = (base.astype(np.float64) ** 2).sum(1)
    db = qorel.Database(os.path.join(tempfile.mkdtemp(prefix="qorel_contains_"), "db"), dim=base.shape[1], metric="l2")
    t0 = time.perf_counter()
    db.add_many([str(i) for i in range(n)], base, rows)
    build = time.perf_counter() - t0
    assert not db.stats()["uses_brute_force"], "the benchmark needs graph mode: raise --n"
    print(f"{n} x {base.shape[1]}, {nq} queries, k={k}, ef_search={ef or 'default'}, build {build:.1f} s")
    print(f"{'share':>6} {'filter':>13} {'matches':>8} {'recall':>7} {'hits':>6} {'qps':>7} {'vs plain':>8} "
          f"{'many qps':>8} {'vs plain':>8} {'count':>6}")
    table = []
    for share, name, where, mask in filters(b):
        row = measure_filter(db, base, b2, queries, k, ef, share, name, where, mask)
        table.append(row)
        print(row_line(row, f"{share:>6}"))
    result = {"n": n, "dim": int(base.shape[1]), "queries": nq, "k": k, "ef_search": ef, "build_seconds": build,
              "filtered": table}
    return write_result(result, out_path)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--ef", type=int, default=None, help="ef_search (default: the database's default)")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "..", "docs", "bench", "contains.json"))
    args = ap.parse_args(argv)
    return run(args.n, args.queries, args.k, args.ef, os.path.normpath(args.out) if args.out else None)


if __name__ == "__main__":
    main()
