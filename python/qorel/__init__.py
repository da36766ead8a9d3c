"""qorel: an embedded vector database for Python."""

from _qorel import Database

__all__ = ["Database"]
__version__ = "0.1.0"
