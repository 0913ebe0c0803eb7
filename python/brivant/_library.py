"""Finding and loading the BRIVANT library, and the prototypes of its 13 functions.

Places, in order: the package's own folder (where a wheel puts the library),
the file named by BRIVANT_LIBRARY, then the system's search path. The error
when none loads names every place and why it failed there.

On Windows the 13 functions are __stdcall in the 32-bit BRIVANT.dll (the
convention is the same on x64), so the library is loaded with WinDLL; a DLL
built for the other architecture than this interpreter's is passed over with
a message saying so, rather than tried.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
import sys
from pathlib import Path
from typing import List, Mapping, Optional, Tuple

from ._versioning import package_version

PACKAGE_DIR = Path(__file__).resolve().parent

# The wheel for Windows carries BRIVANT.dll; the Linux one carries the Linux
# library, which drives real units over USB or, with BRIVANT_BACKEND=sim, the
# simulated ones.
if sys.platform == "win32":
    PACKAGED_NAMES = ("BRIVANT.dll",)
    SYSTEM_NAME = "BRIVANT.dll"
else:
    # By its soname, libbrivant.so.4: a file ending in .so would be listed by
    # help(brivant) and pkgutil as an extension module of the package.
    PACKAGED_NAMES = ("libbrivant.so.%s" % package_version().split(".")[0],)
    SYSTEM_NAME = "libbrivant.so"

# The machine field of a PE image's header, by the name used here.
PE_MACHINES = {0x8664: "x64", 0x014C: "x86", 0xAA64: "arm64"}


def interpreter_machine() -> str:
    """The Windows machine whose DLLs this interpreter can load."""
    return "x64" if struct.calcsize("P") == 8 else "x86"


def pe_machine(path: str) -> Optional[str]:
    """The machine a Windows DLL at `path` is built for ('x64', 'x86', ...), or
    None when the file cannot be read or is not a PE image."""
    try:
        with open(path, "rb") as image:
            header = image.read(4096)
    except OSError:
        return None
    if header[:2] != b"MZ" or len(header) < 0x40:
        return None
    pe = struct.unpack_from("<I", header, 0x3C)[0]
    if header[pe:pe + 4] != b"PE\0\0" or len(header) < pe + 6:
        return None
    machine = struct.unpack_from("<H", header, pe + 4)[0]
    return PE_MACHINES.get(machine, "machine 0x%04X" % machine)


# (place, file to load there; or None and why there is none)
Attempt = Tuple[str, Optional[str], str]


def candidates(package_dir: Path = PACKAGE_DIR,
               environ: Mapping[str, str] = os.environ) -> List[Attempt]:
    """The places to try, in order, each with the file to load there."""
    places: List[Attempt] = [("the package folder", str(package_dir / name), "")
                             for name in PACKAGED_NAMES]
    chosen = environ.get("BRIVANT_LIBRARY")
    places.append(("BRIVANT_LIBRARY", chosen or None, "not set"))
    if sys.platform == "win32":
        # A folder on PATH, which CDLL alone no longer searches.
        places.append(("the folders on PATH", ctypes.util.find_library("BRIVANT"),
                       "no BRIVANT.dll there"))
    else:
        # An installed versioned library (libbrivant.so.N) that ldconfig knows.
        places.append(("the linker cache", ctypes.util.find_library("brivant"),
                       "no libbrivant there"))
    places.append(("the system's search path", SYSTEM_NAME, ""))
    return places


def load(path: str) -> ctypes.CDLL:
    """Loads the library at `path` and declares its functions."""
    lib = ctypes.WinDLL(path) if sys.platform == "win32" else ctypes.CDLL(path)
    i16, u8 = ctypes.c_int16, ctypes.c_uint8
    prototypes = {
        "Brivant_Device_Open": (i16, [i16]),
        "Brivant_Device_Close": (None, [i16]),
        "Brivant_InputInverter": (i16, [i16, u8, u8, u8, u8]),
        "Brivant_OutputInverter": (i16, [i16, u8, u8, u8]),
        "Brivant_OutputMode": (i16, [i16, u8, u8, u8]),
        "Brivant_SelClearEvent": (i16, [i16, u8, u8]),
        "Brivant_SelMultiplier": (i16, [i16, u8, u8]),
        "Brivant_SetLimitter": (i16, [i16, u8, u8, u8]),
        "Brivant_ForcedClear": (i16, [i16, u8]),
        "Brivant_RunStop": (i16, [i16, u8, u8]),
        "Brivant_WritePresetData": (i16, [i16, u8, ctypes.POINTER(ctypes.c_uint32)]),
        "Brivant_ReadCount": (
            i16,
            [i16, ctypes.POINTER(ctypes.c_int32), ctypes.POINTER(ctypes.c_uint8)],
        ),
        "Brivant_ReadCountCh": (
            i16,
            [i16, u8, ctypes.POINTER(ctypes.c_int32), ctypes.POINTER(ctypes.c_uint8)],
        ),
    }
    for name, (restype, argtypes) in prototypes.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


def load_first(attempts: List[Attempt],
               machine: Optional[str] = interpreter_machine() if sys.platform == "win32" else None
               ) -> Tuple[ctypes.CDLL, str]:
    """The first library of `attempts` that loads, and its path; OSError naming
    every place tried when none does. A DLL built for another machine than
    `machine` is passed over."""
    failures = []
    for place, path, why_none in attempts:
        if path is None:
            failures.append("%s: %s" % (place, why_none))
            continue
        if os.path.isabs(path) and not os.path.exists(path):
            failures.append("%s: %s: no such file" % (place, path))
            continue
        built_for = pe_machine(path) if machine is not None else None
        if built_for is not None and built_for != machine:
            failures.append("%s: %s is built for %s; this Python is %s" % (place, path, built_for,
                                                                          machine))
            continue
        try:
            return load(path), path
        except (OSError, AttributeError) as error:  # AttributeError: a function is missing
            reason = str(error)
            if not reason.startswith(path):  # dlopen's messages name the file already
                reason = "%s: %s" % (path, reason)
            failures.append("%s: %s" % (place, reason))
    raise OSError("cannot load the BRIVANT library; tried, in order:\n  " + "\n  ".join(failures))


_loaded: Optional[Tuple[ctypes.CDLL, str]] = None


def library() -> ctypes.CDLL:
    """The loaded library, loaded on first use from the first place where it loads."""
    global _loaded
    if _loaded is None:
        _loaded = load_first(candidates())
    return _loaded[0]


def library_path() -> str:
    """The file the library was loaded from (loading it first if need be)."""
    library()
    assert _loaded is not None
    return _loaded[1]
