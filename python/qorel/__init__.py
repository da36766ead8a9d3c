"""qorel: an embedded vector database for Python.

The engine is the extension module ``_qorel``; this package re-exports its two classes.
"""

from _qorel import Database, SearchResult

__all__ = ["Database", "SearchResult"]
__version__ = "0.1.0"
