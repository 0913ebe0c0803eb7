"""The library's result codes and the exception that carries them.

The names and meanings are a copy of the table in brivant.h; a test checks
that the two agree."""

from typing import Optional

RC_OK = 0
RC_BAD_ID = 1
RC_ALREADY_OPEN = 3
RC_TOO_MANY_UNITS = 4
RC_OPEN_FAILED = 5
RC_ID_NOT_FOUND = 6
RC_NOT_OPEN = 7
RC_BAD_PARAMETER = 8
RC_COMM_FAILED = 9

_RESULTS = {
    RC_OK: ("RC_OK", "success"),
    RC_BAD_ID: ("RC_BAD_ID", "the unit ID is outside 0 to 15"),
    RC_ALREADY_OPEN: ("RC_ALREADY_OPEN", "this unit ID is already open in this process"),
    RC_TOO_MANY_UNITS: ("RC_TOO_MANY_UNITS", "more than 16 units are present"),
    RC_OPEN_FAILED: (
        "RC_OPEN_FAILED",
        "the unit was found but its mutex, file or USB handle could not be had",
    ),
    RC_ID_NOT_FOUND: ("RC_ID_NOT_FOUND", "no present unit reported this ID"),
    RC_NOT_OPEN: ("RC_NOT_OPEN", "the unit is not open"),
    RC_BAD_PARAMETER: (
        "RC_BAD_PARAMETER",
        "a channel or setting is above its bound, or a pointer is null",
    ),
    RC_COMM_FAILED: (
        "RC_COMM_FAILED",
        "the USB transfer with the unit failed or its reply came short",
    ),
}


def result_name(code: int) -> str:
    """'RC_NOT_OPEN' for 7; 'RC_UNKNOWN' for a code the library never returns."""
    return _RESULTS.get(code, ("RC_UNKNOWN",))[0]


def result_meaning(code: int) -> str:
    """What a result code means, in plain words."""
    return _RESULTS.get(code, (None, "not a result code of this library"))[1]


class BrivantError(Exception):
    """A result code other than RC_OK.

    ``code`` is the number, ``name`` its RC_* name, ``meaning`` the plain
    words, ``unit_id`` the unit and ``operation`` what was being done.
    ``detail`` names the argument at fault when the package refused it
    before the library saw it ("channel 3 is not 0 to 2"), else None.
    """

    def __init__(self, code: int, unit_id: Optional[int] = None,
                 operation: Optional[str] = None, detail: Optional[str] = None) -> None:
        self.code = code
        self.name = result_name(code)
        self.meaning = result_meaning(code)
        self.unit_id = unit_id
        self.operation = operation
        self.detail = detail
        where = ""
        if unit_id is not None:
            where = "unit %d: " % unit_id
        if operation:
            where += operation + ": "
        super().__init__("%s%s (%d): %s" % (where, self.name, code, detail or self.meaning))
