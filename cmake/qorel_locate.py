"""Answers the build's questions about the Python environment it runs in.

  qorel_locate.py file DIST SUFFIX   prints the absolute path of the file of the installed
                                     distribution DIST whose recorded path ends with SUFFIX;
                                     exits 1 when DIST is not installed or has no such file.
  qorel_locate.py rpath              prints the path of the environment's shared-library
                                     directory (<data>/lib) relative to its site-packages.

The package registry's C++ wheels (tbb-devel, nlohmann-json) install headers, libraries and
CMake packages as data files of the environment, so their place is known only from the
distribution's own file list. Using the list also works inside pip's isolated build
environment, whose prefix is a temporary directory.
"""

import os
import sys
import sysconfig
from importlib import metadata


def locate(dist_name: str, suffix: str) -> int:
    try:
        dist = metadata.distribution(dist_name)
    except metadata.PackageNotFoundError:
        return 1
    for entry in dist.files or []:
        if entry.as_posix().endswith(suffix):
            path = os.path.normpath(str(dist.locate_file(entry)))
            if os.path.exists(path):
                print(path)
                return 0
    return 1


def rpath() -> int:
    libdir = os.path.join(sysconfig.get_path("data"), "lib")
    print(os.path.relpath(libdir, sysconfig.get_path("platlib")))
    return 0


def main(argv: list) -> int:
    if len(argv) == 4 and argv[1] == "file":
        return locate(argv[2], argv[3])
    if len(argv) == 2 and argv[1] == "rpath":
        return rpath()
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
