"""The package's version: the one the build wrote into _version.py, or, run
straight from the source tree, the CMake project's, where every version of
the project comes from."""

import re
from pathlib import Path

_PROJECT = re.compile(r"^project\(brivant VERSION ([0-9]+\.[0-9]+\.[0-9]+)", re.M)


def source_tree_version(cmake_lists):
    """The version in the CMakeLists.txt at `cmake_lists`."""
    match = _PROJECT.search(Path(cmake_lists).read_text(encoding="utf-8"))
    if match is None:
        raise RuntimeError("no project version in %s" % cmake_lists)
    return match.group(1)


def package_version():
    """The installed package's version, else the source tree's."""
    try:
        from ._version import __version__  # written by setup.py and the packaging scripts
    except ImportError:
        return source_tree_version(Path(__file__).resolve().parents[2] / "CMakeLists.txt")
    return __version__
