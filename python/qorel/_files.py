"""The data files of a database directory, for the layers that must not create a database over
what is left of one."""

import os

# A saved database consists of these (its log and lock file aside), the quantized codes and the
# increments of later saves being optional; a directory with any of them holds a database,
# whole or not.
REQUIRED_FILES = ("graph.qorel", "vectors.bin")
DATA_FILES = REQUIRED_FILES + ("vectors.sq8", "graph.delta")


def data_files_in(path: str) -> list[str]:
    return [name for name in DATA_FILES if os.path.exists(os.path.join(path, name))]
