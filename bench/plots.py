"""Draws the benchmark figures from docs/bench/results.json (or results_quick.json) into docs/:

    bench_recall_qps.png   recall@10 against queries/s, one query per call, per data set
    bench_summary.png      build time, memory added, batch queries/s and reopen per engine
    bench_filtered.png     filtered search against the share of matches: recall and the ratio of
                           queries/s to an unfiltered search, from docs/bench/filtered.json and
                           docs/bench/correlated.json (else the text the filtered benchmark
                           printed, docs/bench/filtered.txt)
"""

import argparse
import json
import os
import textwrap

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

COLOURS = {"qorel": "#c0392b", "hnswlib": "#2471a3", "faiss-hnsw": "#229954", "usearch": "#7d3c98",
           "faiss-flat": "#229954"}


def graph_sets(res):
    return [(k, v) for k, v in res["sets"].items() if k != "exact"]


def recall_qps(res, path):
    sets = graph_sets(res)
    fig, axes = plt.subplots(1, len(sets), figsize=(6 * len(sets), 4.5), squeeze=False)
    for ax, (name, s) in zip(axes[0], sets):
        for engine, r in s["results"].items():
            if "sweep" not in r:
                continue
            xs = [p["recall"] for p in r["sweep"]]
            ys = [p["qps"] for p in r["sweep"]]
            ax.plot(xs, ys, "o-", label=engine, color=COLOURS.get(engine))
            for p in r["sweep"]:
                if engine == "qorel":
                    ax.annotate(str(p["ef"]), (p["recall"], p["qps"]), fontsize=7, xytext=(3, 3),
                                textcoords="offset points")
        ax.set_yscale("log")
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries/s (one query per call, one thread)")
        title = s["title"] + ("; qorel scans exactly at this size" if s["results"].get("qorel", {}).get("exact_scan") else "")
        ax.set_title(textwrap.fill(title, 70), fontsize=8)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    fig.suptitle(f"recall against speed over ef (labels: qorel's ef){' - quick run' if res['quick'] else ''}",
                 fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def summary(res, path):
    sets = graph_sets(res)
    metrics = [("build_s", "build, s (2 threads)"), ("rss_added_mb", "resident memory added, MB"),
               ("batch_qps", f"batch queries/s, ef 40 (2 threads)"), ("reopen_first_query_ms", "reopen + first query, ms")]
    fig, axes = plt.subplots(len(sets), len(metrics) + 1, figsize=(3.2 * (len(metrics) + 1), 3 * len(sets)),
                             squeeze=False)
    for row, (name, s) in zip(axes, sets):
        engines = [e for e, r in s["results"].items() if "sweep" in r]
        for ax, (key, label) in zip(row, metrics):
            vals = [s["results"][e]["batch"]["qps"] if key == "batch_qps" else s["results"][e][key] for e in engines]
            ax.bar(engines, vals, color=[COLOURS.get(e) for e in engines])
            ax.set_title(f"{name}: {label}", fontsize=8)
            ax.tick_params(axis="x", labelsize=7, rotation=30)
        ax = row[-1]
        ex = res["sets"].get("exact", {}).get("results", {})
        if name == sets[0][0] and "batch_qps" in ex.get("qorel", {}) and "batch_qps" in ex.get("faiss-flat", {}):
            ax.bar(["qorel\nsearch_many", "faiss\nIndexFlatL2"], [ex["qorel"]["batch_qps"], ex["faiss-flat"]["batch_qps"]],
                   color=[COLOURS["qorel"], COLOURS["faiss-flat"]])
            ax.set_title("exact batch queries/s\n" + res["sets"]["exact"]["title"], fontsize=7)
            ax.tick_params(axis="x", labelsize=7)
        else:
            ax.axis("off")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def filtered(rows, correlated, path):
    """Recall@10 and queries/s (as a ratio to an unfiltered search at the same ef) against the
    share of matching rows, log scale, a line per kind of filter; the filters that follow the data
    beside them, for queries outside and inside the matching clusters."""
    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.5))
    kinds = sorted({r["filter"] for r in rows}, key=[r["filter"] for r in rows].index)
    series = [(kind, [r for r in rows if r["filter"] == kind], "o-") for kind in kinds]
    for side in ("outside", "inside"):
        pts = [r for r in (correlated or {}).get("filtered", []) if r["side"] == side]
        if pts:
            series.append((f"whole clusters, queries {side} ({correlated['rows']:,} rows)", pts, "s--"))
    for label, pts, style in series:
        pts = sorted(pts, key=lambda r: r["share"])
        xs = [r["share"] for r in pts]
        left.plot(xs, [r["recall"] for r in pts], style, label=label, markersize=4)
        right.plot(xs, [r["qps_ratio"] for r in pts], style, label=label, markersize=4)
    for ax, name in ((left, "recall@10"), (right, "queries/s, filtered / unfiltered at the same ef")):
        ax.set_xscale("log")
        ax.set_xlabel("share of rows the filter matches")
        ax.set_ylabel(name)
        ax.grid(True, which="both", alpha=0.3)
    right.set_yscale("log")
    right.axhline(1.0, color="black", linewidth=0.8)
    left.legend(fontsize=7)
    fig.suptitle("filtered search by the share of matching rows (one query per call)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def filtered_text(text, path):
    """The filtered benchmark's printed table, as it printed it, when it wrote no JSON."""
    lines = text.rstrip().splitlines()
    fig = plt.figure(figsize=(max(6, 0.075 * max(len(x) for x in lines)), 0.6 + 0.19 * len(lines)))
    fig.text(0.01, 0.99, "\n".join(lines), family="monospace", fontsize=8, va="top")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--results", default=None)
    ap.add_argument("--docs", default="docs")
    args = ap.parse_args()
    path = args.results
    if path is None:
        full = os.path.join(args.docs, "bench", "results.json")
        path = full if os.path.exists(full) else os.path.join(args.docs, "bench", "results_quick.json")
    res = json.load(open(path))
    recall_qps(res, os.path.join(args.docs, "bench_recall_qps.png"))
    summary(res, os.path.join(args.docs, "bench_summary.png"))
    fpath = os.path.join(args.docs, "bench", "filtered.json")
    tpath = os.path.join(args.docs, "bench", "filtered.txt")
    if os.path.exists(fpath):
        rows = json.load(open(fpath))
        if isinstance(rows, dict):
            rows = rows.get("rows") or rows.get("filtered", [])
        cpath = os.path.join(args.docs, "bench", "correlated.json")
        correlated = json.load(open(cpath)) if os.path.exists(cpath) else None
        if rows:
            filtered(rows, correlated, os.path.join(args.docs, "bench_filtered.png"))
    elif os.path.exists(tpath) and open(tpath).read().strip():
        filtered_text(open(tpath).read(), os.path.join(args.docs, "bench_filtered.png"))
    print(f"drew the figures of {path} into {args.docs}/")


if __name__ == "__main__":
    main()
