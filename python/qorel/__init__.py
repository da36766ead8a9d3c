"""qorel: an embedded vector database for Python.

The engine is the extension module ``_qorel``; this package re-exports its classes and the
exceptions it raises (each a ValueError, all under QorelError).
"""

from _qorel import (
    CorruptDatabaseError,
    Database,
    DatabaseInUseError,
    DatabaseNotFoundError,
    DimensionMismatchError,
    DuplicateIdError,
    InvalidMetricError,
    InvalidVectorError,
    NotFoundError,
    QorelError,
    ReadOnlyError,
    SearchResult,
    StorageError,
)

# Generated at build time from the one version in pyproject.toml.
from qorel._version import __version__ as __version__

__all__ = [
    "CorruptDatabaseError",
    "Database",
    "DatabaseInUseError",
    "DatabaseNotFoundError",
    "DimensionMismatchError",
    "DuplicateIdError",
    "InvalidMetricError",
    "InvalidVectorError",
    "NotFoundError",
    "QorelError",
    "ReadOnlyError",
    "SearchResult",
    "StorageError",
]
