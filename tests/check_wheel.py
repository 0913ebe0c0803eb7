#!/usr/bin/python3
"""Checks a platform wheel of the Python package (run with /usr/bin/python3,
which sees python3-wheel).

  check_wheel.py WHEEL PLATFORM_TAG LIBRARY_NAME [BUILT_LIBRARY]

The file name, the WHEEL file and the platform agree on the tag; the file
name, METADATA and brivant/_version.py on the version; every file's hash
matches RECORD; the wheel holds the package's files and the library
LIBRARY_NAME inside the package, built for the tag's machine (and, given
BUILT_LIBRARY, byte for byte that file).
"""
import os
import re
import struct
import sys
from pathlib import Path

from wheel.wheelfile import WheelFile

PACKAGE_SOURCE = Path(__file__).resolve().parent.parent / "python" / "brivant"
# Machine field of a PE (COFF header) or ELF (e_machine) image, by platform tag.
MACHINES = {
    "win_amd64": ("PE", 0x8664),
    "win32": ("PE", 0x014C),
    "linux_x86_64": ("ELF", 62),
    "linux_aarch64": ("ELF", 183),
}

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


def machine_of(data):
    if data[:4] == b"\x7fELF":
        return "ELF", struct.unpack_from("<H", data, 18)[0]
    if data[:2] == b"MZ":
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] == b"PE\0\0":
            return "PE", struct.unpack_from("<H", data, pe + 4)[0]
    return None, None


def main():
    if len(sys.argv) not in (4, 5):
        print(__doc__)
        return 2
    wheel_path, platform, library_name = sys.argv[1:4]
    tag = "py3-none-" + platform
    check(os.path.basename(wheel_path).endswith("-" + tag + ".whl"), f"file name ends in {tag}")
    with WheelFile(wheel_path) as wheel:
        contents = {}
        try:
            for name in wheel.namelist():
                contents[name] = wheel.read(name)  # raises on a hash that RECORD does not match
            check(True, "every file matches its hash in RECORD")
        except Exception as error:  # wheel.WheelError, or a file missing from RECORD
            check(False, f"every file matches its hash in RECORD ({error})")
        dist_info = wheel.dist_info_path
    meta = contents.get(dist_info + "/WHEEL", b"").decode()
    check(f"Tag: {tag}\n" in meta, f"WHEEL names the tag {tag}")
    check("Root-Is-Purelib: false" in meta, "WHEEL marks it a platform wheel")

    version = os.path.basename(wheel_path).split("-")[1]
    written = re.findall(r'^__version__ = "(.*)"$', contents.get("brivant/_version.py", b"").decode(), re.M)
    check(written == [version], f"brivant/_version.py says {version} ({written})")
    metadata = contents.get(dist_info + "/METADATA", b"").decode()
    check(f"\nVersion: {version}\n" in metadata, f"METADATA says {version}")

    # The source tree's package files; _version.py is written by the build.
    package_files = {"brivant/" + p.name for p in PACKAGE_SOURCE.iterdir()
                     if (p.suffix == ".py" or p.name == "py.typed") and p.name != "_version.py"}
    package_files.add("brivant/_version.py")
    library = "brivant/" + library_name
    held = {name for name in contents if not name.split("/")[0].endswith(".dist-info")}
    expected = package_files | {library}
    check(held == expected,
          f"holds the package's {len(package_files)} files and {library}, nothing else"
          + ("" if held == expected
             else f" (extra {sorted(held - expected)}, missing {sorted(expected - held)})"))

    data = contents.get(library, b"")
    want = MACHINES.get(platform)
    got = machine_of(data)
    check(want is not None and got == want, f"{library} is built for {platform} ({got})")
    if len(sys.argv) == 5:
        check(data == Path(sys.argv[4]).read_bytes(), f"{library} is {sys.argv[4]}")
    print(f"wheel checks: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
