"""Finding and loading the BRIVANT library, and the prototypes of its 13 functions."""

import ctypes
import ctypes.util
import os
import sys
from pathlib import Path

_FILE_NAME = "BRIVANT.dll" if sys.platform == "win32" else "libbrivant.so"


def candidates():
    """The files to try, in order: BRIVANT_LIBRARY alone when it is set."""
    chosen = os.environ.get("BRIVANT_LIBRARY")
    if chosen:
        return [chosen]
    here = Path(__file__).resolve().parent
    places = [here, here.parent.parent / "build"]
    if sys.platform == "win32":
        places.append(Path.cwd())
    found = [str(place / _FILE_NAME) for place in places if (place / _FILE_NAME).is_file()]
    on_path = ctypes.util.find_library("BRIVANT") if sys.platform == "win32" else None
    if on_path:
        found.append(on_path)  # a folder on PATH, which CDLL alone no longer searches
    return found + [_FILE_NAME]  # last, the system's own search


def load(path):
    """Loads the library at `path` and declares its functions."""
    try:
        lib = ctypes.CDLL(path)
    except OSError as error:
        raise OSError("cannot load the BRIVANT library from %s: %s" % (path, error)) from None
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


_library = None


def library():
    """The loaded library, loaded on first use from the first candidate that loads."""
    global _library
    if _library is None:
        errors = []
        for path in candidates():
            try:
                _library = load(path)
                break
            except OSError as error:
                errors.append(str(error))
        else:
            raise OSError("; ".join(errors))
    return _library
