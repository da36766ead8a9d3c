"""The `qorel` command: look at a database directory, check it, move its contents in and out.

    qorel info DIR                 configuration, text index, counts, file sizes, log size
    qorel check DIR                every checksum, the whole vectors file included, and the graph
    qorel export DIR [-o FILE]     JSON Lines: {"id": ..., "vector": [...], "metadata": ...}
    qorel import DIR FILE          from JSON Lines, in batches, each all or nothing (a database
                                   it creates: --metric, --text-index FIELD, --stem)
    qorel compact DIR              drop deleted vectors for good, then save
    qorel salvage FILE             the intact records of a (damaged) log file, as JSON Lines

Also `python -m qorel`. `--json` makes info, check and compact print one JSON object. Exit status:
0 when the command did what it says (for check: when everything holds), 1 when it failed or a
check did not hold, 2 for a command line that does not parse.
"""

import argparse
import json
import os
import struct
import sys
from typing import Any, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple

import _qorel

# Files a database directory may hold, in the order info lists them.
_FILES = ("graph.qorel", "graph.delta", "vectors.bin", "vectors.sq8", "wal.qorel", "graph.tmp", "vectors.tmp")


class _Failure(Exception):
    """A command that cannot do what it was asked: its message goes to stderr, status 1."""


def _open(directory: str, read_only: bool = True) -> "_qorel.Database":
    """Commands that only look open the database read-only: beside a process that writes it,
    and without replaying anything into its files."""
    if not os.path.isdir(directory):
        raise _Failure(f"{directory}: no such directory")
    try:
        return _qorel.Database(directory, read_only=read_only)
    except _qorel.QorelError as e:
        raise _Failure(f"{directory}: {e}") from e


def _graph_settings(directory: str) -> Dict[str, int]:
    """m and ef_construction from the saved graph file's header (see docs/file-format.md)."""
    try:
        with open(os.path.join(directory, "graph.qorel"), "rb") as f:
            head = f.read(21)
    except OSError:
        return {}
    if len(head) < 21 or head[:4] != b"GWSH":
        return {}
    m, ef = struct.unpack_from("<II", head, 13)
    return {"m": m, "ef_construction": ef}


def _info(args: argparse.Namespace) -> Tuple[int, Dict[str, Any]]:
    db = _open(args.dir)
    stats = db.stats()
    files = {}
    for name in _FILES + tuple(sorted(n for n in os.listdir(args.dir) if n.startswith("wal.qorel.damaged-"))):
        path = os.path.join(args.dir, name)
        if os.path.isfile(path):
            files[name] = os.path.getsize(path)
    out: Dict[str, Any] = {
        "path": os.path.abspath(args.dir),
        "dim": db.dim,
        "metric": db.metric,
        **_graph_settings(args.dir),
        "vectors": len(db),
        "deleted": db.deleted_count,
        "slots": db.total_slots,
        "quantized_search": db.quantized_search,
        "text_index": db.text_index,
        "exact_scan": stats["uses_brute_force"],
        "layers": stats["num_layers"],
        "log_bytes": files.get("wal.qorel", 0),
        "files": files,
    }
    return 0, out


def _print_info(info: Dict[str, Any], out: TextIO) -> None:
    width = max(len(k) for k in info)
    for key, value in info.items():
        if key == "files":
            continue
        if key == "text_index":
            value = "none" if value is None else f"{value['field']} ({'stemmed' if value['stem'] else 'not stemmed'})"
        print(f"{key:<{width}}  {value}", file=out)
    for name, size in info["files"].items():
        print(f"{'file':<{width}}  {name} {size:,} bytes", file=out)


def _check(args: argparse.Namespace) -> Tuple[int, Dict[str, Any]]:
    db = _open(args.dir)
    results = db.check()
    ok = all(r["ok"] for r in results)
    return (0 if ok else 1), {"ok": ok, "checks": results}


def _print_check(report: Dict[str, Any], out: TextIO) -> None:
    for r in report["checks"]:
        print(f"{'ok    ' if r['ok'] else 'FAILED'} {r['name']}: {r['detail']}", file=out)
    print("everything holds" if report["ok"] else "some checks failed", file=out)


