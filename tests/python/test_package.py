"""The installed distribution reports one version everywhere."""

import importlib.metadata
import re

import qorel


def test_version_is_the_distributions():
    # The distribution's metadata carries the version written in pyproject.toml; the package
    # must report that same one, whatever was built.
    assert qorel.__version__ == importlib.metadata.version("qorel")
    assert re.fullmatch(r"\d+\.\d+\.\d+([.-]?\w+)*", qorel.__version__)

