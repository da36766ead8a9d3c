"""The data files of a database directory, for the layers that must not create a database over
what is left of one."""

import os

# A saved database consists of these (its log and lock file aside); a directory with any of them
# holds a database, whole or not.
DATA_FILES = ("graph.qorel", "vectors.bin", "vectors.sq8")


def data_files_in(path: str) -> list[str]:
    return [name for name in DATA_FILES if os.path.exists(os.path.join(path, name))]
