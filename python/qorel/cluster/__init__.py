"""A qorel database sharded over Ray actors, used like a single ``qorel.Database``.

Install it with ``pip install 'qorel[cluster]'``; ``import qorel`` alone never loads Ray.
"""

try:
    import ray  # noqa: F401
except ImportError as _missing:  # the extra is not installed
    raise ImportError("qorel.cluster needs Ray: pip install 'qorel[cluster]'") from _missing

from .database import ShardedDatabase, combine_stats
from .errors import PartialBatchError, ShardUnavailableError
from .layout import MANIFEST_NAME, shard_dir, shard_of
from .results import SearchResult

__all__ = [
    "MANIFEST_NAME",
    "PartialBatchError",
    "SearchResult",
    "ShardUnavailableError",
    "ShardedDatabase",
    "combine_stats",
    "shard_dir",
    "shard_of",
]
