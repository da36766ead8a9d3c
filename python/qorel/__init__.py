"""qorel: an embedded vector database for Python.

The engine is the extension module ``_qorel``; this package re-exports its two classes.
"""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    # Type checkers read the classes from the stub shipped next to this file.
    from qorel._qorel import Database, SearchResult
else:
    from _qorel import Database, SearchResult

__all__ = ["Database", "SearchResult"]
__version__ = "0.1.0"
