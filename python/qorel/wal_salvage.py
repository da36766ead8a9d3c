"""Lists the intact records of a qorel log file, skipping damaged bytes.

    python -m qorel.wal_salvage DIR/wal.qorel.damaged-1 > records.jsonl

Prints one JSON object per intact record, in file order:
    {"op": "insert", "id": ..., "vector": [...], "metadata": {...} or null}
    {"op": "delete", "id": ...}
    {"op": "update", "id": ..., "vector": [...]?, "metadata": {...} or null?}
    {"op": "text_index", "field": ..., "stem": true or false}
    {"op": "batch", "records": N}
(an update names only what it changed; "metadata": null removes the metadata; a batch line
opens the N records one call logged as a unit, which replay applies only when all of them are
intact; what is left of an incomplete batch is listed all the same). Bytes that do
not form an intact record are skipped one at a time until the next record whose checksum
matches, so everything intact behind a damaged record is found. A summary goes to stderr.
Reads any log file with the engine's own decoder; the database directory is not touched.
"""

import json
import sys
from typing import Any, Dict, Iterator, List, Tuple

from _qorel import _salvage_log


def records(data: bytes) -> Iterator[Tuple[int, Dict[str, Any]]]:
    """Yields (offset, record) for every intact record; undecodable ones are skipped."""
    for offset, record in _salvage_log(data):
        if isinstance(record.get("metadata"), str):
            record["metadata"] = json.loads(record["metadata"])
        yield offset, record


def main(argv: List[str]) -> int:
    if len(argv) != 2:
        print((__doc__ or "").strip(), file=sys.stderr)
        return 2
    try:
        with open(argv[1], "rb") as f:
            data = f.read()
    except OSError as e:
        print(f"wal_salvage: cannot read {argv[1]}: {e.strerror or e}", file=sys.stderr)
        return 1
    found = 0
    for _, record in records(data):
        print(json.dumps(record))
        found += 1
    print(f"{found} intact records in {len(data)} bytes", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
