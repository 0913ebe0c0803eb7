"""Builds the brivant package. Its version is the CMake project's: read from
the source tree (or from brivant/_version.py where a packaging script has
already written it) and written into the built package's _version.py."""

import runpy
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent
VERSION_FILE = "_version.py"


def version():
    written = HERE / "brivant" / VERSION_FILE
    if written.is_file():
        return runpy.run_path(str(written))["__version__"]
    versioning = runpy.run_path(str(HERE / "brivant" / "_versioning.py"))
    return versioning["source_tree_version"](HERE.parent / "CMakeLists.txt")


class BuildWithVersion(build_py):
    def run(self):
        super().run()
        target = Path(self.build_lib) / "brivant" / VERSION_FILE
        target.write_text('__version__ = "%s"\n' % self.distribution.get_version())


setup(version=version(), cmdclass={"build_py": BuildWithVersion})