def _export(args: argparse.Namespace) -> Tuple[int, Dict[str, Any]]:
    db = _open(args.dir)
    out = sys.stdout if args.output in (None, "-") else open(args.output, "w", encoding="utf-8")
    count = 0
    try:
        for id in db.ids():
            vector, metadata = db.get(id)
            out.write(json.dumps({"id": id, "vector": vector, "metadata": metadata}, ensure_ascii=False) + "\n")
            count += 1
    finally:
        if out is not sys.stdout:
            out.close()
    return 0, {"exported": count}


def _rows(source: TextIO) -> Iterator[Tuple[int, Dict[str, Any]]]:
    for number, line in enumerate(source, 1):
        if not line.strip():
            continue
        try:
            row = json.loads(line)
        except json.JSONDecodeError as e:
            raise _Failure(f"line {number}: not JSON: {e.msg}") from e
        if not isinstance(row, dict) or not isinstance(row.get("id"), str) or not isinstance(row.get("vector"), list):
            raise _Failure(f'line {number}: expected an object with a string "id" and a list "vector"')
        yield number, row


class _Progress:
    """A one-line count on a terminal; nothing when stderr is not one."""

    def __init__(self, total: Optional[int]) -> None:
        self.total = total
        self.shown = sys.stderr.isatty()

    def update(self, done: int) -> None:
        if self.shown:
            if self.total:
                filled = int(30 * done / self.total)
                bar = "#" * filled + "." * (30 - filled)
                print(f"\r[{bar}] {done:,}/{self.total:,}", end="", file=sys.stderr, flush=True)
            else:
                print(f"\r{done:,} rows", end="", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.shown:
            print(file=sys.stderr)


def _import(args: argparse.Namespace) -> Tuple[int, Dict[str, Any]]:
    if args.batch < 1:
        raise _Failure("--batch must be at least 1")
    if args.stem and args.text_index is None:
        raise _Failure("--stem needs --text-index")
    from_stdin = args.file == "-"
    if not from_stdin and not os.path.isfile(args.file):
        raise _Failure(f"{args.file}: no such file")
    total = None
    if not from_stdin:
        with open(args.file, "rb") as f:
            total = sum(1 for line in f if line.strip())
    source = sys.stdin if from_stdin else open(args.file, encoding="utf-8")
    db: Optional["_qorel.Database"] = None
    stored = 0
    progress = _Progress(total)
    try:
        batch: List[Dict[str, Any]] = []
        first_line = 0

        def flush() -> None:
            nonlocal db, stored
            if not batch:
                return
            if db is None:
                db = _open_for_import(args, len(batch[0]["vector"]))
            ids = [r["id"] for r in batch]
            vectors = [r["vector"] for r in batch]
            metadatas = [r.get("metadata") for r in batch]
            try:
                (db.upsert_many if args.upsert else db.add_many)(ids, vectors, metadatas)
            except (ValueError, TypeError) as e:
                raise _Failure(f"lines {first_line}-{first_line + len(batch) - 1} (nothing of them stored; "
                               f"{stored:,} rows before them were): {e}") from e
            stored += len(batch)
            batch.clear()
            progress.update(stored)

        for number, row in _rows(source):
            if not batch:
                first_line = number
            batch.append(row)
            if len(batch) >= args.batch:
                flush()
        flush()
    finally:
        progress.close()
        if not from_stdin:
            source.close()
        if db is not None:
            db.save()
    return 0, {"imported": stored}


def _open_for_import(args: argparse.Namespace, dim: int) -> "_qorel.Database":
    wanted = None if args.text_index is None else {"field": args.text_index, "stem": args.stem}
    try:
        if os.path.exists(os.path.join(args.dir, "graph.qorel")) or os.path.exists(os.path.join(args.dir, "wal.qorel")):
            db = _qorel.Database(args.dir)
            # The flags describe a database the import creates: an existing one keeps its own
            # index, and rows stored under another one would not be found the way asked for.
            current = db.text_index
            if wanted is not None and (current is None or current["field"] != wanted["field"]
                                       or bool(current["stem"]) != wanted["stem"]):
                shown = "none" if current is None else f"{current['field']!r} (stem={bool(current['stem'])})"
                raise _Failure(f"{args.dir}: the database's text index is {shown}, not {wanted['field']!r} "
                               f"(stem={wanted['stem']}); --text-index applies only to a database the import creates")
            return db
        db = _qorel.Database(args.dir, dim=dim, metric=args.metric)
        if wanted is not None:
            # Before the first row, so that every write indexes its own text.
            db.enable_text_index(wanted["field"], stem=wanted["stem"])
        return db
    except (_qorel.QorelError, ValueError, TypeError) as e:
        raise _Failure(f"{args.dir}: {e}") from e


def _compact(args: argparse.Namespace) -> Tuple[int, Dict[str, Any]]:
    db = _open(args.dir, read_only=False)
    before = db.total_slots
    db.compact()
    db.save()
    return 0, {"slots_before": before, "slots_after": db.total_slots, "vectors": len(db)}


def _salvage(args: argparse.Namespace) -> Tuple[int, Dict[str, Any]]:
    from qorel import wal_salvage

    status: int = wal_salvage.main(["qorel salvage", args.file])
    return status, {}


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="qorel", description="Look at, check and move qorel databases.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str, json_output: bool = False) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help, description=help)
        if json_output:
            p.add_argument("--json", action="store_true", help="print one JSON object instead of text")
        return p

    p = command("info", "configuration, counts, file sizes and log size of a database", True)
    p.add_argument("dir", help="the database directory")
    p.set_defaults(run=_info, show=_print_info)
    p = command("check", "check every checksum (the whole vectors file included), the log and the graph; "
                         "exit status 0 only when everything holds", True)
    p.add_argument("dir", help="the database directory")
    p.set_defaults(run=_check, show=_print_check)
    p = command("export", "write every vector as JSON Lines: id, vector, metadata")
    p.add_argument("dir", help="the database directory")
    p.add_argument("-o", "--output", help="the file to write (default: standard output)")
    p.set_defaults(run=_export, show=None)
    p = command("import", "add vectors from JSON Lines (id, vector, metadata) in batches, each all or nothing; "
                          "creates the database when the directory holds none", True)
    p.add_argument("dir", help="the database directory")
    p.add_argument("file", help="the JSON Lines file, or - for standard input")
    p.add_argument("--batch", type=int, default=1000, help="rows per batch (default 1000)")
    p.add_argument("--upsert", action="store_true", help="replace stored ids instead of refusing them")
    p.add_argument("--metric", default="cosine", choices=["cosine", "euclidean", "l2", "dot", "dot_product"],
                   help="the metric of a database created here (default cosine)")
    p.add_argument("--text-index", metavar="FIELD",
                   help="give a database created here a full-text index on this metadata field")
    p.add_argument("--stem", action="store_true", help="stem English words in that text index")
    p.set_defaults(run=_import, show=lambda r, out: print(f"imported {r['imported']:,} rows", file=out))
    p = command("compact", "rebuild the index without deleted vectors and save", True)
    p.add_argument("dir", help="the database directory")
    p.set_defaults(run=_compact, show=lambda r, out: print(
        f"{r['slots_before']:,} slots before, {r['slots_after']:,} after; {r['vectors']:,} vectors", file=out))
    p = command("salvage", "print the intact records of a log file (for example wal.qorel.damaged-1) "
                           "as JSON Lines")
    p.add_argument("file", help="the log file")
    p.set_defaults(run=_salvage, show=None)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        status: int
        report: Dict[str, Any]
        status, report = args.run(args)
    except _Failure as e:
        print(f"qorel {args.command}: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"qorel {args.command}: {e}", file=sys.stderr)
        return 1
    if getattr(args, "json", False):
        print(json.dumps(report))
    elif args.show is not None:
        args.show(report, sys.stdout)
    return status


if __name__ == "__main__":
    sys.exit(main())
