"""qorel: an embedded vector database for Python.

The engine is the extension module ``_qorel``; this package re-exports its two classes.
"""

from _qorel import Database, SearchResult

# Generated at build time from the one version in pyproject.toml.
from qorel._version import __version__ as __version__

__all__ = ["Database", "SearchResult"]
