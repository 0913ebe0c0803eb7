"""Drive a BRIVANT counter unit from Python.

    import brivant

    with brivant.Unit(0) as unit:          # opens unit 0; closes it at the end
        unit.run(0)
        counts, status = unit.read_counts()
    brivant.list_units()                   # [0, 1, 5]: the IDs present

Every refusal or failure of the library raises brivant.BrivantError, whose
``code`` is the library's result code and ``name`` its RC_* name; a value
beyond its C type (channel 256, unit 65541) is refused the same way, never cut
down to fit. A wrong argument type raises TypeError.

The library is BRIVANT.dll on Windows and libbrivant.so on Linux, where it
drives real units over USB, or the simulated units 0, 1 and 5 when the
environment says BRIVANT_BACKEND=sim (before the first unit is opened). It is
loaded from this package's folder (where the wheels put
it), else from the file named by BRIVANT_LIBRARY, else from the system's
search path; library_path() tells which file it was.
"""

from .errors import (
    RC_ALREADY_OPEN,
    RC_BAD_ID,
    RC_BAD_PARAMETER,
    RC_COMM_FAILED,
    RC_ID_NOT_FOUND,
    RC_NOT_OPEN,
    RC_OK,
    RC_OPEN_FAILED,
    RC_TOO_MANY_UNITS,
    BrivantError,
    result_meaning,
    result_name,
)
from ._library import library_path
from ._versioning import package_version
from .unit import ChannelCount, Counts, Unit, list_units

__version__ = package_version()

__all__ = [
    "BrivantError",
    "ChannelCount",
    "Counts",
    "RC_ALREADY_OPEN",
    "RC_BAD_ID",
    "RC_BAD_PARAMETER",
    "RC_COMM_FAILED",
    "RC_ID_NOT_FOUND",
    "RC_NOT_OPEN",
    "RC_OK",
    "RC_OPEN_FAILED",
    "RC_TOO_MANY_UNITS",
    "Unit",
    "__version__",
    "library_path",
    "list_units",
    "result_meaning",
    "result_name",
]
