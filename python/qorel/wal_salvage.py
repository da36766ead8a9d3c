"""Lists the intact records of a qorel log file, skipping damaged bytes.

    python -m qorel.wal_salvage DIR/wal.qorel.damaged-1 > records.jsonl

Prints one JSON object per intact record, in file order:
    {"op": "insert", "id": ..., "vector": [...], "metadata": {...} or null}
    {"op": "delete", "id": ...}
    {"op": "update", "id": ..., "vector": [...]?, "metadata": {...} or null?}
    {"op": "batch", "records": N}
(an update names only what it changed; "metadata": null removes the metadata; a batch line
opens the N records one call logged as a unit, which replay applies only when all of them are
intact; what is left of an incomplete batch is listed all the same). Bytes that do
not form an intact record are skipped one at a time until the next record whose checksum
matches, so everything intact behind a damaged record is found. A summary goes to stderr.
Reads any log file; the database directory is not touched.
"""

import json
import struct
import sys
import zlib

KINDS = {1: "insert", 2: "delete", 3: "update", 4: "batch"}
OVERHEAD = 9  # kind byte, uint32 length, uint32 CRC


class Payload:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        if n > len(self.data) - self.pos:
            raise ValueError("short payload")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def u8(self):
        return self.take(1)[0]

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def text(self):
        return self.take(self.u32()).decode("utf-8")

    def vector(self):
        n = self.u32()
        return list(struct.unpack(f"<{n}f", self.take(4 * n)))

    def metadata(self):
        text = self.text()
        return json.loads(text) if text else None


def decode(kind, payload):
    p = Payload(payload)
    if kind == 4:
        return {"op": "batch", "records": struct.unpack("<Q", p.take(8))[0]}
    record = {"op": KINDS[kind], "id": p.text()}
    if kind == 1:
        record["vector"] = p.vector()
        record["metadata"] = p.metadata()
    elif kind == 3:
        if p.u8() == 1:
            record["vector"] = p.vector()
        if p.u8() == 1:
            record["metadata"] = p.metadata()
    return record


def records(data):
    """Yields (offset, record) for every intact record; undecodable ones are skipped."""
    pos = 0
    while pos + OVERHEAD <= len(data):
        kind = data[pos]
        (length,) = struct.unpack_from("<I", data, pos + 1)
        if kind in KINDS and length <= len(data) - pos - OVERHEAD:
            payload = data[pos + 5:pos + 5 + length]
            (stored,) = struct.unpack_from("<I", data, pos + 5 + length)
            if zlib.crc32(payload, zlib.crc32(bytes([kind]))) == stored:
                try:
                    yield pos, decode(kind, payload)
                except (ValueError, UnicodeDecodeError):
                    pass
                pos += OVERHEAD + length
                continue
        pos += 1


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        with open(argv[1], "rb") as f:
            data = f.read()
    except OSError as e:
        print(f"wal_salvage: cannot read {argv[1]}: {e.strerror or e}", file=sys.stderr)
        return 1
    found = 0
    for offset, record in records(data):
        print(json.dumps(record))
        found += 1
    print(f"{found} intact records in {len(data)} bytes", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
