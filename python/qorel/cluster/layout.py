"""Where a sharded database keeps its shards, and which shard holds an id.

The directory of a sharded database holds a manifest, ``qorel-cluster.json``, and one
ordinary database directory per shard, ``shard-0``, ``shard-1``, ... The manifest records the
shard count, the settings every shard was created with and, unless the directory is on storage
that every node sees, the node each shard lives on. Reopening reads it, so the layout never
depends on the arguments of a later call.
"""

import json
import os
import zlib
from dataclasses import asdict, dataclass
from typing import Optional

MANIFEST_NAME = "qorel-cluster.json"
FORMAT_VERSION = 1
# The routing rule is part of the stored layout: changing it would send ids to shards that do
# not hold them. CRC-32 of the UTF-8 bytes is the same in every process, Python version and
# platform, unlike the built-in hash, which is salted per process.
ROUTING = "crc32-utf8"


@dataclass
class Manifest:
    shards: int
    dim: int
    metric: str
    m: int
    ef_construction: int
    quantize: bool
    # The address of the node each shard lives on; None when every node sees the directory.
    nodes: Optional[list[str]] = None
    routing: str = ROUTING
    format: int = FORMAT_VERSION


def shard_dir(root: str, shard: int) -> str:
    return os.path.join(root, f"shard-{shard}")


def shard_of(id: str, shards: int) -> int:
    # surrogatepass keeps routing total: an id the engine later refuses still has a shard.
    return zlib.crc32(id.encode("utf-8", "surrogatepass")) % shards


def read_manifest(root: str) -> Optional[Manifest]:
    """The manifest of ``root``, or None when there is none."""
    path = os.path.join(root, MANIFEST_NAME)
    try:
        with open(path, encoding="utf-8") as f:
            raw = json.load(f)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as e:
        raise ValueError(f"cannot read the shard manifest '{path}': {e}") from e
    if not isinstance(raw, dict) or raw.get("format") != FORMAT_VERSION or raw.get("routing") != ROUTING:
        raise ValueError(f"the shard manifest '{path}' has a format this version cannot read")
    try:
        manifest = Manifest(**raw)
    except TypeError as e:
        raise ValueError(f"the shard manifest '{path}' is damaged: {e}") from e
    if not isinstance(manifest.shards, int) or manifest.shards < 1:
        raise ValueError(f"the shard manifest '{path}' is damaged: bad shard count")
    if manifest.nodes is not None and len(manifest.nodes) != manifest.shards:
        raise ValueError(f"the shard manifest '{path}' is damaged: one node per shard expected")
    return manifest


def write_manifest(root: str, manifest: Manifest) -> None:
    """Writes the manifest through a temporary file, so a crash never leaves half of one."""
    os.makedirs(root, exist_ok=True)
    path = os.path.join(root, MANIFEST_NAME)
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(asdict(manifest), f, indent=1, sort_keys=True)
        f.write("\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
