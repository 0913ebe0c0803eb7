"""Drive a BRIVANT counter unit from Python.

    import brivant

    with brivant.Unit(0) as unit:          # opens unit 0; closes it at the end
        unit.run(0)
        counts, status = unit.read_counts()

Every refusal or failure of the library raises brivant.BrivantError, whose
``code`` is the library's result code and ``name`` its RC_* name.

The library is BRIVANT.dll on Windows and libbrivant.so (built over simulated
units) on Linux. Set BRIVANT_LIBRARY to its path to choose the file; otherwise
it is looked for next to this package, in the source tree's build/ folder,
on Windows in the current folder and on PATH, and then on the system's
library path.
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
from ._versioning import package_version
from .unit import ChannelCount, Counts, Unit

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
    "result_meaning",
    "result_name",
]
