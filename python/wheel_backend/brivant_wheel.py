"""The package's own build backend: builds its wheels with the standard library alone.

pip builds a package in an isolated environment into which it first installs
the backend; with no network, a backend from an index cannot be had and
`pip install ./python` fails. This one lives in the source tree and needs
nothing, so pip, `python3 -m build --no-isolation` and `pip install -e` all
work offline.

Config settings (`python3 -m build -C name=value`, `pip -C`):
  library=PATH       put this library file into the package (a platform wheel)
  platform-tag=TAG   the wheel's platform tag, e.g. win_amd64, win32, linux_x86_64;
                     required with library=
Without them the wheel is pure Python (py3-none-any) and the package finds
the library through BRIVANT_LIBRARY or the system's search path.
"""

import base64
import hashlib
import os
import re
import runpy
import zipfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent  # python/, holding pyproject.toml
PACKAGE = "brivant"
PACKAGE_FILES = ("*.py", "py.typed")
VERSION_FILE = "_version.py"  # read by brivant/_versioning.py
# Fixed timestamps make two builds of the same files the same bytes.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def _version():
    """The version written into brivant/_version.py by a packaging script, else
    the CMake project's, where every version of the project comes from."""
    written = SOURCE / PACKAGE / VERSION_FILE
    if written.is_file():
        return runpy.run_path(str(written))["__version__"]
    versioning = runpy.run_path(str(SOURCE / PACKAGE / "_versioning.py"))
    return versioning["source_tree_version"](SOURCE.parent / "CMakeLists.txt")


def _project():
    """name, description and requires-python from pyproject.toml's [project], and
    the version."""
    text = (SOURCE / "pyproject.toml").read_text(encoding="utf-8")
    section = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S)
    if not section:
        raise ValueError("pyproject.toml has no [project] table")
    fields = dict(re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"\s*$', section.group(1), re.M))
    for key in ("name", "description", "requires-python"):
        if key not in fields:
            raise ValueError("pyproject.toml [project] lacks %s" % key)
    fields["version"] = _version()
    return fields


def _library_name(platform_tag):
    # Must match PACKAGED_NAMES in brivant/_library.py for that platform: on
    # Linux the soname, so that nothing in the package looks like a module.
    if platform_tag.startswith("win"):
        return "BRIVANT.dll"
    return "libbrivant.so.%s" % _version().split(".")[0]


def _settings(config_settings):
    settings = dict(config_settings or {})
    library = settings.pop("library", None)
    tag = settings.pop("platform-tag", None)
    if settings:
        raise ValueError("unknown config settings: %s" % ", ".join(sorted(settings)))
    if bool(library) != bool(tag):
        raise ValueError("library= and platform-tag= go together")
    if library and not Path(library).is_file():
        raise ValueError("library=%s: no such file" % library)
    return library, tag


class _Wheel:
    """A wheel being written: each file's hash and size go into RECORD."""

    def __init__(self, path):
        self.zip = zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED)
        self.records = []

    def add(self, name, data, executable=False):
        info = zipfile.ZipInfo(name, ZIP_TIME)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = (0o755 if executable else 0o644) << 16
        self.zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        self.records.append("%s,sha256=%s,%d" % (name, digest, len(data)))

    def finish(self, dist_info):
        record = dist_info + "/RECORD"
        text = "\n".join(self.records + [record + ",,"]) + "\n"
        info = zipfile.ZipInfo(record, ZIP_TIME)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o644 << 16
        self.zip.writestr(info, text)
        self.zip.close()


def _metadata(project):
    return (
        "Metadata-Version: 2.1\n"
        "Name: %s\n"
        "Version: %s\n"
        "Summary: %s\n"
        "Requires-Python: %s\n"
        % (project["name"], project["version"], project["description"],
           project["requires-python"])
    ).encode()


def _write(wheel_directory, tag, files):
    """Writes the wheel for `files` ((name in wheel, bytes, executable)...) and
    returns its file name."""
    project = _project()
    name = project["name"].replace("-", "_")
    dist_info = "%s-%s.dist-info" % (name, project["version"])
    file_name = "%s-%s-%s.whl" % (name, project["version"], tag)
    wheel = _Wheel(os.path.join(wheel_directory, file_name))
    for path, data, executable in files:
        wheel.add(path, data, executable)
    wheel.add(dist_info + "/METADATA", _metadata(project))
    pure = tag.endswith("-any")
    wheel.add(dist_info + "/WHEEL", (
        "Wheel-Version: 1.0\nGenerator: brivant_wheel\nRoot-Is-Purelib: %s\nTag: %s\n"
        % ("true" if pure else "false", tag)).encode())
    wheel.add(dist_info + "/top_level.txt", (PACKAGE + "\n").encode())
    wheel.finish(dist_info)
    return file_name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    """PEP 517: the package, and the library when one is given."""
    library, platform_tag = _settings(config_settings)
    files = []
    for pattern in PACKAGE_FILES:
        for path in sorted((SOURCE / PACKAGE).glob(pattern)):
            if path.name != VERSION_FILE:
                files.append(("%s/%s" % (PACKAGE, path.name), path.read_bytes(), False))
    files.append(("%s/%s" % (PACKAGE, VERSION_FILE),
                  ('__version__ = "%s"\n' % _version()).encode(), False))
    tag = "py3-none-any"
    if library:
        files.append(("%s/%s" % (PACKAGE, _library_name(platform_tag)),
                      Path(library).read_bytes(), True))
        tag = "py3-none-" + platform_tag
    return _write(wheel_directory, tag, files)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """PEP 660 (`pip install -e`): a wheel whose .pth puts this source tree on sys.path."""
    _settings(config_settings)
    pth = "__editable__.%s.pth" % PACKAGE
    return _write(wheel_directory, "py3-none-any", [(pth, (str(SOURCE) + "\n").encode(), False)])


def get_requires_for_build_wheel(config_settings=None):
    """PEP 517: nothing beyond the standard library."""
    return []


def get_requires_for_build_editable(config_settings=None):
    """PEP 660: nothing beyond the standard library."""
    return []

